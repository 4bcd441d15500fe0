#include "DownloadRecorder.h"
#include "CDownloadClient.h"
#include "FaultSupport.h"
#include "LocalHttpServer.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QtTest>

#include <memory>

using namespace Update;
using Update::Test::Bytes;
using Update::Test::Recorder;
using Faults::Snapshot;

Q_DECLARE_METATYPE(LocalHttpRoute)

namespace {

const int kWaitMs = 15000;      // upper bound for any one transfer here
const int kStallMs = 300;       // the watchdog's time in these tests
const int kQuietMs = 3 * kStallMs; // long enough for a late, unwanted report
const QString kStallText = QStringLiteral("The server stopped sending data.");



} // namespace

// Downloads that meet a broken world: servers that vanish or go quiet, and a
// disk that fills up. Each must end in one report, never in a file passed off
// as complete, and must touch nothing beside the package file.
class TestDownloadFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void serverVanishes_data();
    void serverVanishes();
    void shortBody_data();
    void shortBody();
    void diskFills_data();
    void diskFills();
    void stall_data();
    void stall();
    void watchdogAfterEnd_data();
    void watchdogAfterEnd();

private:
    QString Inst() const { return m_pDir->path(); }
    QString Package() const { return Inst() + QStringLiteral("/client_v2.zip"); }
    QStringList AllButPackage() const;
    void CheckFailedOnce(const Recorder& recorder, const QStringList& before) const;

    LocalHttpServer m_http;
    LocalHttpServer m_silent; // held: accepts connections and never answers
    std::unique_ptr<TestSupport::InstallDir> m_pDir;
};

void TestDownloadFaults::initTestCase()
{
    QVERIFY(m_http.Start());
    m_silent.Hold();
    QVERIFY(m_silent.Start());
}

// An installation folder with a neighbour outside it, both watched.
void TestDownloadFaults::init()
{
    m_pDir = Faults::WatchedInstallation();
    QVERIFY(m_pDir);
}

void TestDownloadFaults::cleanup()
{
    m_pDir.reset();
}

QStringList TestDownloadFaults::AllButPackage() const
{
    return Faults::Outside(Snapshot(m_pDir->root()), {QStringLiteral("inst/client_v2.zip=")});
}

// One failure report, no finish, and on disk no more than what was reported.
void TestDownloadFaults::CheckFailedOnce(const Recorder& recorder, const QStringList& before) const
{
    QCOMPARE(recorder.finishes, 0);
    QCOMPARE(recorder.errors.size(), 1);
    QVERIFY(!recorder.errors.first().isEmpty());
    QVERIFY2(recorder.errors.first() != "Operation canceled", "our own stop leaked out as a failure");
    QCOMPARE(AllButPackage(), before);
}

void TestDownloadFaults::serverVanishes_data()
{
    QTest::addColumn<LocalHttpRoute>("route");
    QTest::addColumn<bool>("destroyServer");

    const QByteArray body = Bytes(2 * 1024 * 1024, 1);
    // A cut after part of an announced length, or right after the head: shortBody.
    LocalHttpRoute chunkedCut = LocalHttpRoute::Ok(body);
    chunkedCut.chunked = true;
    chunkedCut.dropAfter = 1024 * 1024 + 4096;
    QTest::newRow("connection dropped mid-body, chunked") << chunkedCut << false;
    LocalHttpRoute slow = LocalHttpRoute::Ok(Bytes(512 * 1024, 2));
    slow.bytesPerSecond = 128 * 1024;
    QTest::newRow("listening server destroyed mid-body") << slow << true;
}

void TestDownloadFaults::serverVanishes()
{
    QFETCH(LocalHttpRoute, route);
    QFETCH(bool, destroyServer);
    auto server = std::make_unique<LocalHttpServer>();
    QVERIFY(server->Start());
    server->SetRoute("/pkg/client_v2.zip", route);
    const QStringList before = AllButPackage();

    CDownloadClient client{TestSupport::InstallDir::Current()};
    client.SetStallTimeout(kWaitMs); // the server's end must be noticed on its own
    Recorder recorder;
    recorder.Attach(&client);
    QString url = server->Url("/pkg/client_v2.zip");
    client.StartDownload(url);
    if (destroyServer) {
        QTRY_VERIFY_WITH_TIMEOUT(!recorder.progress.isEmpty(), kWaitMs);
        server.reset();
    }
    QTRY_VERIFY_WITH_TIMEOUT(recorder.Ended(), kWaitMs);
    QTest::qWait(200);

    CheckFailedOnce(recorder, before);
    QVERIFY(recorder.errors.first() != kStallText);
    // What arrived is kept, closed, and was all reported.
    QCOMPARE(QFileInfo(Package()).size(), recorder.Total());
    QVERIFY(recorder.Total() < route.body.size());
}

