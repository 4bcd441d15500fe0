#include "FileBytes.h"
#include "CDownloadClient.h"
#include "CPackageCheck.h"
#include "CheckFeed.h"
#include "CSignatureFetch.h"
#include "DownloadRecorder.h"
#include "DownloadResume.h"
#include "InstallDir.h"
#include "LocalHttpServer.h"
#include "Minisign.h"
#include "NginxServer.h"
#include "OutsideTarget.h"
#include "PackageSignature.h"
#include "SigningTrust.h"
#include "TlsTrust.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Update;
using Update::Test::Bytes;
using Update::Test::Recorder;
using TestSupport::InstallDir;

namespace {

using TestFiles::ReadAll;
using TestFiles::WriteAll;

const int kWaitMs = 15000;   // upper bound for any one transfer in these tests
const int kSettleMs = 200;   // time given to a second, unwanted signal to show up



QString PackagePath(const QString& fileName)
{
    return TestSupport::InstallDir::Current() + '/' + fileName;
}

// A key pair made by the real minisign for the whole test, and signatures
// of package bytes made with it (or with a second pair, "another key").
class Signer
{
public:
    bool Start()
    {
        return m_tool.Available() && m_dir.isValid() && m_tool.MakeKeyPair(m_dir.filePath("A"))
            && m_tool.MakeKeyPair(m_dir.filePath("B"));
    }
    bool Available() const { return m_tool.Available(); }
    QByteArray PublicKey(bool anotherKey = false) const { return ReadAll(m_dir.filePath(anotherKey ? "B.pub" : "A.pub")); }

    // The .minisig text of bytes signed as the file `name` (which minisign's
    // default trusted comment names); empty when minisign failed.
    QByteArray Sign(const QByteArray& bytes, bool anotherKey = false, const QStringList& extra = {},
                    const QString& name = QStringLiteral("client_v2.zip")) const
    {
        const QString package = m_dir.filePath(name);
        const QString signature = m_dir.filePath(name + ".minisig");
        QFile::remove(signature);
        if (!WriteAll(package, bytes) || !m_tool.Sign(m_dir.filePath(anotherKey ? "B" : "A"), package, signature, extra))
            return QByteArray();
        return ReadAll(signature);
    }

private:
    Minisign m_tool;
    QTemporaryDir m_dir;
};

// The installation trusts `signer`'s key: a package check made from now on
// verifies what it hashed while the client wrote.
bool TrustKey(const Signer& signer)
{
    return WriteAll(QDir(TestSupport::InstallDir::Current()).filePath("UpdateKey.pub"), signer.PublicKey());
}

// Runs a package check on the finished download of url (bounded); Stopped
// when no verdict came.
CFailure RunCheck(CPackageCheck& check, CDownloadClient& client)
{
    QSignalSpy checked(&check, &CPackageCheck::SignalEnded);
    check.Start(SignatureSourceOf(client));
    if (checked.count() != 0 || !checked.wait(kWaitMs))
        return CFailure(EFailure::Stopped);
    return check.Verdict();
}

// Qt's own texts in another language, as on a machine with Qt's
// translations installed: its cancel no longer reads "Operation canceled".
class QtInGerman : public QTranslator
{
public:
    static QString Canceled() { return QStringLiteral("Vorgang abgebrochen"); }
    bool isEmpty() const override { return false; }
    QString translate(const char*, const char* sourceText, const char* = nullptr, int = -1) const override
    {
        return qstrcmp(sourceText, "Operation canceled") == 0 ? Canceled() : QString();
    }
};

// The route, its connection closed after `at` bytes of the body, which flows
// as it would over a network. Bytes and close arriving in one piece make Qt
// send the request again by itself, which would take the next answer meant
// for the client's own next attempt.
LocalHttpRoute CutAt(LocalHttpRoute route, qint64 at)
{
    route.dropAfter = at;
    route.bytesPerSecond = 8 * 1024 * 1024;
    return route;
}

// Runs one download to its end in a plain event loop (bounded).
void RunDownload(CDownloadClient& client, QString url)
{
    QEventLoop loop;
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    QObject::connect(&client, &CDownloadClient::SignalFinishDownload, &loop, &QEventLoop::quit);
    QObject::connect(&client, &CDownloadClient::SgnDownloadError, &loop, &QEventLoop::quit);
    client.StartDownload(url);
    loop.exec();
}

// The download benchmark's proxy in front of a real server: it cuts the
// first download from the start once, after cutAfter bytes of the answer,
// and lets everything else pass. Ends by itself after two minutes.
class CutProxy
{
public:
    ~CutProxy()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    bool Start(quint16 upstreamPort, qint64 cutAfter)
    {
        const QString script = QStringLiteral(UPDATE_SOURCE_DIR "/bench/download/cut_proxy.py");
        const QString portFile = m_dir.filePath(QStringLiteral("port"));
        m_process.start(QStringLiteral("python3"), {script, QString::number(upstreamPort), QString::number(cutAfter),
                                                    portFile, QStringLiteral("120"), QStringLiteral("1")});
        if (!m_process.waitForStarted(5000))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000 && m_process.state() == QProcess::Running) {
            m_nPort = ReadAll(portFile).toUShort();
            if (m_nPort != 0)
                return true;
            m_process.waitForFinished(50);
        }
        return false;
    }

    QString Url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(m_nPort).arg(path); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_nPort = 0;
};

} // namespace

Q_DECLARE_METATYPE(QList<LocalHttpRoute>)
Q_DECLARE_METATYPE(LocalHttpRoute)
Q_DECLARE_METATYPE(Update::EFailure)

class TestDownloadClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void downloads_data();
    void downloads();
    void failures_data();
    void failures();
    void plantedAtPackagePath_data();
    void plantedAtPackagePath();
    void limits_data();
    void limits();
    void memoryBound_data();
    void memoryBound();
    void stopMidTransfer_data();
    void stopMidTransfer();
    void cancelInAnyLanguage_data();
    void cancelInAnyLanguage();
    void startAgain_data();
    void startAgain();
    void twoEventsOneReport_data();
    void twoEventsOneReport();
    void clientSize();
    void retries_data();
    void retries();
    void acrossRuns_data();
    void acrossRuns();
    void signatureFetch_data();
    void signatureFetch();
    void packageCheck_data();
    void packageCheck();
    void checkTwoEventsOneReport_data();
    void checkTwoEventsOneReport();
    void storeStamp();
    void stallLimitAsShipped();

private:
    QString RefusedUrl() const;
    void RequireTls() const;
    // The in-process https server's own certificate, trusted as an
    // installation's "UpdateCA.pem" would.
    CTlsTrust OwnTrust() const { return CTlsTrust::Load(m_tlsDir.filePath("cert.pem")); }
    void RequireMinisign() const;

    LocalHttpServer m_http;
    LocalHttpServer m_https;
    bool m_bTls = false;
    quint16 m_nRefusedPort = 0;
    QTemporaryDir m_tlsDir;
    Signer m_signer;
    bool m_bSigning = false;
    std::unique_ptr<InstallDir> m_pDir;
};

// A self-signed certificate made now, so nothing secret lives in the tree.
void TestDownloadClient::initTestCase()
{
    QVERIFY(m_http.Start());
    m_bSigning = m_signer.Start();
    QVERIFY(m_bSigning || !m_signer.Available());

    QTcpServer refused;
    QVERIFY(refused.listen(QHostAddress::LocalHost, 0));
    m_nRefusedPort = refused.serverPort();
    refused.close();

    if (!QSslSocket::supportsSsl() || !m_tlsDir.isValid())
        return;
    QProcess openssl;
    openssl.setWorkingDirectory(m_tlsDir.path());
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out",
                              "cert.pem", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                              "subjectAltName=IP:127.0.0.1"});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        return;
    m_bTls = m_https.UseTls(m_tlsDir.filePath("cert.pem"), m_tlsDir.filePath("key.pem")) && m_https.Start();
}

void TestDownloadClient::init()
{
    m_pDir = std::make_unique<InstallDir>();
    QVERIFY(m_pDir->isValid());
}

void TestDownloadClient::cleanup()
{
    m_pDir.reset();
}

QString TestDownloadClient::RefusedUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/pkg/client_v2.zip").arg(m_nRefusedPort);
}

void TestDownloadClient::RequireTls() const
{
    if (!m_bTls)
        QSKIP("no TLS here: openssl or Qt's TLS support is missing");
}

void TestDownloadClient::RequireMinisign() const
{
    if (!m_bSigning)
        QSKIP("minisign is not installed (scripts/deps.sh installs it)");
}

