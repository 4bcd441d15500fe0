#include "CDownloadClient.h"
#include "CSignatureFetch.h"
#include "DownloadRecorder.h"
#include "InstallDir.h"
#include "LocalHttpServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <numeric>

using namespace Update;
using Update::Test::Bytes;
using Update::Test::Recorder;
using TestSupport::InstallDir;

namespace {

const int kWaitMs = 15000;   // upper bound for any one transfer in these tests
const int kSettleMs = 200;   // time given to a second, unwanted signal to show up



QString PackagePath(const QString& fileName)
{
    return QDir::currentPath() + '/' + fileName;
}

} // namespace

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
    void stopMidTransfer_data();
    void stopMidTransfer();
    void secondStartSendsNoRequest();
    void spentClientStartsNothing();
    void receiverEndsClientInsideError_data();
    void receiverEndsClientInsideError();
    void tlsSettings_data();
    void tlsSettings();
    void clientSize_data();
    void clientSize();
    void signatureFetch_data();
    void signatureFetch();

private:
    QString RefusedUrl() const;
    void RequireTls() const;

    LocalHttpServer m_http;
    LocalHttpServer m_https;
    bool m_bTls = false;
    quint16 m_nRefusedPort = 0;
    QTemporaryDir m_tlsDir;
    std::unique_ptr<InstallDir> m_pDir;
};

// A self-signed certificate made now, so nothing secret lives in the tree.
void TestDownloadClient::initTestCase()
{
    QVERIFY(m_http.Start());

    QTcpServer refused;
    QVERIFY(refused.listen(QHostAddress::LocalHost, 0));
    m_nRefusedPort = refused.serverPort();
    refused.close();

    if (!QSslSocket::supportsSsl() || !m_tlsDir.isValid())
        return;
    QProcess openssl;
    openssl.setWorkingDirectory(m_tlsDir.path());
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out",
                              "cert.pem", "-days", "2", "-subj", "/CN=127.0.0.1"});
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

void TestDownloadClient::downloads_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("fileName");

    const QByteArray small = Bytes(100, 1);
    const QByteArray large = Bytes(3 * 1024 * 1024 + 17, 2);

    m_http.SetRoute("/pkg/client_v2.zip", LocalHttpRoute::Ok(small));
    QTest::newRow("content-length") << false << QByteArray("/pkg/client_v2.zip") << small << "client_v2.zip";

    m_http.SetRoute("/large/client_v2.zip", LocalHttpRoute::Ok(large));
    QTest::newRow("3 MiB")
        << false << QByteArray("/large/client_v2.zip") << large << "client_v2.zip";

    LocalHttpRoute unsized = LocalHttpRoute::Ok(large);
    unsized.contentLength = false;
    m_http.SetRoute("/unsized/client_v2.zip", unsized);
    QTest::newRow("no content-length: body ends with the connection")
        << false << QByteArray("/unsized/client_v2.zip") << large << "client_v2.zip";

    LocalHttpRoute chunked = LocalHttpRoute::Ok(large);
    chunked.chunked = true;
    m_http.SetRoute("/chunked/client_v2.zip", chunked);
    QTest::newRow("chunked") << false << QByteArray("/chunked/client_v2.zip") << large << "client_v2.zip";

    m_http.SetRoute("/empty/client_v2.zip", LocalHttpRoute::Ok(QByteArray()));
    QTest::newRow("empty body: empty file, still a finish")
        << false << QByteArray("/empty/client_v2.zip") << QByteArray() << "client_v2.zip";

    m_http.SetRoute("/hop1/client_v2.zip", LocalHttpRoute::Redirect(301, "/hop2/client_v2.zip"));
    m_http.SetRoute("/hop2/client_v2.zip", LocalHttpRoute::Redirect(302, m_http.Url("/hop3/x.zip").toLatin1()));
    m_http.SetRoute("/hop3/x.zip", LocalHttpRoute::Redirect(307, "/hop4/x.zip"));
    m_http.SetRoute("/hop4/x.zip", LocalHttpRoute::Redirect(308, "/pkg/client_v2.zip"));
    QTest::newRow("redirect chain: no hop's body in the package, named after the first URL")
        << false << QByteArray("/hop1/client_v2.zip") << small << "client_v2.zip";

    m_http.SetRoute("/pkg/setup.exe", LocalHttpRoute::Ok(small));
    QTest::newRow("exe package") << false << QByteArray("/pkg/setup.exe") << small << "setup.exe";
    m_http.SetRoute("/pkg/SETUP.EXE", LocalHttpRoute::Ok(small));
    QTest::newRow("upper-case EXE is a zip package") << false << QByteArray("/pkg/SETUP.EXE") << small << "SETUP.zip";
    m_http.SetRoute("/a.exe/client_v2.zip", LocalHttpRoute::Ok(small));
    QTest::newRow(".exe anywhere in the URL") << false << QByteArray("/a.exe/client_v2.zip") << small
                                              << "client_v2.exe";

    m_https.SetRoute("/pkg/client_v2.zip", LocalHttpRoute::Ok(large));
    QTest::newRow("https, self-signed certificate")
        << true << QByteArray("/pkg/client_v2.zip") << large << "client_v2.zip";
    m_https.SetRoute("/hop/client_v2.zip", LocalHttpRoute::Redirect(302, "/pkg/client_v2.zip"));
    QTest::newRow("https redirect staying on https")
        << true << QByteArray("/hop/client_v2.zip") << large << "client_v2.zip";
}