// A server that closes after part of the body it announced: Qt calls about
// one such answer in three a success, so each case runs thirty times in a
// row. Never a finished package, retries or not.
void TestDownloadFaults::shortBody_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("sent");

    QTest::newRow("half of 256 KiB") << 256 * 1024 << 128 * 1024;
    QTest::newRow("all but one byte of 64 KiB") << 64 * 1024 << 64 * 1024 - 1;
    QTest::newRow("the head and no byte of the body") << 1000 << 0;
}

void TestDownloadFaults::shortBody()
{
    QFETCH(int, size);
    QFETCH(int, sent);
    m_http.SetRoute("/short/client_v2.zip", LocalHttpRoute::Ok(Bytes(size, 10)).DroppedAfter(sent));
    const QStringList before = AllButPackage();
    QString url = m_http.Url("/short/client_v2.zip");
    for (int run = 0; run < 30; ++run) {
        Recorder recorder;
        {
            // A plain event loop, not QTRY's polling: Qt's verdict depends on
            // the order in which it hears of the bytes and of the close.
            CDownloadClient client{TestSupport::InstallDir::Current()};
            recorder.Attach(&client);
            QEventLoop loop;
            QTimer::singleShot(kWaitMs, &loop, &QEventLoop::quit);
            connect(&client, &CDownloadClient::SignalFinishDownload, &loop, &QEventLoop::quit);
            connect(&client, &CDownloadClient::SgnDownloadError, &loop, &QEventLoop::quit);
            client.StartDownload(url);
            loop.exec();
            QVERIFY(recorder.Ended());
        }
        QVERIFY2(recorder.finishes == 0, qPrintable(QString("run %1 passed a short body off as the package").arg(run)));
        CheckFailedOnce(recorder, before);
        QCOMPARE(QFileInfo(Package()).size(), qint64(sent));
    }
}

void TestDownloadFaults::diskFills_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("limit");
    QTest::addColumn<bool>("fits");

    QTest::newRow("limit reached mid-transfer") << 2 * 1024 * 1024 << 512 * 1024 << false;
    QTest::newRow("limit reached by the last buffered bytes, at close") << 10 * 1000 << 6 * 1000 << false;
    QTest::newRow("limit reached by one byte") << 300 * 1024 << 300 * 1024 - 1 << false;
    QTest::newRow("package exactly as large as the limit: complete") << 300 * 1024 << 300 * 1024 << true;
}

void TestDownloadFaults::diskFills()
{
    QFETCH(int, size);
    QFETCH(int, limit);
    QFETCH(bool, fits);
    const QByteArray body = Bytes(size, 3);
    m_http.SetRoute("/full/client_v2.zip", LocalHttpRoute::Ok(body));
    const QStringList before = AllButPackage();

    Recorder recorder;
    {
        Faults::FileSizeLimit full{rlim_t(limit)};
        QVERIFY(full.IsSet());
        CDownloadClient client{TestSupport::InstallDir::Current()};
        recorder.Attach(&client);
        QString url = m_http.Url("/full/client_v2.zip");
        client.StartDownload(url);
        QTRY_VERIFY_WITH_TIMEOUT(recorder.Ended(), kWaitMs);
        QTest::qWait(200);
    }

    QFile package(Package());
    QVERIFY(package.open(QIODevice::ReadOnly));
    if (fits) {
        QCOMPARE(recorder.errors, QStringList());
        QCOMPARE(recorder.finishes, 1);
        QVERIFY(package.readAll() == body);
        return;
    }
    // Progress counts what the file took into its buffer; the end of the
    // transfer is what tells whether it reached the disk.
    CheckFailedOnce(recorder, before);
    QVERIFY(package.size() <= limit);
}

void TestDownloadFaults::stall_data()
{
    QTest::addColumn<LocalHttpRoute>("route");
    QTest::addColumn<bool>("silentServer");
    QTest::addColumn<QString>("ending"); // "finish", "stall" (the watchdog's text), "failure" (any text)

    const QByteArray body = Bytes(3 * 1024 * 1024, 4);
    LocalHttpRoute quiet = LocalHttpRoute::Ok(body);
    quiet.stallAfter = 0;
    QTest::newRow("headers, then silence") << quiet << false << "stall";
    quiet.stallAfter = 200 * 1024;
    QTest::newRow("part of the body, then silence") << quiet << false << "stall";
    QTest::newRow("connection accepted, no answer at all") << LocalHttpRoute() << true << "stall";
    // Qt 5.15 sometimes never ends a chunked reply whose connection drops
    // exactly where the client's 1 MiB read buffer fills, and sometimes
    // reports the closed connection: either way one report ends it.
    LocalHttpRoute chunkedCut = LocalHttpRoute::Ok(body);
    chunkedCut.chunked = true;
    chunkedCut.dropAfter = 1024 * 1024;
    QTest::newRow("chunked body dropped at exactly 1 MiB") << chunkedCut << false << "failure";

    LocalHttpRoute trickle = LocalHttpRoute::Ok(Bytes(48 * 1024, 5));
    trickle.bytesPerSecond = 24 * 1024; // a slice every 20 ms for 2 s
    QTest::newRow("slow but steady trickle: no time-out") << trickle << false << "finish";
}