void TestDownloadClient::downloads_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("body");

    const QByteArray small = Bytes(100, 1);
    const QByteArray large = Bytes(3 * 1024 * 1024 + 17, 2);

    m_http.SetRoute("/pkg/client_v2.zip", LocalHttpRoute::Ok(small));
    QTest::newRow("content-length") << QByteArray("/pkg/client_v2.zip") << small;
    m_http.SetRoute("/large/client_v2.zip", LocalHttpRoute::Ok(large));
    LocalHttpRoute unsized = LocalHttpRoute::Ok(large);
    unsized.contentLength = false;
    m_http.SetRoute("/unsized/client_v2.zip", unsized);
    QTest::newRow("no content-length: body ends with the connection") << QByteArray("/unsized/client_v2.zip") << large;
    LocalHttpRoute chunked = LocalHttpRoute::Ok(large);
    chunked.chunked = true;
    m_http.SetRoute("/chunked/client_v2.zip", chunked);
    QTest::newRow("chunked") << QByteArray("/chunked/client_v2.zip") << large;
    m_http.SetRoute("/empty/client_v2.zip", LocalHttpRoute::Ok(QByteArray()));
    QTest::newRow("empty body: empty file, still a finish") << QByteArray("/empty/client_v2.zip") << QByteArray();
    m_http.SetRoute("/hop1/client_v2.zip", LocalHttpRoute::Redirect(301, "/hop2/client_v2.zip"));
    m_http.SetRoute("/hop2/client_v2.zip", LocalHttpRoute::Redirect(302, m_http.Url("/hop3/x.zip").toLatin1()));
    m_http.SetRoute("/hop3/x.zip", LocalHttpRoute::Redirect(307, "/hop4/x.zip"));
    m_http.SetRoute("/hop4/x.zip", LocalHttpRoute::Redirect(308, "/pkg/client_v2.zip"));
    QTest::newRow("redirect chain: no hop's body in the package, named after the first URL")
        << QByteArray("/hop1/client_v2.zip") << small;
}

void TestDownloadClient::downloads()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, body);
    const QString path = PackagePath("client_v2.zip");

    // A longer package of the same name from an earlier run must not survive.
    QFile stale(path);
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write(Bytes(4 * 1024 * 1024, 9));
    stale.close();

    // A signed installation: the package checks hash what the client writes.
    if (m_bSigning) {
        QVERIFY(TrustKey(m_signer));
        const QByteArray signature = m_signer.Sign(body, false, {}, QFileInfo(QString(target)).fileName());
        QVERIFY(!signature.isEmpty());
        // Beside the package as finally served: the redirect chain ends in /pkg/.
        const QByteArray served = target.startsWith("/hop") ? QByteArray("/pkg/client_v2.zip") : target;
        m_http.SetRoute(served + ".minisig", LocalHttpRoute::Ok(signature));
    }

    CDownloadClient client{TestSupport::InstallDir::Current()};
    CPackageCheck firstCheck(CSigningTrust::Load(TestSupport::InstallDir::Current()));
    FeedCheck(&client, &firstCheck);
    Recorder recorder;
    recorder.Attach(&client);
    QString url = m_http.Url(target);
    client.StartDownload(url);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.Ended(), kWaitMs);
    QTest::qWait(kSettleMs);

    QCOMPARE(recorder.errors, QStringList());
    QCOMPARE(recorder.finishes, 1);
    // The hash made while streaming is the body's, and only the body's: a
    // second download by the same client starts it over with the file.
    if (m_bSigning)
        QCOMPARE(RunCheck(firstCheck, client).kind, EFailure::None);
    CPackageCheck secondCheck(CSigningTrust::Load(TestSupport::InstallDir::Current()));
    FeedCheck(&client, &secondCheck);
    client.StartDownload(url);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.finishes, 2, kWaitMs);
    if (m_bSigning)
        QCOMPARE(RunCheck(secondCheck, client).kind, EFailure::None);
    QVERIFY2(ReadAll(path) == body, "package differs from the served body");
    // Each progress value is one chunk (running totals would add up to more
    // than the body), and none is empty.
    QCOMPARE(recorder.Total(), 2 * qint64(body.size()));
    QVERIFY(!recorder.progress.contains(0));
    // Each download began where the file stood: at 0.
    QCOMPARE(recorder.restarts, (QList<qint64>{0, 0}));
    // The size shown before: the length announced for the package, not for a hop.
    QSignalSpy sized(&client, &CDownloadClient::SignalClientSize);
    client.GetClientSize(url);
    const bool announced = !target.startsWith("/unsized") && !target.startsWith("/chunked");
    QCOMPARE(sized.size(), 1);
    QCOMPARE(sized.first().first().toLongLong(), announced ? qint64(body.size()) : qint64(0));
    if (!m_bSigning)
        QSKIP("minisign is not installed: the hash made while writing was not checked");
}

void TestDownloadClient::failures_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("once"); // the server sees one request
    QTest::addColumn<QString>("text"); // part of the reported error

    const QByteArray small = Bytes(100, 3);
    m_http.SetRoute("/e404/client_v2.zip", LocalHttpRoute::Status(404, "<html>not here</html>"));
    QTest::newRow("404 with a body: the error page is no package")
        << false << m_http.Url("/e404/client_v2.zip") << true << "Not Found";
    m_http.SetRoute("/loop/client_v2.zip", LocalHttpRoute::Redirect(302, "/loop/client_v2.zip"));
    QTest::newRow("endless redirects stop at Qt's bound") << false << m_http.Url("/loop/client_v2.zip") << false << "";
    m_http.SetRoute("/nowhere/client_v2.zip", LocalHttpRoute::Redirect(302, QByteArray()));
    QTest::newRow("redirect without a target is no package")
        << false << m_http.Url("/nowhere/client_v2.zip") << true << "";
    m_http.SetRoute("/plain/client_v2.zip", LocalHttpRoute::Ok(small));
    m_https.SetRoute("/down/client_v2.zip", LocalHttpRoute::Redirect(302, m_http.Url("/plain/client_v2.zip").toLatin1()));
    QTest::newRow("https to http redirect refused") << true << "/down/client_v2.zip" << false << "";

    LocalHttpRoute coded = LocalHttpRoute::Ok(QByteArray::fromHex("1f8b0800000000000003"));
    coded.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
    m_http.SetRoute("/gzip/client_v2.zip", coded);
    QTest::newRow("gzip-coded answer: refused, never decoded") << false << m_http.Url("/gzip/client_v2.zip") << true
        << "The server sent the file encoded as gzip, which the updater does not accept.";
    LocalHttpRoute notFromZero = LocalHttpRoute::Status(206, small);
    notFromZero.headers.append(qMakePair(QByteArray("Content-Range"), QByteArray("bytes 100-199/200")));
    m_http.SetRoute("/part/client_v2.zip", notFromZero);
    QTest::newRow("retries off: a 206 not from byte 0 fails, asked once")
        << false << m_http.Url("/part/client_v2.zip") << true << "The server answered 206";
    LocalHttpRoute unsatisfiable = LocalHttpRoute::Status(416, QByteArray());
    unsatisfiable.headers.append(qMakePair(QByteArray("Content-Range"), QByteArray("bytes */200")));
    m_http.SetRoute("/e416/client_v2.zip", unsatisfiable);
    QTest::newRow("retries off: a 416 fails, asked once")
        << false << m_http.Url("/e416/client_v2.zip") << true << "The server answered 416";
    // A petabyte announced: refused when the head arrives, before a byte is written.
    LocalHttpRoute huge = LocalHttpRoute::Ok(small);
    huge.contentLength = false;
    huge.stallAfter = 0;
    huge.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("1125899906842624")));
    m_http.SetRoute("/huge/client_v2.zip", huge);
    QTest::newRow("announced length beyond the free space")
        << false << m_http.Url("/huge/client_v2.zip") << true << "Not enough disk space: ";
}

// One report, not retried, and nothing of the answer in the package file.
void TestDownloadClient::failures()
{
    QFETCH(bool, tls);
    QFETCH(QString, url);
    QFETCH(bool, once);
    QFETCH(QString, text);
    if (tls) {
        RequireTls();
        url = m_https.Url(url.toLatin1());
    }

    CDownloadClient client{TestSupport::InstallDir::Current()};
    client.SetTlsTrust(OwnTrust());
    Recorder recorder;
    recorder.Attach(&client);
    const QByteArray target = QUrl(url).path().toLatin1();
    const int asked = m_http.RequestCount(target);
    RunDownload(client, url);
    QTest::qWait(kSettleMs);

    QCOMPARE(recorder.retries, QList<int>());
    if (once)
        QCOMPARE(m_http.RequestCount(target), asked + 1);
    QCOMPARE(recorder.finishes, 0);
    QCOMPARE(recorder.errors.size(), 1);
    QVERIFY(!recorder.errors.first().isEmpty());
    QVERIFY2(recorder.errors.first() != "Operation canceled", "our own stop leaked out as a failure");
    QVERIFY2(recorder.errors.first().contains(text), qPrintable(recorder.errors.first()));
    QCOMPARE(recorder.Total(), qint64(0));
    QCOMPARE(QFileInfo(PackagePath("client_v2.zip")).size(), qint64(0));
}

void TestDownloadClient::plantedAtPackagePath_data()
{
    QTest::addColumn<QString>("planted");

    QTest::newRow("a second name of a file elsewhere: replaced as a name, that file keeps its bytes")
        << "hard link";
    QTest::newRow("a device: replaced, never written to") << "device";
    QTest::newRow("a file anyone may write: replaced by one only its owner writes") << "writable";
}