void TestDownloadClient::downloads()
{
    QFETCH(bool, tls);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, body);
    QFETCH(QString, fileName);
    if (tls)
        RequireTls();

    // A longer package of the same name from an earlier run must not survive.
    QFile stale(PackagePath(fileName));
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write(Bytes(4 * 1024 * 1024, 9));
    stale.close();

    CDownloadClient client;
    client.SetHashPackage(true);
    Recorder recorder;
    recorder.Attach(&client);
    QString url = (tls ? m_https : m_http).Url(target);
    client.StartDownload(url);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.Ended(), kWaitMs);
    QTest::qWait(kSettleMs);

    QCOMPARE(recorder.errors, QStringList());
    QCOMPARE(recorder.finishes, 1);
    // The hash made while streaming is the body's, and only the body's: a
    // second download by the same client starts it over with the file.
    CPackageHasher expected;
    expected.AddData(body);
    QCOMPARE(client.PackageHasher().Result(), expected.Result());
    client.StartDownload(url);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.finishes, 2, kWaitMs);
    QCOMPARE(client.PackageHasher().BytesHashed(), qint64(body.size()));
    QCOMPARE(client.PackageHasher().Result(), expected.Result());
    QFile file(PackagePath(fileName));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY2(file.readAll() == body, "package differs from the served body");
    // Each progress value is one chunk (running totals would add up to more
    // than the body), and none is empty.
    QCOMPARE(recorder.Total(), 2 * qint64(body.size()));
    QVERIFY(!recorder.progress.contains(0));
    // The handshake the server saw: a TLS version, whatever OpenSSL allows here.
    const QList<QSsl::SslProtocol> tlsVersions = {QSsl::TlsV1_0, QSsl::TlsV1_1, QSsl::TlsV1_2, QSsl::TlsV1_3};
    if (tls)
        QVERIFY(tlsVersions.contains(m_https.LastTlsProtocol()));
}