void TestDownloadFaults::stall()
{
    QFETCH(LocalHttpRoute, route);
    QFETCH(bool, silentServer);
    QFETCH(QString, ending);
    m_http.SetRoute("/stall/client_v2.zip", route);
    const QStringList before = AllButPackage();

    auto client = std::make_unique<CDownloadClient>(TestSupport::InstallDir::Current());
    client->SetStallTimeout(kStallMs);
    Recorder recorder;
    recorder.Attach(client.get());
    QString url = silentServer
        ? m_silent.Url("/stall/client_v2.zip")
        : m_http.Url("/stall/client_v2.zip");
    client->StartDownload(url);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.Ended(), kWaitMs);
    QTest::qWait(kQuietMs);

    if (ending == "finish") {
        QCOMPARE(recorder.errors, QStringList());
        QCOMPARE(recorder.finishes, 1);
        QCOMPARE(QFileInfo(Package()).size(), qint64(route.body.size()));
        return;
    }
    CheckFailedOnce(recorder, before);
    if (ending == "stall")
        QCOMPARE(recorder.errors.first(), kStallText);
    QCOMPARE(QFileInfo(Package()).size(), recorder.Total());
    // A closed reply may keep its connection until the client goes, as it
    // does after every failure.
    client.reset();
    QTRY_COMPARE_WITH_TIMEOUT(m_http.OpenConnections(), 0, kWaitMs);
}

// Once a transfer has ended, however it ended and whatever the receiver of
// its report does to the client (the window stops it and schedules its
// deletion), the watchdog stays quiet.
void TestDownloadFaults::watchdogAfterEnd_data()
{
    QTest::addColumn<QString>("end");      // "finish", "stop" by the owner, "404", "stall"
    QTest::addColumn<QString>("receiver"); // what the receiver of a failure does to the client
    QTest::newRow("finished") << "finish" << "";
    QTest::newRow("stopped by the owner") << "stop" << "";
    QTest::newRow("failed with a server error") << "404" << "";
    QTest::newRow("stalled, the receiver stops the client") << "stall" << "stop";
    QTest::newRow("stalled, the receiver deletes the client later") << "stall" << "delete";
    QTest::newRow("stalled, the receiver stops and deletes later, as the window does") << "stall" << "stop+delete";
}

void TestDownloadFaults::watchdogAfterEnd()
{
    QFETCH(QString, end);
    QFETCH(QString, receiver);
    LocalHttpRoute quiet = LocalHttpRoute::Ok(Bytes(64 * 1024, 7));
    quiet.stallAfter = 1000;
    m_http.SetRoute("/end/stall/client_v2.zip", quiet);
    m_http.SetRoute("/end/finish/client_v2.zip", LocalHttpRoute::Ok(Bytes(64 * 1024, 8)));
    m_http.SetRoute("/end/404/client_v2.zip", LocalHttpRoute::Status(404, "gone"));
    const QByteArray path = end == "stop" ? "/end/stall/client_v2.zip" : "/end/" + end.toLatin1() + "/client_v2.zip";

    QPointer<CDownloadClient> client = new CDownloadClient(TestSupport::InstallDir::Current());
    client->SetStallTimeout(kStallMs);
    Recorder recorder;
    recorder.Attach(client);
    QObject::connect(client, &CDownloadClient::SgnDownloadError, [&](QString&) {
        if (receiver.startsWith("stop"))
            client->StopDownload();
        if (receiver.endsWith("delete"))
            client->deleteLater();
    });
    QString url = m_http.Url(path);
    client->StartDownload(url);
    if (end == "stop") {
        QTRY_VERIFY_WITH_TIMEOUT(!recorder.progress.isEmpty(), kWaitMs);
        client->StopDownload();
    }
    QTRY_VERIFY_WITH_TIMEOUT(recorder.Ended() || end == "stop", kWaitMs);
    QTest::qWait(kQuietMs);

    const bool deleted = client.isNull();
    delete client;
    QCOMPARE(recorder.errors.count(kStallText), end == "stall" ? 1 : 0);
    QCOMPARE(recorder.errors.size(), end == "stall" || end == "404" ? 1 : 0);
    QCOMPARE(recorder.finishes, end == "finish" ? 1 : 0);
    QCOMPARE(deleted, receiver.endsWith("delete"));
    QTRY_COMPARE_WITH_TIMEOUT(m_http.OpenConnections(), 0, kWaitMs);
}

QTEST_GUILESS_MAIN(TestDownloadFaults)
#include "tst_download.moc"