// Another user of the installation folder plants something where the
// package belongs: the package is written into a file of its own, never
// through what was there.
void TestDownloadClient::plantedAtPackagePath()
{
    QFETCH(QString, planted);
    TestSupport::OutsideTarget outside;
    QVERIFY(outside.isValid());
    const QString path = PackagePath("client_v2.zip");
    if (planted == "hard link")
        QCOMPARE(::link(QFile::encodeName(outside.File()).constData(), QFile::encodeName(path).constData()), 0);
    if (planted == "device" && QProcess::execute("mknod", {path, "c", "1", "7"}) != 0)
        QSKIP("cannot make a device here (mknod needs root)");
    if (planted == "writable") {
        QVERIFY(WriteAll(path, Bytes(1000, 7)));
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                                | QFileDevice::WriteGroup | QFileDevice::ReadOther
                                                | QFileDevice::WriteOther));
    }
    const QStringList before = outside.Picture();
    const QByteArray body = Bytes(300 * 1024, 21);
    m_http.SetRoute("/planted/client_v2.zip", LocalHttpRoute::Ok(body));

    CDownloadClient client{TestSupport::InstallDir::Current()};
    Recorder recorder;
    recorder.Attach(&client);
    RunDownload(client, m_http.Url("/planted/client_v2.zip"));

    QCOMPARE(recorder.errors, QStringList());
    QCOMPARE(recorder.finishes, 1);
    QCOMPARE(outside.Picture(), before);
    QVERIFY2(ReadAll(path) == body, "the package is not the body");
    struct stat info {};
    QCOMPARE(::lstat(QFile::encodeName(path).constData(), &info), 0);
    QVERIFY2(S_ISREG(info.st_mode) && info.st_nlink == 1, "a file of its own");
    QCOMPARE(int(info.st_mode & 022), 0);
}

void TestDownloadClient::limits_data()
{
    QTest::addColumn<LocalHttpRoute>("route");
    QTest::addColumn<int>("stallMs");
    QTest::addColumn<int>("lowSpeedMs");     // the low-speed window, at 1024 B/s
    QTest::addColumn<EFailure>("failure");
    QTest::addColumn<qint64>("bodyBound");   // the server handed out at most this much; -1: no bound

    using R = LocalHttpRoute;
    R trickledHead = R::Ok(Bytes(1000, 31));
    trickledHead.trickleHead = true;
    trickledHead.bytesPerSecond = 40; // the head alone takes two seconds
    QTest::newRow("a head trickled past the stall time")
        << trickledHead << 600 << 120000 << EFailure::Stalled << qint64(-1);
    R slow = R::Ok(Bytes(200 * 1024, 32));
    slow.bytesPerSecond = 300;
    QTest::newRow("a body below the low-speed limit is stalled, though never silent")
        << slow << 2000 << 1000 << EFailure::Stalled << qint64(-1);
    R enough = R::Ok(Bytes(6 * 1024, 33));
    enough.bytesPerSecond = 3000;
    QTest::newRow("a body above the low-speed limit goes on to its end")
        << enough << 2000 << 800 << EFailure::None << qint64(-1);
    const qint64 unread = 8 * 1024 * 1024;
    R error = R::Status(500, QByteArray());
    error.endless = true;
    QTest::newRow("an endless 500 ends at its head, its body unread")
        << error << 5000 << 120000 << EFailure::HttpStatus << unread;
    R notFound = R::Status(404, QByteArray());
    notFound.endless = true;
    notFound.bytesPerSecond = 2048;
    QTest::newRow("an error page trickled for ever ends at its head")
        << notFound << 5000 << 120000 << EFailure::HttpStatus << unread;
}

// Nothing a server sends keeps a download open for ever or makes it read an
// answer that is not the package.
void TestDownloadClient::limits()
{
    QFETCH(LocalHttpRoute, route);
    QFETCH(int, stallMs);
    QFETCH(int, lowSpeedMs);
    QFETCH(EFailure, failure);
    QFETCH(qint64, bodyBound);
    LocalHttpServer server;
    server.SetRoute("/pkg/client_v2.zip", route);
    QVERIFY(server.Start());

    CDownloadClient client{TestSupport::InstallDir::Current()};
    client.SetStallTimeout(stallMs);
    client.SetLowSpeedLimit(1024, lowSpeedMs);
    Recorder recorder;
    recorder.Attach(&client);
    RunDownload(client, server.Url("/pkg/client_v2.zip"));

    QCOMPARE(client.Failure().kind, failure);
    QCOMPARE(recorder.errors.size(), failure == EFailure::None ? 0 : 1);
    if (failure == EFailure::None)
        QVERIFY2(ReadAll(PackagePath("client_v2.zip")) == route.body, "the file is not the package");
    if (bodyBound >= 0)
        QVERIFY2(server.BodyBytesSent() <= bodyBound, qPrintable(QString::number(server.BodyBytesSent())));
    // The connection is gone: nothing more is read.
    QTRY_COMPARE_WITH_TIMEOUT(server.OpenConnections(), 0, kWaitMs);
}

void TestDownloadClient::memoryBound_data()
{
    QTest::addColumn<QString>("what");    // "package" or "signature"
    QTest::addColumn<bool>("tls");
    QTest::addColumn<LocalHttpRoute>("route");
    QTest::addColumn<EFailure>("failure");

    using R = LocalHttpRoute;
    // Plain http at a fast line's pace; over TLS as fast as loopback goes.
    const qint64 line = 40 * 1024 * 1024;
    const auto endless = [](int status, const QByteArray& challenge, qint64 rate) {
        R route = R::Status(status, QByteArray());
        route.endless = true;
        route.bytesPerSecond = rate;
        if (!challenge.isEmpty())
            route.headers.append(qMakePair(challenge, QByteArray("Basic realm=\"x\"")));
        if (status == 302)
            route.headers.append(qMakePair(QByteArray("Location"), QByteArray("/elsewhere")));
        return route;
    };
    const R auth407 = endless(407, "Proxy-Authenticate", line);
    const R auth401 = endless(401, "WWW-Authenticate", line);
    QTest::newRow("407 with an endless body") << "package" << false << auth407 << EFailure::AnswerTooLarge;
    QTest::newRow("401 with an endless body") << "package" << false << auth401 << EFailure::AnswerTooLarge;
    QTest::newRow("407 over https, as fast as it goes")
        << "package" << true << endless(407, "Proxy-Authenticate", 0) << EFailure::AnswerTooLarge;
    QTest::newRow("302 with an endless body") << "package" << false << endless(302, QByteArray(), line)
                                              << EFailure::Stalled;
    QTest::newRow("the signature: 407 with an endless body")
        << "signature" << false << auth407 << EFailure::AnswerTooLarge;
    QTest::newRow("the signature: 200 with an endless body")
        << "signature" << false << endless(200, QByteArray(), line) << EFailure::NoSignature;
}

// What a download costs in memory, measured on a process of its own: under
// 64 MiB, whatever a hostile server sends, and it ends by itself.
void TestDownloadClient::memoryBound()
{
    QFETCH(QString, what);
    QFETCH(bool, tls);
    QFETCH(LocalHttpRoute, route);
    QFETCH(EFailure, failure);
    if (tls)
        RequireTls();
    if (!QFile::exists("/proc/self/status"))
        QSKIP("this system does not tell a process's peak memory");
    LocalHttpServer plain;
    LocalHttpServer secure;
    LocalHttpServer& server = tls ? secure : plain;
    if (tls)
        QVERIFY(secure.UseTls(m_tlsDir.filePath("cert.pem"), m_tlsDir.filePath("key.pem")));
    const QByteArray target = what == "signature" ? "/pkg/client_v2.zip.minisig" : "/pkg/client_v2.zip";
    server.SetRoute(target, route);
    QVERIFY(server.Start());
    if (tls)
        QVERIFY(QFile::copy(m_tlsDir.filePath("cert.pem"), m_pDir->filePath("UpdateCA.pem")));

    QProcess probe;
    probe.start(DOWNLOAD_PROBE, {what, server.Url(target), TestSupport::InstallDir::Current(), "3000"});
    QVERIFY(probe.waitForStarted(5000));
    // The server lives on this thread's event loop.
    QTRY_VERIFY_WITH_TIMEOUT(probe.state() == QProcess::NotRunning, 30000);
    QCOMPARE(probe.exitCode(), 0);
    const QString output = QString::fromLatin1(probe.readAllStandardOutput());
    const QRegularExpressionMatch failed = QRegularExpression("failure=(\\d+)").match(output);
    const QRegularExpressionMatch peak = QRegularExpression("peak=(\\d+)").match(output);
    QVERIFY2(failed.hasMatch() && peak.hasMatch(), qPrintable(output));
    QCOMPARE(EFailure(failed.captured(1).toInt()), failure);
#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
    // A sanitizer's shadow of every allocation is resident too, so the
    // figure only means something without one; the ending above still counts.
    QVERIFY2(peak.captured(1).toLong() < 64 * 1024, qPrintable(output));
#endif
}

void TestDownloadClient::stopMidTransfer_data()
{
    QTest::addColumn<QString>("when"); // "transfer", "retry wait", "disk read" (of an earlier run's bytes)
    QTest::addColumn<QString>("how");
    for (const QString& when : {QString("transfer"), QString("retry wait"), QString("disk read")}) {
        const QByteArray stage = when.toLatin1() + ": ";
        QTest::newRow(stage + "StopDownload") << when << "stop";
        QTest::newRow(stage + "StopDownload, then delete, as the window closes") << when << "stop+delete";
        QTest::newRow(stage + "delete") << when << "delete";
    }
}