void TestDownloadClient::failures_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("obstacle"); // what lies at the package path beforehand
    QTest::addColumn<QString>("text");     // part of the reported error
    QTest::addColumn<bool>("nothingWritten");

    const QByteArray small = Bytes(100, 3);
    const QByteArray large = Bytes(3 * 1024 * 1024, 4);

    m_http.SetRoute("/e404/client_v2.zip", LocalHttpRoute::Status(404, "<html>not here</html>"));
    QTest::newRow("404 with a body: the error page is no package")
        << false << m_http.Url("/e404/client_v2.zip") << "" << "Not Found" << true;
    m_http.SetRoute("/e500/client_v2.zip", LocalHttpRoute::Status(500, "<html>broken</html>"));
    QTest::newRow("500 with a body") << false << m_http.Url("/e500/client_v2.zip") << "" << "Internal Server Error"
                                     << true;
    QTest::newRow("connection refused") << false << RefusedUrl() << "" << "refused" << true;

    LocalHttpRoute dropped = LocalHttpRoute::Ok(large);
    // Off a multiple of the client's 1 MiB read buffer: Qt 5.15 never ends a
    // chunked reply cut exactly where that buffer fills.
    dropped.dropAfter = 1024 * 1024 + 100;
    m_http.SetRoute("/drop/client_v2.zip", dropped);
    QTest::newRow("dropped mid-body") << false << m_http.Url("/drop/client_v2.zip") << "" << "" << false;
    dropped.chunked = true;
    m_http.SetRoute("/dropchunked/client_v2.zip", dropped);
    QTest::newRow("dropped mid-body, chunked") << false << m_http.Url("/dropchunked/client_v2.zip") << "" << ""
                                               << false;

    m_http.SetRoute("/loop/client_v2.zip", LocalHttpRoute::Redirect(302, "/loop/client_v2.zip"));
    QTest::newRow("endless redirects stop at Qt's bound")
        << false << m_http.Url("/loop/client_v2.zip") << "" << "" << true;
    m_http.SetRoute("/nowhere/client_v2.zip", LocalHttpRoute::Redirect(302, QByteArray()));
    QTest::newRow("redirect without a target is no package")
        << false << m_http.Url("/nowhere/client_v2.zip") << "" << "" << true;
    m_http.SetRoute("/choices/client_v2.zip", LocalHttpRoute::Status(300, "pick one"));
    QTest::newRow("3xx that Qt does not follow is no package")
        << false << m_http.Url("/choices/client_v2.zip") << "" << "300" << true;

    m_http.SetRoute("/plain/client_v2.zip", LocalHttpRoute::Ok(small));
    m_https.SetRoute("/down/client_v2.zip", LocalHttpRoute::Redirect(302, m_http.Url("/plain/client_v2.zip").toLatin1()));
    QTest::newRow("https to http redirect refused") << true << "" << "" << "" << true;

    QTest::newRow("no package name in the URL")
        << false << m_http.Url("/pkg/") << "" << "Invalid package address" << true;

    m_http.SetRoute("/ok/client_v2.zip", LocalHttpRoute::Ok(small));
    QTest::newRow("a folder at the package path") << false << m_http.Url("/ok/client_v2.zip") << "folder" << ""
                                                  << true;
    QTest::newRow("disk full, small package: caught when the file is closed")
        << false << m_http.Url("/ok/client_v2.zip") << "full" << "No space left" << false;
    m_http.SetRoute("/big/client_v2.zip", LocalHttpRoute::Ok(large));
    QTest::newRow("disk full, large package: caught on write")
        << false << m_http.Url("/big/client_v2.zip") << "full" << "No space left" << false;
}

void TestDownloadClient::failures()
{
    QFETCH(bool, tls);
    QFETCH(QString, url);
    QFETCH(QString, obstacle);
    QFETCH(QString, text);
    QFETCH(bool, nothingWritten);
    if (tls) {
        RequireTls();
        url = m_https.Url("/down/client_v2.zip");
    }
    const QString packagePath = PackagePath("client_v2.zip");
    if (obstacle == "folder")
        QVERIFY(QDir().mkdir(packagePath));
    if (obstacle == "full") {
        if (!QFileInfo::exists("/dev/full"))
            QSKIP("no /dev/full here");
        QVERIFY(QFile::link("/dev/full", packagePath));
    }

    CDownloadClient client;
    Recorder recorder;
    recorder.Attach(&client);
    client.StartDownload(url);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.Ended(), kWaitMs);
    QTest::qWait(kSettleMs);

    QCOMPARE(recorder.finishes, 0);
    QCOMPARE(recorder.errors.size(), 1);
    QVERIFY(!recorder.errors.first().isEmpty());
    QVERIFY2(recorder.errors.first() != "Operation canceled", "our own stop leaked out as a failure");
    QVERIFY2(recorder.errors.first().contains(text), qPrintable(recorder.errors.first()));
    if (nothingWritten)
        QCOMPARE(recorder.Total(), qint64(0));
    if (nothingWritten && QFileInfo(packagePath).isFile())
        QCOMPARE(QFileInfo(packagePath).size(), qint64(0));
}

void TestDownloadClient::stopMidTransfer_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("StopDownload") << "stop";
    QTest::newRow("StopDownload, then delete, as the window closes") << "stop+delete";
    QTest::newRow("delete while running") << "delete";
}

void TestDownloadClient::stopMidTransfer()
{
    QFETCH(QString, how);
    LocalHttpRoute slow = LocalHttpRoute::Ok(Bytes(256 * 1024, 5));
    slow.bytesPerSecond = 64 * 1024;
    m_http.SetRoute("/slow/client_v2.zip", slow);

    Recorder recorder;
    auto* client = new CDownloadClient;
    recorder.Attach(client);
    QString url = m_http.Url("/slow/client_v2.zip");
    client->StartDownload(url);
    QTRY_VERIFY_WITH_TIMEOUT(!recorder.progress.isEmpty(), kWaitMs);

    if (how.startsWith("stop"))
        client->StopDownload();
    if (how.endsWith("delete")) {
        delete client;
        client = nullptr;
    }
    QTest::qWait(kSettleMs);

    QCOMPARE(recorder.errors, QStringList());
    QCOMPARE(recorder.finishes, 0);
    // The transfer really ended: the server's side of it is gone.
    QTRY_COMPARE_WITH_TIMEOUT(m_http.OpenConnections(), 0, kWaitMs);
    // What arrived before the stop is on disk, closed.
    QCOMPARE(QFileInfo(PackagePath("client_v2.zip")).size(), recorder.Total());
    QVERIFY(recorder.Total() < 256 * 1024);
    delete client;
}

void TestDownloadClient::secondStartSendsNoRequest()
{
    const QByteArray body = Bytes(32 * 1024, 6);
    LocalHttpRoute slow = LocalHttpRoute::Ok(body);
    slow.bytesPerSecond = 128 * 1024;
    m_http.SetRoute("/twice/client_v2.zip", slow);
    const int before = m_http.RequestCount("/twice/client_v2.zip");

    CDownloadClient client;
    Recorder recorder;
    recorder.Attach(&client);
    QString url = m_http.Url("/twice/client_v2.zip");
    client.StartDownload(url);
    QTRY_VERIFY_WITH_TIMEOUT(!recorder.progress.isEmpty(), kWaitMs);
    client.StartDownload(url);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.Ended(), kWaitMs);
    QTest::qWait(kSettleMs);

    QCOMPARE(m_http.RequestCount("/twice/client_v2.zip") - before, 1);
    QCOMPARE(recorder.finishes, 1);
    QFile file(PackagePath("client_v2.zip"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == body);
}

// After a failure the client is not used again: a new start sends nothing
// and reports nothing more.
void TestDownloadClient::spentClientStartsNothing()
{
    m_http.SetRoute("/gone/client_v2.zip", LocalHttpRoute::Status(404, "gone"));
    CDownloadClient client;
    Recorder recorder;
    recorder.Attach(&client);
    QString url = m_http.Url("/gone/client_v2.zip");
    client.StartDownload(url);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.Ended(), kWaitMs);
    const int requests = m_http.Requests().size();

    client.StartDownload(url);
    QTest::qWait(kSettleMs);
    QCOMPARE(m_http.Requests().size(), requests);
    QCOMPARE(recorder.errors.size(), 1);
    QCOMPARE(recorder.finishes, 0);
}