// A stop in any stage of a download ends it for good: nothing is reported,
// no request goes out afterwards, and the file keeps what reached it.
void TestDownloadClient::stopMidTransfer()
{
    QFETCH(QString, when);
    QFETCH(QString, how);
    const QByteArray body = Bytes(256 * 1024, 5);
    const qint64 half = body.size() / 2;
    LocalHttpServer server;
    LocalHttpRoute slow = LocalHttpRoute::Resumable(body, "\"v1\"");
    slow.bytesPerSecond = 64 * 1024;
    server.SetRouteSequence("/pkg/client_v2.zip",
                            {when == "retry wait" ? LocalHttpRoute::Unavailable("1") : slow, slow});
    QVERIFY(server.Start());
    QString url = server.Url("/pkg/client_v2.zip");
    if (when == "disk read") {
        // An earlier run's half, to be hashed before the rest is asked for.
        QVERIFY(WriteAll(PackagePath("client_v2.zip"), body.left(int(half))));
        QVERIFY(SavePartialRecord(CPackage(url, TestSupport::InstallDir::Current()), CPartialRecord{url, "\"v1\"", half}));
        QVERIFY(WriteAll(QDir(TestSupport::InstallDir::Current()).filePath("UpdateKey.pub"), "any key: the check hashes all the same\n"));
    }

    Recorder recorder;
    auto* client = new CDownloadClient(TestSupport::InstallDir::Current());
    client->SetRetries(when == "transfer" ? 0 : 3);
    CPackageCheck check(CSigningTrust::Load(TestSupport::InstallDir::Current()));
    FeedCheck(client, &check);
    recorder.Attach(client);
    client->StartDownload(url);
    if (when == "transfer")
        QTRY_VERIFY_WITH_TIMEOUT(!recorder.progress.isEmpty(), kWaitMs);
    if (when == "retry wait")
        QTRY_VERIFY_WITH_TIMEOUT(!recorder.retries.isEmpty(), kWaitMs);
    const int requests = server.Requests().size();
    if (how.startsWith("stop"))
        client->StopDownload();
    if (how.endsWith("delete")) {
        delete client;
        client = nullptr;
    }
    // Past the retry's wait and the hashing thread's answer.
    QTest::qWait(when == "transfer" ? kSettleMs : 1500);

    QCOMPARE(recorder.errors, QStringList());
    QCOMPARE(recorder.finishes, 0);
    QCOMPARE(server.Requests().size(), requests);
    QCOMPARE(requests, when == "disk read" ? 0 : 1);
    // The transfer really ended: the server's side of it is gone.
    QTRY_COMPARE_WITH_TIMEOUT(server.OpenConnections(), 0, kWaitMs);
    // What reached the file before the stop is on disk, closed.
    const qint64 onDisk = when == "disk read" ? half : 0;
    QCOMPARE(QFileInfo(PackagePath("client_v2.zip")).size(), onDisk + recorder.Total());
    QVERIFY(recorder.Total() < body.size());
    QCOMPARE(recorder.restarts.value(0, -1), onDisk);
    delete client;
}

void TestDownloadClient::cancelInAnyLanguage_data()
{
    QTest::addColumn<bool>("stall"); // else a stop
    QTest::newRow("a stop mid-transfer is not a failure") << false;
    QTest::newRow("a stall with a retry left: the retry brings the package") << true;
}

// Closing a reply makes Qt report a cancel in the user's language; the
// client knows its own closes by the error code, never by that text.
void TestDownloadClient::cancelInAnyLanguage()
{
    QFETCH(bool, stall);
    QtInGerman german;
    QVERIFY(QCoreApplication::installTranslator(&german));
    {
        // The premise: Qt's cancel text really is another here.
        QNetworkAccessManager manager;
        QNetworkReply* reply = manager.get(QNetworkRequest(QUrl(RefusedUrl())));
        reply->close();
        QCOMPARE(reply->errorString(), QtInGerman::Canceled());
        delete reply;
    }

    const QByteArray body = Bytes(64 * 1024, 21);
    LocalHttpRoute quiet = LocalHttpRoute::Resumable(body, "\"v1\"");
    quiet.stallAfter = 1000;
    LocalHttpRoute slow = LocalHttpRoute::Resumable(body, "\"v1\"");
    slow.bytesPerSecond = 32 * 1024;
    LocalHttpServer server;
    server.SetRouteSequence("/pkg/client_v2.zip", {stall ? quiet : slow, LocalHttpRoute::Resumable(body, "\"v1\"")});
    QVERIFY(server.Start());

    CDownloadClient client{TestSupport::InstallDir::Current()};
    client.SetStallTimeout(300);
    client.SetRetries(stall ? 2 : 0);
    Recorder recorder;
    recorder.Attach(&client);
    QString url = server.Url("/pkg/client_v2.zip");
    client.StartDownload(url);
    if (!stall) {
        QTRY_VERIFY_WITH_TIMEOUT(!recorder.progress.isEmpty(), kWaitMs);
        client.StopDownload();
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(recorder.Ended(), kWaitMs);
    }
    QTest::qWait(kSettleMs);
    QCoreApplication::removeTranslator(&german);

    QVERIFY2(!recorder.errors.contains(QtInGerman::Canceled()), "our own cancel was told as a failure");
    QCOMPARE(recorder.errors, QStringList());
    QCOMPARE(recorder.finishes, stall ? 1 : 0);
    QCOMPARE(recorder.retries, stall ? QList<int>{1} : QList<int>());
    if (stall)
        QVERIFY2(ReadAll(PackagePath("client_v2.zip")) == body, "the file is not the package");
    QCOMPARE(client.Failure().kind, stall ? EFailure::None : EFailure::Stopped);
}

void TestDownloadClient::startAgain_data()
{
    QTest::addColumn<bool>("spent");
    QTest::newRow("a second start while it runs sends no request") << false;
    QTest::newRow("after a failure a new start sends nothing and tells nothing") << true;
}

// The client is not used again after a failure.
void TestDownloadClient::startAgain()
{
    QFETCH(bool, spent);
    LocalHttpRoute slow = LocalHttpRoute::Ok(Bytes(32 * 1024, 6));
    slow.bytesPerSecond = 128 * 1024;
    m_http.SetRoute("/twice/client_v2.zip", spent ? LocalHttpRoute::Status(404, "gone") : slow);
    const int before = m_http.RequestCount("/twice/client_v2.zip");

    CDownloadClient client{TestSupport::InstallDir::Current()};
    Recorder recorder;
    recorder.Attach(&client);
    QString url = m_http.Url("/twice/client_v2.zip");
    client.StartDownload(url);
    QTRY_VERIFY_WITH_TIMEOUT(spent ? recorder.Ended() : !recorder.progress.isEmpty(), kWaitMs);
    client.StartDownload(url);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.Ended(), kWaitMs);
    QTest::qWait(kSettleMs);

    QCOMPARE(m_http.RequestCount("/twice/client_v2.zip") - before, 1);
    QCOMPARE(recorder.finishes, spent ? 0 : 1);
    QCOMPARE(recorder.errors.size(), spent ? 1 : 0);
    if (!spent)
        QVERIFY(ReadAll(PackagePath("client_v2.zip")) == slow.body);
}

void TestDownloadClient::twoEventsOneReport_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("folderAtPath");
    QTest::addColumn<int>("outcome"); // EFailure of the one report; -1: no report at all

    LocalHttpRoute dropped = LocalHttpRoute::Ok(Bytes(1024 * 1024, 7));
    dropped.dropAfter = 512 * 1024;
    LocalHttpRoute slow = LocalHttpRoute::Ok(Bytes(256 * 1024, 8));
    slow.bytesPerSecond = 64 * 1024;
    m_http.SetRoute("/reenter-drop/client_v2.zip", dropped);
    m_http.SetRoute("/reenter-404/client_v2.zip", LocalHttpRoute::Status(404, "not here"));
    m_http.SetRoute("/reenter-ok/client_v2.zip", LocalHttpRoute::Ok(Bytes(1024, 9)));
    m_http.SetRoute("/reenter-slow/client_v2.zip", slow);

    const int network = int(EFailure::Network);
    QTest::newRow("finish + stop") << m_http.Url("/reenter-ok/client_v2.zip") << false << int(EFailure::None);
    QTest::newRow("404 + stop") << m_http.Url("/reenter-404/client_v2.zip") << false << int(EFailure::HttpStatus);
    QTest::newRow("drop, told by Qt's error and its finish + stop") << m_http.Url("/reenter-drop/client_v2.zip")
                                                                     << false << network;
    QTest::newRow("refused + stop") << RefusedUrl() << false << network;
    QTest::newRow("no package name + stop") << m_http.Url("/pkg/") << false << int(EFailure::InvalidAddress);
    QTest::newRow("unwritable package + stop") << m_http.Url("/reenter-404/client_v2.zip") << true
                                               << int(EFailure::PackageFile);
    QTest::newRow("stop + stop") << m_http.Url("/reenter-slow/client_v2.zip") << false << -1;
}

// Whatever two events meet, the owner hears once: the receiver of the
// ending stops the client and schedules its deletion, as the window does,
// inside the report; a stop reports nothing, and a second stop neither.
void TestDownloadClient::twoEventsOneReport()
{
    QFETCH(QString, url);
    QFETCH(bool, folderAtPath);
    QFETCH(int, outcome);
    if (folderAtPath)
        QVERIFY(QDir().mkdir(PackagePath("client_v2.zip")));

    QPointer<CDownloadClient> client = new CDownloadClient(TestSupport::InstallDir::Current());
    Recorder recorder;
    recorder.Attach(client);
    QList<CFailure> ended;
    QObject::connect(client, &CDownloadClient::SignalEnded, [&](const CFailure& failure) {
        ended.append(failure);
        client->StopDownload();
        client->deleteLater();
    });
    client->StartDownload(url);
    if (outcome < 0) {
        QTRY_VERIFY_WITH_TIMEOUT(!recorder.progress.isEmpty(), kWaitMs);
        client->StopDownload();
        client->StopDownload();
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty(), kWaitMs);
    }
    QTest::qWait(kSettleMs);

    QCOMPARE(ended.size(), outcome < 0 ? 0 : 1);
    if (outcome >= 0)
        QCOMPARE(int(ended.first().kind), outcome);
    // The old signals tell the same, once.
    QCOMPARE(recorder.finishes, outcome == int(EFailure::None) ? 1 : 0);
    QCOMPARE(recorder.errors.size(), outcome > 0 ? 1 : 0);
    QCOMPARE(client.isNull(), outcome >= 0);
    delete client;
}