void TestDownloadClient::receiverEndsClientInsideError_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("folderAtPath");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<bool>("deleteLater");

    LocalHttpRoute dropped = LocalHttpRoute::Ok(Bytes(1024 * 1024, 7));
    dropped.dropAfter = 512 * 1024;
    m_http.SetRoute("/reenter-drop/client_v2.zip", dropped);
    m_http.SetRoute("/reenter-404/client_v2.zip", LocalHttpRoute::Status(404, "not here"));

    const QList<QPair<QString, QString>> failures = {
        {"404", m_http.Url("/reenter-404/client_v2.zip")},
        {"dropped", m_http.Url("/reenter-drop/client_v2.zip")},
        {"refused", RefusedUrl()},
        {"no package name", m_http.Url("/pkg/")},
        {"unwritable package", m_http.Url("/reenter-404/client_v2.zip")},
    };
    for (const auto& failure : failures) {
        const QByteArray name = failure.first.toLatin1();
        const bool folder = failure.first == "unwritable package";
        QTest::newRow(name + ": stop") << failure.second << folder << true << false;
        QTest::newRow(name + ": deleteLater") << failure.second << folder << false << true;
        QTest::newRow(name + ": stop and deleteLater, as the window does") << failure.second << folder << true
                                                                           << true;
    }
}

void TestDownloadClient::receiverEndsClientInsideError()
{
    QFETCH(QString, url);
    QFETCH(bool, folderAtPath);
    QFETCH(bool, stop);
    QFETCH(bool, deleteLater);
    if (folderAtPath)
        QVERIFY(QDir().mkdir(PackagePath("client_v2.zip")));

    QPointer<CDownloadClient> client = new CDownloadClient;
    int errors = 0;
    int finishes = 0;
    QObject::connect(client, &CDownloadClient::SignalFinishDownload, [&finishes] { ++finishes; });
    QObject::connect(client, &CDownloadClient::SgnDownloadError, [&, stop, deleteLater](QString&) {
        ++errors;
        if (stop)
            client->StopDownload();
        if (deleteLater)
            client->deleteLater();
    });
    client->StartDownload(url);
    QTRY_VERIFY_WITH_TIMEOUT(errors > 0, kWaitMs);
    QTest::qWait(kSettleMs);

    QCOMPARE(errors, 1);
    QCOMPARE(finishes, 0);
    QCOMPARE(client.isNull(), deleteLater);
    delete client;
}

void TestDownloadClient::tlsSettings_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("tls");

    QTest::newRow("https") << "https://example.invalid/pkg/client_v2.zip" << true;
    QTest::newRow("HTTPS in capitals") << "HTTPS://example.invalid/pkg/client_v2.zip" << true;
    QTest::newRow("mixed case") << "hTtPs://example.invalid/pkg/client_v2.zip" << true;
    QTest::newRow("http untouched") << "http://example.invalid/pkg/client_v2.zip" << false;
    QTest::newRow("https only in the query: untouched") << "http://example.invalid/get?u=https://x/a.zip" << false;
}

// The request carries no certificate check for https (any case) and leaves
// every other URL with Qt's defaults; redirects never step down to http.
void TestDownloadClient::tlsSettings()
{
    QFETCH(QString, url);
    QFETCH(bool, tls);

    const QNetworkRequest request = CDownloadClient::MakeRequest(url);
    const QSslConfiguration ssl = request.sslConfiguration();
    const QSslConfiguration defaults = QNetworkRequest().sslConfiguration();
    QCOMPARE(request.attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
             int(QNetworkRequest::NoLessSafeRedirectPolicy));
    if (!tls) {
        QVERIFY(ssl == defaults);
        return;
    }
    QCOMPARE(ssl.peerVerifyMode(), QSslSocket::VerifyNone);
    QCOMPARE(ssl.protocol(), QSsl::TlsV1SslV3);
}

void TestDownloadClient::clientSize_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("url");
    QTest::addColumn<qint64>("size");

    m_http.SetRoute("/size/client_v2.zip", LocalHttpRoute::Ok(Bytes(123457, 8)));
    QTest::newRow("content-length") << false << m_http.Url("/size/client_v2.zip") << qint64(123457);
    LocalHttpRoute unsized = LocalHttpRoute::Ok(Bytes(1000, 8));
    unsized.contentLength = false;
    m_http.SetRoute("/size-unknown/client_v2.zip", unsized);
    QTest::newRow("no content-length gives 0") << false << m_http.Url("/size-unknown/client_v2.zip") << qint64(0);
    QTest::newRow("refused gives 0") << false << RefusedUrl() << qint64(0);
    m_http.SetRoute("/size-hop/client_v2.zip", LocalHttpRoute::Redirect(302, "/size/client_v2.zip"));
    QTest::newRow("size of the package, not of the redirect")
        << false << m_http.Url("/size-hop/client_v2.zip") << qint64(123457);
    m_https.SetRoute("/size/client_v2.zip", LocalHttpRoute::Ok(Bytes(4321, 8)));
    QTest::newRow("https") << true << "/size/client_v2.zip" << qint64(4321);
}

void TestDownloadClient::clientSize()
{
    QFETCH(bool, tls);
    QFETCH(QString, url);
    QFETCH(qint64, size);
    if (tls) {
        RequireTls();
        url = m_https.Url(url.toLatin1());
    }

    CDownloadClient client;
    QSignalSpy spy(&client, &CDownloadClient::SignalClientSize);
    client.GetClientSize(url);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first().first().toLongLong(), size);
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
    QTest::newRow("published beside the package") << false << m_http.Url("/sig/client_v2.zip") << ok << signature;
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
    QTest::newRow("404") << false << m_http.Url("/nothing/client_v2.zip") << none << QByteArray();
    m_http.SetRoute("/e500/client_v2.zip.minisig", LocalHttpRoute::Status(500, signature));
    QTest::newRow("500 with a signature-like body") << false << m_http.Url("/e500/client_v2.zip") << none
                                                    << QByteArray();
    m_http.SetRoute("/moved/client_v2.zip.minisig", LocalHttpRoute::Redirect(302, "/sig/client_v2.zip.minisig"));
    QTest::newRow("redirect followed as for the package")
        << false << m_http.Url("/moved/client_v2.zip") << ok << signature;
    LocalHttpRoute stalled = LocalHttpRoute::Ok(signature);
    stalled.stallAfter = 10;
    m_http.SetRoute("/stall/client_v2.zip.minisig", stalled);
    QTest::newRow("stalled") << false << m_http.Url("/stall/client_v2.zip") << none << QByteArray();
    QTest::newRow("connection refused") << false << RefusedUrl() << none << QByteArray();
    m_https.SetRoute("/sig/client_v2.zip.minisig", LocalHttpRoute::Ok(signature));
    QTest::newRow("https, self-signed certificate") << true << "/sig/client_v2.zip" << ok << signature;
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

    CSignatureFetch fetch;
    fetch.SetStallTimeout(500);
    QSignalSpy finished(&fetch, &CSignatureFetch::SignalSignatureFetched);
    fetch.Start(packageUrl);
    QVERIFY(finished.wait(5000));
    QTest::qWait(kSettleMs);

    QCOMPARE(finished.count(), 1);
    QCOMPARE(int(fetch.Result()), result);
    QCOMPARE(fetch.SignatureText(), text);
}

QTEST_GUILESS_MAIN(TestDownloadClient)
#include "tst_client.moc"