// Where no server answers, the size is 0, told once.
void TestDownloadClient::clientSize()
{
    CDownloadClient client{TestSupport::InstallDir::Current()};
    QSignalSpy spy(&client, &CDownloadClient::SignalClientSize);
    client.GetClientSize(RefusedUrl());
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first().first().toLongLong(), qint64(0));
}

void TestDownloadClient::retries_data()
{
    QTest::addColumn<QString>("server");              // "local", or "nginx" behind a proxy that cuts once
    QTest::addColumn<int>("retries");                  // attempts after the first; 0: off
    QTest::addColumn<QList<LocalHttpRoute>>("answers"); // the local server's, in turn
    QTest::addColumn<QByteArray>("package");          // what the download must end with; empty: a failure
    QTest::addColumn<int>("requests");                // -1: not counted
    QTest::addColumn<QList<int>>("announced");        // attempts announced while waiting
    QTest::addColumn<QList<qint64>>("restarts");      // where the file started over or went on
    QTest::addColumn<QByteArray>("lastRange");        // the Range of the last request
    QTest::addColumn<bool>("record");                 // a record of the partial package is left
    QTest::addColumn<int>("minMs");                   // the waits it must have taken at least

    using R = LocalHttpRoute;
    using Answers = QList<LocalHttpRoute>;
    const QByteArray body = Bytes(1024 * 1024, 11);
    const QByteArray changed = Bytes(1024 * 1024 + 5, 12);
    const int half = body.size() / 2;
    const QByteArray rest = "bytes=" + QByteArray::number(half) + '-';
    const R dropped = CutAt(R::Resumable(body, "\"v1\""), half);
    const R whole = R::Resumable(body, "\"v1\"");
    const QList<qint64> none;

    QTest::newRow("retries off: a drop is one failure, one request, no record")
        << "local" << 0 << Answers{dropped, whole} << QByteArray() << 1 << QList<int>{} << none
        << QByteArray() << false << 0;
    QTest::newRow("dropped halfway: the rest is asked for and appended")
        << "local" << 3 << Answers{dropped, whole} << body << 2 << QList<int>{1} << none << rest
        << false << 900;
    QTest::newRow("the file changed between attempts: 200 to If-Range, starts over")
        << "local" << 3 << Answers{dropped, R::Resumable(changed, "\"v2\"")} << changed << 2
        << QList<int>{1} << QList<qint64>{0} << rest << false << 0;
    QTest::newRow("a server without ranges: every attempt starts over")
        << "local" << 3 << Answers{CutAt(R::Ok(body), half), R::Ok(body)} << body << 2
        << QList<int>{1} << QList<qint64>{0} << QByteArray() << false << 0;
    QTest::newRow("429 is retried") << "local" << 3 << Answers{R::Status(429, "slow down"), whole}
                                    << body << 2 << QList<int>{1} << none << QByteArray() << false << 0;
    QTest::newRow("503 with Retry-After 2 is waited out")
        << "local" << 3 << Answers{R::Unavailable("2"), whole} << body << 2 << QList<int>{1} << none
        << QByteArray() << false << 1900;
    QTest::newRow("500, drop, 503: waits 1 s, 2 s, Retry-After 0, and resumes")
        << "local" << 3
        << Answers{R::Status(500, "oops"), dropped, R::Unavailable("0"), whole}
        << body << 4 << QList<int>{1, 2, 3} << none << rest << false << 2900;
    QTest::newRow("the attempts run out: one failure, the partial package kept with its record")
        << "local" << 1 << Answers{dropped, R::Unavailable("0")} << QByteArray() << 2 << QList<int>{1}
        << none << rest << true << 0;
    QTest::newRow("404 is not retried") << "local" << 3 << Answers{R::Status(404, "gone"), whole}
                                        << QByteArray() << 1 << QList<int>{} << none << QByteArray() << false << 0;
    // Each of these asks for the rest, and the answer does not continue the
    // bytes on disk; Retry-After 0 keeps the test short.
    R quickDrop = dropped;
    quickDrop.headers.append(qMakePair(QByteArray("Retry-After"), QByteArray("0")));
    R otherBuild = R::Status(206, changed.mid(half, body.size() - half));
    const QByteArray span = QByteArray::number(half) + '-' + QByteArray::number(body.size() - 1);
    otherBuild.headers = {{"Content-Range", "bytes " + span + '/' + QByteArray::number(body.size())},
                          {"ETag", "\"v2\""}};
    R unsatisfiable = R::Status(416, QByteArray());
    unsatisfiable.headers.append(qMakePair(QByteArray("Retry-After"), QByteArray("0")));
    QTest::newRow("a 206 of another build (If-Range ignored): never joined, asked again from 0 at once")
        << "local" << 3 << Answers{quickDrop, otherBuild, whole} << body << 3 << QList<int>{1}
        << QList<qint64>{0} << QByteArray() << false << 0;
    QTest::newRow("416 to the rest: asked again from 0 at once")
        << "local" << 3 << Answers{quickDrop, unsatisfiable, whole} << body << 3 << QList<int>{1}
        << QList<qint64>{0} << QByteArray() << false << 0;
    QTest::newRow("a second start-over in one download is a failed attempt")
        << "local" << 3 << Answers{quickDrop, unsatisfiable, quickDrop, unsatisfiable, whole} << body
        << 5 << QList<int>{1, 2, 3} << QList<qint64>{0, 0} << QByteArray() << false << 0;

    const QByteArray large = Bytes(4 * 1024 * 1024, 13);
    QTest::newRow("nginx, cut halfway: resumed") << "nginx" << 3 << Answers{} << large << -1
                                                << QList<int>{1} << none << QByteArray() << false << 0;
    QTest::newRow("nginx without ranges, cut halfway: starts over")
        << "nginx max_ranges 0;" << 3 << Answers{} << large << -1 << QList<int>{1} << QList<qint64>{0}
        << QByteArray() << false << 0;
    QTest::newRow("nginx, cut halfway, retries off: one failure")
        << "nginx" << 0 << Answers{} << QByteArray() << -1 << QList<int>{} << none << QByteArray()
        << false << 0;
}

// The real client against real servers: what it asks, how long it waits,
// what it reports, and the file it leaves.
void TestDownloadClient::retries()
{
    QFETCH(QString, server);
    QFETCH(int, retries);
    QFETCH(QList<LocalHttpRoute>, answers);
    QFETCH(QByteArray, package);
    QFETCH(int, requests);
    QFETCH(QList<int>, announced);
    QFETCH(QList<qint64>, restarts);
    QFETCH(QByteArray, lastRange);
    QFETCH(bool, record);
    QFETCH(int, minMs);
    // A signed installation: its check must find the hash of the file as
    // assembled, resumed or started over.
    const bool checkHash = m_bSigning && !package.isEmpty();
    QByteArray signature;
    if (checkHash) {
        QVERIFY(TrustKey(m_signer));
        signature = m_signer.Sign(package);
        QVERIFY(!signature.isEmpty());
    }

    LocalHttpServer local;
    NginxServer nginx;
    CutProxy proxy;
    QString url;
    if (server.startsWith("nginx")) {
        if (NginxServer::Program().isEmpty())
            QSKIP("nginx is not installed (scripts/deps.sh installs nginx-light)");
        if (QStandardPaths::findExecutable("python3").isEmpty())
            QSKIP("python3 is not installed");
        const QByteArray served = package.isEmpty() ? Bytes(4 * 1024 * 1024, 13) : package;
        QVERIFY(nginx.AddFile("client_v2.zip", served));
        if (checkHash)
            QVERIFY(nginx.AddFile("client_v2.zip.minisig", signature));
        nginx.ExtraServerConfig(server.mid(5).toLatin1());
        QVERIFY2(nginx.Start(), qPrintable(nginx.ErrorText()));
        QVERIFY(proxy.Start(nginx.Port(), served.size() / 2));
        url = proxy.Url("/client_v2.zip");
    } else {
        local.SetRouteSequence("/pkg/client_v2.zip", answers);
        if (checkHash)
            local.SetRoute("/pkg/client_v2.zip.minisig", LocalHttpRoute::Ok(signature));
        QVERIFY(local.Start());
        url = local.Url("/pkg/client_v2.zip");
    }

    CDownloadClient client{TestSupport::InstallDir::Current()};
    client.SetStallTimeout(1000);
    client.SetRetries(retries);
    CPackageCheck check(CSigningTrust::Load(TestSupport::InstallDir::Current()));
    FeedCheck(&client, &check);
    Recorder recorder;
    recorder.Attach(&client);
    QElapsedTimer clock;
    clock.start();
    RunDownload(client, url);
    const qint64 elapsed = clock.elapsed();
    QTest::qWait(kSettleMs);

    QVERIFY(recorder.Ended());
    QCOMPARE(recorder.retries, announced);
    if (!announced.isEmpty())
        QCOMPARE(recorder.retryTotal, retries);
    // The download began at 0; the row lists where it went from there.
    QCOMPARE(recorder.restarts.value(0, -1), qint64(0));
    QCOMPARE(recorder.restarts.mid(1), restarts);
    QVERIFY2(elapsed >= minMs, qPrintable(QString::number(elapsed)));
    const QString path = PackagePath("client_v2.zip");
    QCOMPARE(QFile::exists(CPackage(url, TestSupport::InstallDir::Current()).ResumeRecordPath()), record);
    if (package.isEmpty()) {
        QCOMPARE(recorder.finishes, 0);
        QCOMPARE(recorder.errors.size(), 1);
    } else {
        QCOMPARE(recorder.errors, QStringList());
        QCOMPARE(recorder.finishes, 1);
        QVERIFY2(ReadAll(path) == package, "the file is not the package");
    }
    if (server == "local") {
        if (requests >= 0)
            QCOMPARE(local.RequestCount("/pkg/client_v2.zip"), requests);
        const int last = local.Requests().size() - 1;
        QCOMPARE(local.RequestHeader(last, "Range"), lastRange);
        if (!lastRange.isEmpty())
            QCOMPARE(local.RequestHeader(last, "If-Range"), QByteArray("\"v1\""));
        // Every request, with retries or without, asks for the bytes as stored.
        for (int i = 0; i < local.Requests().size(); ++i)
            QCOMPARE(local.RequestHeader(i, "Accept-Encoding"), QByteArray("identity"));
        // A resumed package crossed the wire about once.
        if (!package.isEmpty() && restarts.isEmpty())
            QVERIFY2(local.BodyBytesSent() <= package.size() * 105 / 100,
                     qPrintable(QString::number(local.BodyBytesSent())));
    }
    // Checked last: the signature's request is not the package's.
    if (checkHash)
        QCOMPARE(RunCheck(check, client).kind, EFailure::None);
    if (!m_bSigning && !package.isEmpty())
        QSKIP("minisign is not installed: the hash made while writing was not checked");
}

void TestDownloadClient::acrossRuns_data()
{
    QTest::addColumn<int>("retries");    // of the second run
    QTest::addColumn<QByteArray>("servedNext"); // "same", "changed": what the server holds then
    QTest::addColumn<QString>("nextPath");      // the second run's URL path
    QTest::addColumn<QByteArray>("partial");    // between the runs: "kept", "grown", "second name"
    QTest::addColumn<bool>("resumes");

    const QString same("/pkg/client_v2.zip");
    QTest::newRow("same URL, same file: resumed with Range and If-Range")
        << 3 << QByteArray("same") << same << QByteArray("kept") << true;
    QTest::newRow("the file changed on the server: 200, starts over")
        << 3 << QByteArray("changed") << same << QByteArray("kept") << false;
    QTest::newRow("another URL for the same file name: replaced")
        << 3 << QByteArray("same") << QString("/other/client_v2.zip") << QByteArray("kept") << false;
    QTest::newRow("retries off in the next run: replaced") << 0 << QByteArray("same") << same
                                                           << QByteArray("kept") << false;
    QTest::newRow("the partial package changed on disk: replaced")
        << 3 << QByteArray("same") << same << QByteArray("grown") << false;
    QTest::newRow("the partial package got a second name: replaced as a name, never continued")
        << 3 << QByteArray("same") << same << QByteArray("second name") << false;
}

// A run that fails keeps its partial package and record; the next run goes
// on from there only for the same URL and the same bytes.
void TestDownloadClient::acrossRuns()
{
    QFETCH(int, retries);
    QFETCH(QByteArray, servedNext);
    QFETCH(QString, nextPath);
    QFETCH(QByteArray, partial);
    QFETCH(bool, resumes);

    const QByteArray body = Bytes(1024 * 1024, 14);
    const QByteArray changed = Bytes(900 * 1024, 15);
    const int half = body.size() / 2;
    LocalHttpServer server;
    server.SetRouteSequence("/pkg/client_v2.zip", {CutAt(LocalHttpRoute::Resumable(body, "\"v1\""), half),
                                                   LocalHttpRoute::Unavailable("0")});
    QVERIFY(server.Start());
    const QString path = PackagePath("client_v2.zip");

    {
        CDownloadClient first{TestSupport::InstallDir::Current()};
        first.SetRetries(1);
        Recorder recorder;
        recorder.Attach(&first);
        RunDownload(first, server.Url("/pkg/client_v2.zip"));
        QCOMPARE(recorder.errors.size(), 1);
    }
    QCOMPARE(QFileInfo(path).size(), qint64(half));
    const std::optional<CPartialRecord> saved =
        LoadPartialRecord(CPackage(server.Url("/pkg/client_v2.zip"), TestSupport::InstallDir::Current()));
    QVERIFY(saved.has_value());
    QCOMPARE(saved->bytes, qint64(half));
    QCOMPARE(saved->validator, QByteArray("\"v1\""));

    const QByteArray next = servedNext == "changed" ? changed : body;
    const LocalHttpRoute route = LocalHttpRoute::Resumable(next, servedNext == "changed" ? "\"v2\"" : "\"v1\"");
    server.SetRouteSequence("/pkg/client_v2.zip", {route});
    server.SetRoute("/other/client_v2.zip", route);
    if (partial == "grown") {
        QFile grown(path);
        QVERIFY(grown.open(QIODevice::Append));
        grown.write("x");
    }
    // Whoever holds the second name could change the bytes at will.
    const QString secondName = TestSupport::InstallDir::Current() + QStringLiteral("/second-name.bin");
    const QByteArray firstHalf = ReadAll(path);
    if (partial == "second name")
        QCOMPARE(::link(QFile::encodeName(path).constData(), QFile::encodeName(secondName).constData()), 0);
    // A signed installation: the bytes of the first run are hashed from the
    // disk once, before the rest is asked for, and the rest as it comes.
    const QString nextUrl = server.Url(nextPath.toLatin1());
    if (m_bSigning) {
        QVERIFY(TrustKey(m_signer));
        const QByteArray signature = m_signer.Sign(next);
        QVERIFY(!signature.isEmpty());
        server.SetRoute(nextPath.toLatin1() + ".minisig", LocalHttpRoute::Ok(signature));
    }
    const int before = server.Requests().size();
    const qint64 sentBefore = server.BodyBytesSent();
    CDownloadClient second{TestSupport::InstallDir::Current()};
    second.SetRetries(retries);
    CPackageCheck check(CSigningTrust::Load(TestSupport::InstallDir::Current()));
    FeedCheck(&second, &check);
    Recorder recorder;
    recorder.Attach(&second);
    RunDownload(second, nextUrl);
    QTest::qWait(kSettleMs);

    QCOMPARE(recorder.errors, QStringList());
    QCOMPARE(recorder.finishes, 1);
    QVERIFY2(ReadAll(path) == next, "the file is not the package");
    QVERIFY(!QFile::exists(CPackage(nextUrl, TestSupport::InstallDir::Current()).ResumeRecordPath()));
    if (partial == "second name") {
        QVERIFY2(ReadAll(secondName) == firstHalf, "the second name keeps its bytes");
        QVERIFY(QFile::remove(secondName));
    }
    const QByteArray range = server.RequestHeader(before, "Range");
    const bool asked = servedNext == "changed" || resumes;
    QCOMPARE(range, asked ? "bytes=" + QByteArray::number(half) + '-' : QByteArray());
    if (asked)
        QCOMPARE(server.RequestHeader(before, "If-Range"), QByteArray("\"v1\""));
    // The percentage starts at the bytes on disk, and at 0 when they go.
    QList<qint64> restarts{asked ? half : 0};
    if (asked && !resumes)
        restarts << 0;
    QCOMPARE(recorder.restarts, restarts);
    QCOMPARE(recorder.Total() + (resumes ? half : 0), qint64(next.size()));
    if (resumes)
        QCOMPARE(server.BodyBytesSent() - sentBefore, qint64(body.size() - half));
    if (!m_bSigning)
        QSKIP("minisign is not installed: the hash made while writing was not checked");
    QCOMPARE(RunCheck(check, second).kind, EFailure::None);
}

void TestDownloadClient::signatureFetch_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("packageUrl");
    QTest::addColumn<int>("result");       // ESignatureCheck
    QTest::addColumn<QByteArray>("text");  // what an Ok fetch holds

    const int ok = int(ESignatureCheck::Ok);
    const int none = int(ESignatureCheck::NoSignature);
    const int unreadable = int(ESignatureCheck::SignatureUnreadable);
    const QByteArray signature = "untrusted comment: signature\nRWQ\ntrusted comment: t\nAAA\n";
    const QByteArray atBound(int(kMaxSignatureBytes), 's');

    m_http.SetRoute("/sig/client_v2.zip.minisig", LocalHttpRoute::Ok(signature));
    m_http.SetRoute("/sig/get?file=setup.exe.minisig", LocalHttpRoute::Ok(signature));
    QTest::newRow("a query: .minisig goes at the very end")
        << false << m_http.Url("/sig/get?file=setup.exe") << ok << signature;
    m_http.SetRoute("/bound/client_v2.zip.minisig", LocalHttpRoute::Ok(atBound));
    QTest::newRow("exactly at the bound") << false << m_http.Url("/bound/client_v2.zip") << ok << atBound;
    m_http.SetRoute("/over/client_v2.zip.minisig", LocalHttpRoute::Ok(atBound + 's'));
    QTest::newRow("one byte over the bound") << false << m_http.Url("/over/client_v2.zip") << unreadable
                                             << QByteArray();
    // Ten seconds of trickle if it were read to its end; the row's wait is shorter.
    LocalHttpRoute endless = LocalHttpRoute::Ok(QByteArray(2 * 1024 * 1024, 'x'));
    endless.contentLength = false;
    endless.bytesPerSecond = 200 * 1024;
    m_http.SetRoute("/endless/client_v2.zip.minisig", endless);
    QTest::newRow("long answer without a length: cut off at the bound")
        << false << m_http.Url("/endless/client_v2.zip") << unreadable << QByteArray();
    m_http.SetRoute("/e500/client_v2.zip.minisig", LocalHttpRoute::Status(500, signature));
    m_http.SetRoute("/moved/client_v2.zip.minisig", LocalHttpRoute::Redirect(302, "/sig/client_v2.zip.minisig"));
    QTest::newRow("redirect followed as for the package")
        << false << m_http.Url("/moved/client_v2.zip") << ok << signature;
    LocalHttpRoute stalled = LocalHttpRoute::Ok(signature);
    stalled.stallAfter = 10;
    m_http.SetRoute("/stall/client_v2.zip.minisig", stalled);
    QTest::newRow("stalled") << false << m_http.Url("/stall/client_v2.zip") << none << QByteArray();
    // Never silent, never over the bound: forty seconds if it were read to its end.
    LocalHttpRoute trickled = LocalHttpRoute::Ok(QByteArray(4000, 't'));
    trickled.bytesPerSecond = 100;
    m_http.SetRoute("/trickle/client_v2.zip.minisig", trickled);
    QTest::newRow("trickled within the bound: the whole fetch has a deadline")
        << false << m_http.Url("/trickle/client_v2.zip") << none << QByteArray();
    LocalHttpRoute errorPage = LocalHttpRoute::Status(500, QByteArray());
    errorPage.endless = true;
    m_http.SetRoute("/endless500/client_v2.zip.minisig", errorPage);
    QTest::newRow("an error page without end ends at its head")
        << false << m_http.Url("/endless500/client_v2.zip") << none << QByteArray();
    m_https.SetRoute("/sig/client_v2.zip.minisig", LocalHttpRoute::Ok(signature));
    m_https.SetRoute("/down/client_v2.zip.minisig",
                     LocalHttpRoute::Redirect(302, m_http.Url("/sig/client_v2.zip.minisig").toLatin1()));
    QTest::newRow("https to http redirect refused") << true << "/down/client_v2.zip" << none << QByteArray();
}

void TestDownloadClient::signatureFetch()
{
    QFETCH(bool, tls);
    QFETCH(QString, packageUrl);
    QFETCH(int, result);
    QFETCH(QByteArray, text);
    if (tls) {
        RequireTls();
        packageUrl = m_https.Url(packageUrl.toLatin1());
    }

    // Through the download's own manager, as the package check fetches it.
    CDownloadClient client{TestSupport::InstallDir::Current()};
    CSignatureFetch fetch;
    fetch.SetStallTimeout(500);
    QSignalSpy finished(&fetch, &CSignatureFetch::SignalSignatureFetched);
    fetch.Start(client.NetworkManager(), CPackage(packageUrl, TestSupport::InstallDir::Current()).SignatureUrl(), OwnTrust());
    QCOMPARE(finished.count(), 0);
    QVERIFY(finished.wait(5000));
    QTest::qWait(kSettleMs);

    QCOMPARE(finished.count(), 1);
    QCOMPARE(int(fetch.Result()), result);
    QCOMPARE(fetch.SignatureText(), text);
}

void TestDownloadClient::packageCheck_data()
{
    QTest::addColumn<QString>("key");       // what lies at <installation>/UpdateKey.pub
    QTest::addColumn<QByteArray>("stamp");  // <installation>/UpdateKey.stamp; null: none
    QTest::addColumn<QString>("signature"); // what the server publishes beside the package
    QTest::addColumn<bool>("exePackage");
    QTest::addColumn<bool>("required");
    QTest::addColumn<EFailure>("verdict");

    const QByteArray none;
    QTest::newRow("no key: nothing asked for, the package kept") << "none" << none << "good" << false << false
                                                                 << EFailure::None;
    QTest::newRow("updatekey.pub in other letters is another file")
        << "lower case" << none << "garbage" << false << false << EFailure::None;
    QTest::newRow("signed by the installation's key") << "signer" << none << "good" << false << true
                                                      << EFailure::None;
    QTest::newRow("an executable signed by it") << "signer" << none << "good" << true << true << EFailure::None;
    QTest::newRow("signed by another key") << "signer" << none << "other key" << false << true
                                           << EFailure::OtherKey;
    QTest::newRow("two keys, the second signs") << "rotated" << none << "other key" << false << true
                                                << EFailure::None;
    QTest::newRow("one byte of the package changed on the server")
        << "signer" << none << "tampered package" << true << true << EFailure::SignatureMismatch;
    QTest::newRow("legacy signature") << "signer" << none << "legacy" << false << true << EFailure::LegacySignature;
    QTest::newRow("garbage for a signature") << "signer" << none << "garbage" << false << true
                                             << EFailure::SignatureUnreadable;
    QTest::newRow("no signature published (404)") << "signer" << none << "none" << true << true
                                                  << EFailure::NoSignature;
    QTest::newRow("an older package, genuinely signed, served under the new name")
        << "signer" << none << "other name" << false << true << EFailure::SignatureOtherFile;
    QTest::newRow("a redirect to an older package, its genuine signature beside it")
        << "signer" << none << "redirect old" << false << true << EFailure::SignatureOtherFile;
    QTest::newRow("a redirect to a copy signed as the name asked for")
        << "signer" << none << "redirect same" << false << true << EFailure::None;
    QTest::newRow("Content-Disposition names the older signed package")
        << "signer" << none << "disposition" << true << true << EFailure::SignatureOtherFile;
    QTest::newRow("filename* names it") << "signer" << none << "disposition*" << false << true
                                        << EFailure::SignatureOtherFile;
    QTest::newRow("a quoted path names it") << "signer" << none << "disposition path" << false << true
                                            << EFailure::SignatureOtherFile;
    QTest::newRow("Content-Disposition naming another file changes nothing")
        << "signer" << none << "disposition ignored" << false << true << EFailure::None;
    QTest::newRow("a trusted comment without file: is bound to no name")
        << "signer" << none << "no file field" << false << true << EFailure::None;
    QTest::newRow("older than the update last installed")
        << "signer" << QByteArray("200\n") << "signed at 100" << false << true << EFailure::OlderRelease;
    QTest::newRow("the same release again") << "signer" << QByteArray("200\n") << "signed at 200" << false << true
                                            << EFailure::None;
    QTest::newRow("no timestamp while a stamp is kept")
        << "signer" << QByteArray("200\n") << "no file field" << false << true << EFailure::NoTimestamp;
    QTest::newRow("a stamp that is no number") << "signer" << QByteArray("two hundred\n") << "good" << false << true
                                               << EFailure::StampUnreadable;
    QTest::newRow("a stamp without its line break") << "signer" << QByteArray("200") << "signed at 100" << false
                                                    << true << EFailure::OlderRelease;
    QTest::newRow("an empty stamp") << "signer" << QByteArray("") << "good" << false << true
                                    << EFailure::StampUnreadable;
    QTest::newRow("a negative stamp") << "signer" << QByteArray("-5\n") << "good" << false << true
                                      << EFailure::StampUnreadable;
    QTest::newRow("a stamp too long") << "signer" << QByteArray(40, '9') << "good" << false << true
                                      << EFailure::StampUnreadable;
    QTest::newRow("a folder in the stamp's place") << "signer" << QByteArray("folder") << "good" << false << true
                                                   << EFailure::StampUnreadable;
    QTest::newRow("a stamp without a key means nothing") << "none" << QByteArray("garbage") << "good" << false
                                                         << false << EFailure::None;
    QTest::newRow("a gzip-coded signature: refused, never decoded")
        << "signer" << none << "coded" << false << true << EFailure::CodedAnswer;
    QTest::newRow("empty key file") << "empty" << none << "good" << false << true << EFailure::KeyUnreadable;
    QTest::newRow("a folder in the key's place") << "folder" << none << "good" << false << true
                                                 << EFailure::KeyUnreadable;
    QTest::newRow("a broken link in the key's place") << "dangling" << none << "good" << false << true
                                                      << EFailure::KeyUnreadable;
}

// The check made with the client hashes the download as it is written and
// gives one verdict, from the event loop. A refused package is gone from
// disk (its box and exit status: TestNetwork::failureTexts). The name
// the signature must carry is the one the package URL asks for, whatever the
// server's redirects and headers say.
void TestDownloadClient::packageCheck()
{
    RequireMinisign();
    QFETCH(QString, key);
    QFETCH(QByteArray, stamp);
    QFETCH(QString, signature);
    QFETCH(bool, exePackage);
    QFETCH(bool, required);
    QFETCH(EFailure, verdict);

    const QString keyPath = QDir(TestSupport::InstallDir::Current()).filePath("UpdateKey.pub");
    if (key == "signer")
        QVERIFY(TrustKey(m_signer));
    else if (key == "rotated")
        QVERIFY(WriteAll(keyPath, m_signer.PublicKey() + m_signer.PublicKey(true)));
    else if (key == "lower case")
        QVERIFY(WriteAll(QDir(TestSupport::InstallDir::Current()).filePath("updatekey.pub"), m_signer.PublicKey()));
    else if (key == "empty")
        QVERIFY(WriteAll(keyPath, QByteArray()));
    else if (key == "folder")
        QVERIFY(QDir().mkdir(keyPath));
    else if (key == "dangling")
        QVERIFY(QFile::link(QDir(TestSupport::InstallDir::Current()).filePath("gone.pub"), keyPath));
    const QString stampPath = QDir(TestSupport::InstallDir::Current()).filePath("UpdateKey.stamp");
    if (stamp == "folder")
        QVERIFY(QDir().mkdir(stampPath));
    else if (!stamp.isNull())
        QVERIFY(WriteAll(stampPath, stamp));

    const QByteArray package = Bytes(300 * 1024 + 7, 31);
    LocalHttpRoute served = LocalHttpRoute::Ok(package);
    if (signature == "tampered package")
        served.body[1000] = char(package[1000] ^ 0x01);
    const QByteArray target = exePackage ? "/pkg/setup.exe" : "/pkg/client_v2.zip";
    // The name minisign's default comment carries: the file the publisher signed.
    const bool older = signature == "other name" || signature == "redirect old"
        || (signature.startsWith("disposition") && signature != "disposition ignored");
    const QString askedName = QFileInfo(QString(target)).fileName();
    const QString signedName = older ? QStringLiteral("client_2.0.zip") : askedName;
    QStringList extra;
    if (signature == "legacy")
        extra = QStringList{"-l"};
    else if (signature == "no file field")
        extra = QStringList{"-t", "built by the release job"};
    else if (signature.startsWith("signed at "))
        extra = QStringList{"-t", "timestamp:" + signature.mid(10) + "\tfile:" + askedName + "\thashed"};
    QByteArray published = m_signer.Sign(package, signature == "other key", extra, signedName);
    QVERIFY(!published.isEmpty());
    if (signature == "garbage")
        published = Bytes(300, 32);
    const QByteArray disposition = signature == "disposition"  ? "attachment; filename=client_2.0.zip"
        : signature == "disposition*"                          ? "attachment; filename*=UTF-8''client_2.0.zip"
        : signature == "disposition path"                      ? "attachment; filename=\"../old/client_2.0.zip\""
        : signature == "disposition ignored"                   ? "attachment; filename=client_2.0.zip"
                                                               : "";
    if (!disposition.isEmpty())
        served.headers.append(qMakePair(QByteArray("Content-Disposition"), disposition));
    const QByteArray servedTarget = signature == "redirect old" ? "/old/client_2.0.zip"
        : signature == "redirect same"                          ? "/mirror/client_v2.zip"
                                                                : target;
    LocalHttpServer server;
    server.SetRoute(servedTarget, served);
    if (servedTarget != target)
        server.SetRoute(target, LocalHttpRoute::Redirect(302, servedTarget));
    LocalHttpRoute signatureRoute = LocalHttpRoute::Ok(published);
    if (signature == "coded")
        signatureRoute.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
    if (signature != "none")
        server.SetRoute(servedTarget + ".minisig", signatureRoute);
    QVERIFY(server.Start());

    CDownloadClient client{TestSupport::InstallDir::Current()};
    CPackageCheck check(CSigningTrust::Load(TestSupport::InstallDir::Current()));
    FeedCheck(&client, &check);
    QCOMPARE(check.IsRequired(), required);
    QString url = server.Url(target);
    RunDownload(client, url);
    QCOMPARE(client.Failure().kind, EFailure::None);
    const QString path = PackagePath(exePackage ? "setup.exe" : "client_v2.zip");
    QVERIFY(QFile::exists(path));

    QSignalSpy checked(&check, &CPackageCheck::SignalEnded);
    check.Start(SignatureSourceOf(client));
    QCOMPARE(checked.count(), 0);
    QVERIFY(checked.wait(kWaitMs));
    check.Start(SignatureSourceOf(client));
    QTest::qWait(kSettleMs);

    QCOMPARE(checked.count(), 1);
    QCOMPARE(check.Verdict().kind, verdict);
    QCOMPARE(server.RequestCount(servedTarget + ".minisig"), required ? 1 : 0);
    if (verdict == EFailure::None) {
        QVERIFY2(ReadAll(path) == served.body, "the package is not as downloaded");
        // What is kept once its installer has started.
        const bool timestamped = required && signature != "no file field";
        QCOMPARE(check.SignedTimestamp().has_value(), timestamped);
        if (signature == "signed at 200")
            QCOMPARE(*check.SignedTimestamp(), qint64(200));
        return;
    }
    QVERIFY2(!QFile::exists(path), "the refused package was kept");
    QVERIFY(!check.SignedTimestamp());
}

void TestDownloadClient::checkTwoEventsOneReport_data()
{
    QTest::addColumn<bool>("signedInstallation");
    QTest::addColumn<QByteArray>("signature"); // "quiet": it never comes; "404"; "client goes" while it comes
    QTest::addColumn<int>("outcome");          // EFailure of the one report; -1: none

    QTest::newRow("unsigned: verdict + stop") << false << QByteArray("quiet") << int(EFailure::None);
    QTest::newRow("unsigned: stop + stop before the verdict") << false << QByteArray("quiet") << -1;
    QTest::newRow("signed: stop + stop while the signature comes") << true << QByteArray("quiet") << -1;
    QTest::newRow("signed: refusal + stop") << true << QByteArray("404") << int(EFailure::NoSignature);
    // The signature's request belongs to the client's manager and goes with it.
    QTest::newRow("signed: the client goes while the signature comes, a refusal")
        << true << QByteArray("client goes") << int(EFailure::NoSignature);
}

// One verdict at most, whatever follows it; a stopped check says nothing
// more. A signed installation keeps no package it has not passed.
void TestDownloadClient::checkTwoEventsOneReport()
{
    QFETCH(bool, signedInstallation);
    QFETCH(QByteArray, signature);
    QFETCH(int, outcome);
    LocalHttpServer server;
    server.SetRoute("/pkg/client_v2.zip", LocalHttpRoute::Ok(Bytes(10 * 1024, 33)));
    LocalHttpRoute quiet = LocalHttpRoute::Ok(QByteArray(300, 's'));
    quiet.stallAfter = 10;
    server.SetRoute("/pkg/client_v2.zip.minisig", signature == "404" ? LocalHttpRoute::Status(404, "none") : quiet);
    QVERIFY(server.Start());
    QString url = server.Url("/pkg/client_v2.zip");
    if (signedInstallation)
        QVERIFY(WriteAll(QDir(TestSupport::InstallDir::Current()).filePath("UpdateKey.pub"), "a key\n"));

    auto client = std::make_unique<CDownloadClient>(TestSupport::InstallDir::Current());
    CPackageCheck check(CSigningTrust::Load(TestSupport::InstallDir::Current()));
    FeedCheck(client.get(), &check);
    QCOMPARE(check.IsRequired(), signedInstallation);
    RunDownload(*client, url);
    QList<CFailure> ended;
    QObject::connect(&check, &CPackageCheck::SignalEnded, [&](const CFailure& verdict) {
        ended.append(verdict);
        check.Stop();
    });
    check.Start(SignatureSourceOf(*client));
    // The signature is on its way, or the verdict of an unsigned one is queued.
    if (signedInstallation && signature != "404")
        QTRY_COMPARE_WITH_TIMEOUT(server.RequestCount("/pkg/client_v2.zip.minisig"), 1, kWaitMs);
    if (signature == "client goes")
        client.reset();
    if (outcome < 0) {
        check.Stop();
        check.Stop();
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty(), kWaitMs);
    }
    QTest::qWait(kSettleMs);

    QCOMPARE(ended.size(), outcome < 0 ? 0 : 1);
    if (outcome >= 0)
        QCOMPARE(int(ended.first().kind), outcome);
    QCOMPARE(QFileInfo::exists(PackagePath("client_v2.zip")), !signedInstallation);
}


// The stamp is replaced whole and never written through a link: a link in
// its place goes, what it pointed to stays as it was.
void TestDownloadClient::storeStamp()
{
    const QString stampPath = QDir(TestSupport::InstallDir::Current()).filePath("UpdateKey.stamp");
    QVERIFY(StoreInstalledStamp(TestSupport::InstallDir::Current(), 1796722155));
    QCOMPARE(ReadAll(stampPath), QByteArray("1796722155\n"));
    QVERIFY(StoreInstalledStamp(TestSupport::InstallDir::Current(), 1796722156));
    QCOMPARE(ReadAll(stampPath), QByteArray("1796722156\n"));

#ifdef Q_OS_UNIX
    QTemporaryDir outside;
    QVERIFY(outside.isValid());
    const QString victim = outside.filePath("victim.txt");
    QVERIFY(WriteAll(victim, "not the updater's\n"));
    QVERIFY(QFile::remove(stampPath));
    QVERIFY(QFile::link(victim, stampPath));
    QVERIFY(StoreInstalledStamp(TestSupport::InstallDir::Current(), 1796722157));
    QCOMPARE(ReadAll(victim), QByteArray("not the updater's\n"));
    QVERIFY(!QFileInfo(stampPath).isSymLink());
    QCOMPARE(ReadAll(stampPath), QByteArray("1796722157\n"));
#endif

    // A folder in its place is left alone, and said.
    QVERIFY(QFile::remove(stampPath));
    QVERIFY(QDir().mkdir(stampPath));
    QVERIFY(!StoreInstalledStamp(TestSupport::InstallDir::Current(), 1796722158));
    QVERIFY(QFileInfo(stampPath).isDir());
}

// Nothing in the product sets the stall time: a server quiet for a minute
// ends the attempt, and a shorter time would end slow but healthy downloads.
void TestDownloadClient::stallLimitAsShipped()
{
    CDownloadClient client{TestSupport::InstallDir::Current()};
    QCOMPARE(client.StallTimeout(), 60000);
}

QTEST_GUILESS_MAIN(TestDownloadClient)
#include "tst_client.moc"
