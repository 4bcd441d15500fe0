// The update window's workflow: progress, the give-up question, failures,
// extraction, the check of signed packages and the hand-over to the
// installer. Notice boxes are answered by key presses; downloads go to
// servers on 127.0.0.1; a notifier stand-in shows whether the hand-over ends it.

#include "CCompressClient.h"
#include "CDownloadClient.h"
#include "CUpdate.h"
#include "CUpdateTestAccess.h"
#include "LocalHttpServer.h"
#include "DownloadRecorder.h"
#include "LocalHttpServer.h"
#include "Minisign.h"
#include "ProcessControl.h"
#include "StandinProcess.h"
#include "TitleBar.h"
#include "UpdateFailure.h"
#include "WindowTestSupport.h"
#include "ZipWriter.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QtTest>
#include <QtTest/qtestspontaneevent.h>

#include <limits>
#include <memory>

using Update::CUpdate;
using Update::CUpdateTestAccess;
using WindowTest::InstallDir;
using WindowTest::ModalAnswerer;
using WindowTest::SilentServer;

Q_DECLARE_METATYPE(QList<LocalHttpRoute>)

namespace {

QString ProgressText(CUpdate& window)
{
    return window.findChild<QLabel*>(QStringLiteral("m_pLabProgress"))->text();
}

int ProgressValue(CUpdate& window)
{
    return window.findChild<QProgressBar*>(QStringLiteral("m_pProgress"))->value();
}

QStackedWidget* Pages(CUpdate& window)
{
    return window.findChild<QStackedWidget*>(QStringLiteral("stackedWidget"));
}

// A shell script standing in for the installer; it leaves a marker when run.
// Written without any execute bit, as a download or an unpacked file may be.
bool WriteInstaller(const InstallDir& dir, const QString& relative, const QString& marker)
{
    const QByteArray script = "#!/bin/sh\necho started > '" + QFile::encodeName(marker) + "'\n";
    return dir.write(relative, script)
        && QFile::setPermissions(dir.filePath(relative), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
}

// Every status text the window shows, as it logs them.
QStringList g_progressLog;
QtMessageHandler g_previousHandler = nullptr;

void RecordProgress(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.startsWith(QLatin1String("progress[")))
        g_progressLog << message.mid(9, message.size() - 10);
    else if (g_previousHandler)
        g_previousHandler(type, context, message);
}

QByteArray PackageBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 7) & 0xff);
    return bytes;
}

void ShowAndWait(CUpdate& window)
{
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
}

QByteArray FileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every status text the window logs, in order, while a ProgressLog lives.
class ProgressLog
{
public:
    ProgressLog() { s_pLog = this; m_previous = qInstallMessageHandler(&ProgressLog::Handle); }
    ~ProgressLog() { qInstallMessageHandler(m_previous); s_pLog = nullptr; }
    QStringList texts;

private:
    static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (s_pLog && message.startsWith(QLatin1String("progress[")) && message.endsWith(QLatin1Char(']')))
            s_pLog->texts << message.mid(9, message.size() - 10);
        if (s_pLog && s_pLog->m_previous)
            s_pLog->m_previous(type, context, message);
    }
    static ProgressLog* s_pLog;
    QtMessageHandler m_previous = nullptr;
};
ProgressLog* ProgressLog::s_pLog = nullptr;

// What a row of signedPackage does after minisign signed the package with
// the installation's key.
enum ESigned {
    SignedGood,
    SignedNoKeyInstalled, // no UpdateKey.pub: nothing checked, nothing asked for
    SignedFlipByte,
    SignedTruncated,      // the server closes early, no Content-Length
    SignedOtherKey,
    SignedNotPublished,   // 404 for the .minisig
    SignedOtherFile,
    SignedEditedComment,
    SignedLegacy,
    SignedGarbage,
    SignedOversized,
    SignedMalformedKey,
};

} // namespace

class TestUpdateWorkflow : public QObject
{
    Q_OBJECT

private slots:
    void progressArithmetic_data();
    void progressArithmetic();
    void updateButtonStartsDownload();
    void giveUpBeforeDownloadStarts();
    void packageKind_data();
    void packageKind();
    void restartReusesClient();
    void finishDownloadIsQueued();
    void closeButtonAsks_data();
    void closeButtonAsks();
    void giveUpQuestionHoldsNextStep_data();
    void giveUpQuestionHoldsNextStep();
    void downloadFailureShownOnce();
    void retriedDownload_data();
    void retriedDownload();
    void compressFailureShownOnce();
    void finishCompress_data();
    void finishCompress();
    void closeDuringExtraction();
    void diskSpaceCheckedFirst_data();
    void diskSpaceCheckedFirst();
    void leaveWithoutUpdating();
    void signedPackage_data();
    void signedPackage();

private:
    Minisign m_minisign;
    QTemporaryDir m_keys; // key pairs A (the installation's) and B, made once
    bool m_bKeysMade = false;
};

void TestUpdateWorkflow::progressArithmetic_data()
{
    QTest::addColumn<qint64>("packageSize");
    QTest::addColumn<QList<qint64>>("chunks");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QList<int>>("values");

    QTest::newRow("chunks add up to 100%")
        << qint64(1000) << QList<qint64>{300, 300, 300, 100}
        << QStringList{"30%", "60%", "90%", "100%"} << QList<int>{30, 60, 90, 100};
    QTest::newRow("more than announced: 120%, bar keeps its last value")
        << qint64(1000) << QList<qint64>{300, 300, 300, 100, 200}
        << QStringList{"30%", "60%", "90%", "100%", "120%"} << QList<int>{30, 60, 90, 100, 100};
    QTest::newRow("truncated, not rounded")
        << qint64(3) << QList<qint64>{1, 1} << QStringList{"33%", "66%"} << QList<int>{33, 66};
    QTest::newRow("sizes beyond 32 bits")
        << qint64(5000000000LL) << QList<qint64>{2500000000LL, 2500000000LL}
        << QStringList{"50%", "100%"} << QList<int>{50, 100};
    QTest::newRow("a failed write (-1) counts as written")
        << qint64(100) << QList<qint64>{50, -1} << QStringList{"50%", "49%"} << QList<int>{50, 49};
    QTest::newRow("far more than announced: the 64-bit number, not a wrapped int")
        << qint64(1) << QList<qint64>{22000000, 4294967296LL}
        << QStringList{"2200000000%", "431696729600%"} << QList<int>{24, 24};
    QTest::newRow("received * 100 beyond 64 bits: no overflow either")
        << qint64(1000) << QList<qint64>{std::numeric_limits<qint64>::max() / 50}
        << QStringList{QString::number(std::numeric_limits<qint64>::max() / 50 / 10) + "%"} << QList<int>{24};
    QTest::newRow("a failed first write: never below 0%")
        << qint64(100) << QList<qint64>{-1} << QStringList{"0%"} << QList<int>{0};
    QTest::newRow("no announced size: no division by zero, nothing shown")
        << qint64(0) << QList<qint64>{10} << QStringList{QString()} << QList<int>{24};
}

void TestUpdateWorkflow::progressArithmetic()
{
    QFETCH(qint64, packageSize);
    QFETCH(QList<qint64>, chunks);
    QFETCH(QStringList, texts);
    QFETCH(QList<int>, values);

    InstallDir dir;
    CUpdate window;
    window.OnGetClientSize(packageSize);
    for (int i = 0; i < chunks.size(); ++i) {
        QVERIFY(QMetaObject::invokeMethod(&window, "OnUpdateProgress", Q_ARG(qint64, chunks.at(i))));
        QCOMPARE(ProgressText(window), texts.at(i));
        QCOMPARE(ProgressValue(window), values.at(i));
    }
}

void TestUpdateWorkflow::updateButtonStartsDownload()
{
    InstallDir dir;
    SilentServer server;
    CUpdate window;
    window.SetUrl(server.url(QStringLiteral("Package_2.0.zip")));
    window.OnGetClientSize(1000);
    ShowAndWait(window);

    window.findChild<QPushButton*>(QStringLiteral("m_pBtnUpdate"))->click();
    QCOMPARE(Pages(window)->currentIndex(), 1);
    QCOMPARE(ProgressText(window), QStringLiteral("0%"));
    QCOMPARE(ProgressValue(window), 0);
    QVERIFY(window.findChild<QWidget*>(QStringLiteral("m_pVxTextBrowser"))->isHidden());
    QCOMPARE(window.property("backgourndImg").toString(), QStringLiteral("1"));
    QVERIFY(CUpdateTestAccess::BackgroundTimer(window)->isActive());
    // The download itself starts a moment later, from the event loop.
    QVERIFY(!CUpdateTestAccess::DownloadClient(window));
    QTRY_VERIFY_WITH_TIMEOUT(CUpdateTestAccess::DownloadClient(window), 3000);
    QCOMPARE(CUpdateTestAccess::PackageName(window), QStringLiteral("Package_2"));
    window.StopWorkersAndClose();
}

// The download is started 100 ms after the button: a window closed or
// destroyed in between must not start it.
void TestUpdateWorkflow::giveUpBeforeDownloadStarts()
{
    InstallDir dir;
    SilentServer server;
    {
        CUpdate window;
        window.SetUrl(server.url(QStringLiteral("pkg.zip")));
        ShowAndWait(window);
        window.findChild<QPushButton*>(QStringLiteral("m_pBtnUpdate"))->click();
        window.StopWorkersAndClose();
        QTest::qWait(300);
        QVERIFY(!CUpdateTestAccess::DownloadClient(window));
    }
    {
        auto window = std::make_unique<CUpdate>();
        window->SetUrl(server.url(QStringLiteral("pkg.zip")));
        window->findChild<QPushButton*>(QStringLiteral("m_pBtnUpdate"))->click();
        window.reset();
        QTest::qWait(300);
    }
    QCOMPARE(server.connections(), 0);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("pkg.zip"))));
}

void TestUpdateWorkflow::packageKind_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("exePackage");
    QTest::addColumn<QString>("packageName");

    QTest::newRow("zip package") << "Package_2.0.zip" << false << "Package_2";
    QTest::newRow("executable with a query") << "Setup.exe?x=1" << true << "Setup";
    QTest::newRow("upper-case .EXE counts as zip") << "SETUP.EXE" << false << "SETUP";
    QTest::newRow(".exe in the query does not count") << "pkg.zip?name=a.exe" << false << "pkg";
}

void TestUpdateWorkflow::packageKind()
{
    QFETCH(QString, path);
    QFETCH(bool, exePackage);
    QFETCH(QString, packageName);

    InstallDir dir;
    SilentServer server;
    CUpdate window;
    QString url = server.url(path);
    emit window.sgnStartDownload(url);
    QCOMPARE(CUpdateTestAccess::IsExePackage(window), exePackage);
    QCOMPARE(CUpdateTestAccess::PackageName(window), packageName);
    QVERIFY(CUpdateTestAccess::DownloadClient(window));
    window.StopWorkersAndClose();
}

void TestUpdateWorkflow::restartReusesClient()
{
    InstallDir dir;
    SilentServer server;
    CUpdate window;
    window.OnGetClientSize(1000);
    QString url = server.url(QStringLiteral("pkg.zip"));
    emit window.sgnStartDownload(url);
    Update::CDownloadClient* client = CUpdateTestAccess::DownloadClient(window);
    QVERIFY(client);
    emit client->SignalDownloadProgress(300);
    QCOMPARE(ProgressText(window), QStringLiteral("30%"));

    emit window.sgnStartDownload(url);
    QCOMPARE(CUpdateTestAccess::DownloadClient(window), client);
    // Counting starts again, and one chunk counts once: no second connection.
    emit client->SignalDownloadProgress(100);
    QCOMPARE(ProgressText(window), QStringLiteral("10%"));
    window.StopWorkersAndClose();
}

void TestUpdateWorkflow::finishDownloadIsQueued()
{
    InstallDir dir;
    SilentServer server;
    CUpdate window;
    ShowAndWait(window);
    QString url = server.url(QStringLiteral("Setup.exe"));
    emit window.sgnStartDownload(url);
    Update::CDownloadClient* client = CUpdateTestAccess::DownloadClient(window);
    QVERIFY(client);

    ModalAnswerer answerer({Qt::Key_Escape});
    emit client->SignalFinishDownload();
    // Nothing ran inside the emission.
    QCOMPARE(answerer.boxes(), 0);
    QVERIFY2(answerer.waitForBoxes(1), "the installer question did not come");
    QVERIFY(!answerer.unanswered());
    QVERIFY(answerer.said(QStringLiteral("Be sure overlay install?")));
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 3000);
    QVERIFY(!CUpdateTestAccess::DownloadClient(window));
}

void TestUpdateWorkflow::closeButtonAsks_data()
{
    QTest::addColumn<bool>("systemClose");
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("asks");
    QTest::addColumn<bool>("closes");

    QTest::newRow("start page, refused: keeps running") << false << 0 << int(Qt::Key_Escape) << true << false;
    QTest::newRow("progress page, refused: keeps running") << false << 1 << int(Qt::Key_Escape) << true << false;
    QTest::newRow("start page, confirmed: gives up") << false << 0 << int(Qt::Key_Return) << true << true;
    QTest::newRow("progress page, confirmed: gives up") << false << 1 << int(Qt::Key_Return) << true << true;
    QTest::newRow("finished page closes without asking") << false << 2 << int(Qt::Key_Escape) << false << true;
    QTest::newRow("window system's close, start page, refused: keeps running")
        << true << 0 << int(Qt::Key_Escape) << true << false;
    QTest::newRow("window system's close, progress page, refused: keeps running")
        << true << 1 << int(Qt::Key_Escape) << true << false;
    QTest::newRow("window system's close, progress page, confirmed: gives up")
        << true << 1 << int(Qt::Key_Return) << true << true;
    QTest::newRow("window system's close, finished page: closes without asking")
        << true << 2 << int(Qt::Key_Escape) << false << true;
}

void TestUpdateWorkflow::closeButtonAsks()
{
    QFETCH(bool, systemClose);
    QFETCH(int, page);
    QFETCH(int, key);
    QFETCH(bool, asks);
    QFETCH(bool, closes);

    InstallDir dir;
    CUpdate window;
    ShowAndWait(window);
    Pages(window)->setCurrentIndex(page);

    ModalAnswerer answerer({key});
    if (systemClose) {
        // As the window system delivers it: spontaneous, straight to the
        // window; the question is asked from the event loop afterwards.
        QCloseEvent close;
        QSpontaneKeyEvent::setSpontaneous(&close);
        QApplication::instance()->notify(&window, &close);
        if (asks)
            QVERIFY2(answerer.waitForBoxes(1, 3000), "the give-up question came");
        QTest::qWait(100);
    } else {
        CUpdateTestAccess::TitleBarOf(window)->findChild<QPushButton*>(QStringLiteral("closeButton"))->click();
    }
    // The question is modal: it has been answered when it returns.
    QVERIFY2(!answerer.unanswered(), "the notice box did not close on its key");
    QCOMPARE(answerer.boxes(), asks ? 1 : 0);
    if (asks) {
        QCOMPARE(answerer.titles().value(0), QStringLiteral("Notice"));
        QVERIFY(answerer.said(QStringLiteral("Be sure give up to update?")));
    }
    QTRY_COMPARE_WITH_TIMEOUT(window.isVisible(), !closes, 3000);
    QCOMPARE(Pages(window)->currentIndex(), page);
}

// The workflow's next box waits while the give-up question is open: it
// follows a refusal and is dropped by a give-up, never shown on top.
void TestUpdateWorkflow::giveUpQuestionHoldsNextStep_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<bool>("giveUp");
    QTest::addColumn<QStringList>("notices");

    const QString giveUp = QStringLiteral("Be sure give up to update?");
    QTest::newRow("install question, going on: it follows")
        << "install" << false << QStringList{giveUp, "Be sure overlay install?"};
    QTest::newRow("install question, giving up: dropped") << "install" << true << QStringList{giveUp};
    QTest::newRow("download failure, going on: its notice follows")
        << "download failure" << false << QStringList{giveUp, "Update failed, error Type:Connection refused"};
    QTest::newRow("download failure, giving up: dropped") << "download failure" << true << QStringList{giveUp};
    QTest::newRow("extraction failure, going on: its notice follows")
        << "extraction failure" << false << QStringList{giveUp, "Update failed! "};
    QTest::newRow("extraction failure, giving up: dropped") << "extraction failure" << true << QStringList{giveUp};
}

void TestUpdateWorkflow::giveUpQuestionHoldsNextStep()
{
    QFETCH(QString, step);
    QFETCH(bool, giveUp);
    QFETCH(QStringList, notices);

    InstallDir dir;
    const QString marker = dir.filePath(QStringLiteral("installer-started"));
    QVERIFY(dir.write(QStringLiteral("pkg.zip"), "archive"));
    QVERIFY(WriteInstaller(dir, QStringLiteral("pkg/setup.exe"), marker));
    SilentServer server;
    CUpdate window;
    ShowAndWait(window);
    Pages(window)->setCurrentIndex(1);
    QString url = server.url(QStringLiteral("pkg.zip"));
    emit window.sgnStartDownload(url);
    QPointer<Update::CDownloadClient> client = CUpdateTestAccess::DownloadClient(window);
    QVERIFY(client);

    // The give-up question: Enter gives up, Escape goes on; Enter on the
    // install question would start the installer.
    ModalAnswerer answerer({giveUp ? Qt::Key_Return : Qt::Key_Escape, Qt::Key_Return});
    bool stepDone = false;
    answerer.setOnBox([&]() {
        if (stepDone)
            return;
        stepDone = true;
        if (step == QLatin1String("install")) {
            QMetaObject::invokeMethod(&window, "OnFinishCompress");
        } else if (step == QLatin1String("download failure")) {
            QString error = QStringLiteral("Connection refused");
            if (client)
                emit client->SgnDownloadError(error);
        } else {
            QMetaObject::invokeMethod(&window, "OnCompressFailed");
        }
    });
    CUpdateTestAccess::TitleBarOf(window)->findChild<QPushButton*>(QStringLiteral("closeButton"))->click();
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 5000);
    QTest::qWait(200);

    QVERIFY(stepDone);
    QVERIFY(!answerer.unanswered());
    QCOMPARE(answerer.mostOpen(), 1);
    QCOMPARE(answerer.boxes(), notices.size());
    for (int i = 0; i < notices.size(); ++i)
        QVERIFY2(answerer.texts().value(i).contains(notices.at(i)), qPrintable(notices.at(i)));
    QCOMPARE(window.ExitCode(), 0);
    // Going on to the install question and confirming it starts the installer.
    if (step == QLatin1String("install") && !giveUp)
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
    else
        QVERIFY(!QFile::exists(marker));
}

// The client reports a failure from inside its own signal and may report it
// twice, once more while the first notice is still open.
void TestUpdateWorkflow::downloadFailureShownOnce()
{
    InstallDir dir;
    SilentServer server;
    CUpdate window;
    ShowAndWait(window);
    QString url = server.url(QStringLiteral("pkg.zip"));
    emit window.sgnStartDownload(url);
    QPointer<Update::CDownloadClient> client = CUpdateTestAccess::DownloadClient(window);
    QVERIFY(client);

    ModalAnswerer answerer({Qt::Key_Escape});
    bool reportedAgain = false;
    answerer.setOnBox([client, &reportedAgain]() {
        QString again = QStringLiteral("again");
        if (client && !reportedAgain) {
            reportedAgain = true;
            emit client->SgnDownloadError(again);
        }
    });
    QString error = QStringLiteral("Connection refused");
    emit client->SgnDownloadError(error);
    QVERIFY2(answerer.boxes() == 1, "the failure was not shown while it was reported");
    QVERIFY(!answerer.unanswered());
    // The client is still alive here: it was not destroyed under its own emission.
    QVERIFY(client);
    emit client->SgnDownloadError(error);

    QTest::qWait(200);
    QCOMPARE(answerer.boxes(), 1);
    QCOMPARE(answerer.titles().value(0), QStringLiteral("Notice"));
    QVERIFY(answerer.said(QStringLiteral("Update failed, error Type:Connection refused")));
    QVERIFY(!window.isVisible());
    QVERIFY(!CUpdateTestAccess::DownloadClient(window));
    QTRY_VERIFY_WITH_TIMEOUT(client.isNull(), 3000);
}

void TestUpdateWorkflow::retriedDownload_data()
{
    QTest::addColumn<QByteArray>("setting");            // "Update/Retries"; "-": no Localcfg.ini
    QTest::addColumn<QList<LocalHttpRoute>>("answers");
    QTest::addColumn<QString>("notice");                // the one box that ends it
    QTest::addColumn<int>("requests");
    QTest::addColumn<QStringList>("shown");             // status texts that must appear, in this order

    using R = LocalHttpRoute;
    const QByteArray body = PackageBytes(400 * 1024);
    R cut = R::Ok(body);
    cut.dropAfter = body.size() / 2;
    cut.bytesPerSecond = 4 * 1024 * 1024;
    QTest::newRow("off: a 503 is one failure box, one request")
        << QByteArray("-") << QList<R>{R::Unavailable("0"), R::Ok(body)}
        << QString("Update failed, error Type:") << 1 << QStringList{"0%"};
    QTest::newRow("3: waits out a 503, then installs")
        << QByteArray("3") << QList<R>{R::Unavailable("1"), R::Ok(body)} << QString("Be sure overlay install?") << 2
        << QStringList{"0%", "Reconnecting (1/3)...", "100%"};
    QTest::newRow("3: no ranges, cut halfway: the percentage starts over and ends at 100%")
        << QByteArray("3") << QList<R>{cut, R::Ok(body)} << QString("Be sure overlay install?") << 2
        << QStringList{"50%", "Reconnecting (1/3)...", "0%", "100%"};
    QTest::newRow("2: the attempts run out: one failure box")
        << QByteArray("2") << QList<R>{R::Unavailable("0")} << QString("Update failed, error Type:") << 3
        << QStringList{"Reconnecting (1/2)...", "Reconnecting (2/2)..."};
}

// The real window and client against a real server: what the status label
// says while a download is retried, and the one box at its end.
void TestUpdateWorkflow::retriedDownload()
{
    QFETCH(QByteArray, setting);
    QFETCH(QList<LocalHttpRoute>, answers);
    QFETCH(QString, notice);
    QFETCH(int, requests);
    QFETCH(QStringList, shown);

    InstallDir dir;
    if (setting != "-")
        QVERIFY(dir.write(QStringLiteral("Localcfg.ini"), "[Update]\nRetries=" + setting + '\n'));
    LocalHttpServer server;
    server.SetRouteSequence("/pkg/setup.exe", answers);
    QVERIFY(server.Start());

    g_progressLog.clear();
    g_previousHandler = qInstallMessageHandler(RecordProgress);
    CUpdate window;
    window.SetUrl(server.Url("/pkg/setup.exe"));
    window.OnGetClientSize(answers.last().body.size());
    ShowAndWait(window);
    ModalAnswerer answerer({Qt::Key_Escape});
    window.findChild<QPushButton*>(QStringLiteral("m_pBtnUpdate"))->click();
    const bool boxed = answerer.waitForBoxes(1, 20000);
    QTest::qWait(300);
    qInstallMessageHandler(g_previousHandler);

    QVERIFY2(boxed, "no box ended the download");
    QCOMPARE(answerer.boxes(), 1);
    QVERIFY2(answerer.said(notice), qPrintable(answerer.texts().join('|')));
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 3000);
    QCOMPARE(server.Requests().size(), requests);
    int from = 0;
    for (const QString& text : shown) {
        const int at = g_progressLog.indexOf(text, from);
        QVERIFY2(at >= 0, qPrintable(text + " not shown in order: " + g_progressLog.join('|')));
        from = at + 1;
    }
    for (const QString& text : g_progressLog) {
        if (text.endsWith('%'))
            QVERIFY2(text.chopped(1).toInt() <= 100, qPrintable(g_progressLog.join('|')));
    }
}

void TestUpdateWorkflow::compressFailureShownOnce()
{
    InstallDir dir;
    QVERIFY(dir.write(QStringLiteral("pkg.zip"), "not really a zip"));
    CUpdate window;
    ShowAndWait(window);
    CUpdateTestAccess::SetDownloaded(window, QStringLiteral("pkg"), false);

    ModalAnswerer answerer({Qt::Key_Escape});
    QVERIFY(QMetaObject::invokeMethod(&window, "OnCompressFailed"));
    QVERIFY2(answerer.boxes() == 1, "the failure was not shown while it was reported");
    QVERIFY(QMetaObject::invokeMethod(&window, "OnCompressFailed"));
    QCOMPARE(answerer.boxes(), 1);
    QVERIFY(answerer.said(QStringLiteral("Update failed! ")));
    QVERIFY(!window.isVisible());
    // The archive stays after a failed extraction.
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("pkg.zip"))));
    QCOMPARE(window.ExitCode(), 0);
}

void TestUpdateWorkflow::finishCompress_data()
{
    QTest::addColumn<bool>("exePackage");
    QTest::addColumn<QString>("installer");
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<QStringList>("notices");
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("archiveKept");
    QTest::addColumn<int>("exitCode");

    const QList<int> refuse = {Qt::Key_Escape};
    const QList<int> confirm = {Qt::Key_Return, Qt::Key_Escape};
    QTest::newRow("zip, refused: archive deleted, nothing started")
        << false << "pkg/setup.exe" << refuse << QStringList{"Be sure overlay install?"} << false << false << 0;
    QTest::newRow("zip, confirmed: unpacked installer started without its execute bit")
        << false << "pkg/setup.exe" << confirm << QStringList{"Be sure overlay install?"} << true << false << 0;
    QTest::newRow("executable package, confirmed: the download itself started, nothing deleted")
        << true << "pkg.exe" << confirm << QStringList{"Be sure overlay install?"} << true << true << 0;
    QTest::newRow("executable package, refused: nothing started")
        << true << "pkg.exe" << refuse << QStringList{"Be sure overlay install?"} << false << true << 0;
    QTest::newRow("zip without an installer: one failure notice, exit status -1")
        << false << "pkg/readme.txt" << confirm << QStringList{"Be sure overlay install?", "Update failed! "}
        << false << false << -1;
    // An installer that cannot be started is a failure, not a success.
    QTest::newRow("zip whose installer is no program: one failure notice, exit status -1")
        << false << "pkg/setup.exe:garbage" << confirm << QStringList{"Be sure overlay install?", "Update failed! "}
        << false << false << -1;
    QTest::newRow("executable package whose interpreter is missing: one failure notice, exit status -1")
        << true << "pkg.exe:missing interpreter" << confirm
        << QStringList{"Be sure overlay install?", "Update failed! "} << false << true << -1;
}

void TestUpdateWorkflow::finishCompress()
{
    QFETCH(bool, exePackage);
    QFETCH(QString, installer);
    QFETCH(QList<int>, keys);
    QFETCH(QStringList, notices);
    QFETCH(bool, started);
    QFETCH(bool, archiveKept);
    QFETCH(int, exitCode);

    InstallDir dir;
    const QString marker = dir.filePath(QStringLiteral("installer-started"));
    const QString archive = dir.filePath(exePackage ? QStringLiteral("pkg.exe") : QStringLiteral("pkg.zip"));
    if (!exePackage)
        QVERIFY(dir.write(QStringLiteral("pkg.zip"), "archive"));
    // "path:garbage" and "path:missing interpreter" write what cannot be started.
    const QString path = installer.section(QLatin1Char(':'), 0, 0);
    const QString broken = installer.section(QLatin1Char(':'), 1);
    if (broken == QLatin1String("garbage"))
        QVERIFY(dir.write(path, QByteArray(4096, '\x7f')));
    else if (!broken.isEmpty())
        QVERIFY(dir.write(path, "#!/nonexistent/interpreter\necho started > '" + QFile::encodeName(marker) + "'\n"));
    else
        QVERIFY(WriteInstaller(dir, path, marker));

    // This installation's notifier runs until the hand-over ends it.
    const QString notifierPath = dir.filePath(QStringLiteral("ZoRezivirArerur.exe"));
    QVERIFY(QFile::copy(StandinTest::StandinPath(QStringLiteral("ZoRezivirArerur.exe")), notifierPath));
    StandinTest::CStandinGroup standins(dir.filePath(QStringLiteral("standin.log")));
    QProcess* notifier = standins.Start(notifierPath);
    QVERIFY(notifier);

    CUpdate window;
    ShowAndWait(window);
    Pages(window)->setCurrentIndex(1);
    CUpdateTestAccess::SetDownloaded(window, QStringLiteral("pkg"), exePackage);

    ModalAnswerer answerer(keys);
    QVERIFY(QMetaObject::invokeMethod(&window, exePackage ? "OnFinishDownload" : "OnFinishCompress"));
    QVERIFY2(!answerer.unanswered(), "a notice box did not close on its key");

    const bool handedOver = keys.first() == Qt::Key_Return;
    if (handedOver)
        QVERIFY2(StandinTest::CStandinGroup::EndedByKill(notifier), "the notifier was not ended");
    else
        QVERIFY2(StandinTest::CStandinGroup::StillRunning(notifier), "a refused install ended the notifier");
    QCOMPARE(answerer.boxes(), notices.size());
    for (const QString& notice : notices)
        QVERIFY2(answerer.said(notice), qPrintable(notice));
    QCOMPARE(ProgressText(window), exePackage ? QString() : QStringLiteral("Finish unCompressing"));
    QCOMPARE(QFile::exists(archive), archiveKept);
    QVERIFY(!window.isVisible());
    QCOMPARE(window.ExitCode(), exitCode);
    if (started) {
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
    } else {
        QTest::qWait(300);
        QVERIFY(!QFile::exists(marker));
    }
}

// Giving up during the extraction stops it at its next chunk: the window
// goes, the file being written is removed, and what the worker would have
// reported never raises a question on a closed window.
void TestUpdateWorkflow::closeDuringExtraction()
{
    InstallDir dir;
    const int entrySize = 4 * 1024 * 1024;
    QList<TestZip::Entry> entries;
    for (int i = 0; i < 40; ++i)
        entries.append(TestZip::File("data/file" + QByteArray::number(i) + ".bin", QByteArray(entrySize, char('a' + i % 26))));
    entries.append(TestZip::File("setup.exe", "#!/bin/sh\n"));
    QVERIFY(TestZip::WriteZip(dir.filePath(QStringLiteral("pkg.zip")), entries));

    CUpdate window;
    ShowAndWait(window);
    Pages(window)->setCurrentIndex(1);
    CUpdateTestAccess::SetDownloaded(window, QStringLiteral("pkg"), false);

    ModalAnswerer answerer({Qt::Key_Escape});
    QVERIFY(QMetaObject::invokeMethod(&window, "OnFinishDownload"));
    QCOMPARE(ProgressText(window), QStringLiteral("UnCompressing..."));
    QVERIFY(CUpdateTestAccess::CompressClient(window));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir.filePath(QStringLiteral("pkg/file0.bin"))), 5000);
    window.StopWorkersAndClose();
    QVERIFY(!CUpdateTestAccess::CompressClient(window));
    QVERIFY(!window.isVisible());
    // Stopped before the end, and nothing half written stays.
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("pkg/setup.exe"))));
    const QFileInfoList unpacked = QDir(dir.filePath(QStringLiteral("pkg"))).entryInfoList(QDir::Files);
    QVERIFY(unpacked.size() < 40);
    for (const QFileInfo& file : unpacked)
        QVERIFY2(file.size() == entrySize, qPrintable(file.fileName()));
    QTest::qWait(300);
    QCOMPARE(answerer.boxes(), 0);
}

static bool WriteZipDeclaring(const QString& path, int entries)
{
    QList<TestZip::Entry> files;
    for (int i = 0; i < entries; ++i) {
        TestZip::Entry entry = TestZip::File("f" + QByteArray::number(i), "x");
        entry.deflate = false;
        files.append(entry);
    }
    QByteArray bytes = TestZip::MakeZip(files);
    // The uncompressed size of each central directory record.
    const QByteArray central("PK\x01\x02", 4);
    for (int at = bytes.indexOf(central); at >= 0; at = bytes.indexOf(central, at + 4)) {
        for (int i = 0; i < 4; ++i)
            bytes[at + 24 + i] = char(i == 0 ? 0xfe : 0xff);
    }
    return TestZip::WriteFile(path, bytes);
}

void TestUpdateWorkflow::diskSpaceCheckedFirst_data()
{
    QTest::addColumn<bool>("beforeDownload");
    QTest::addColumn<qint64>("needed");

    const qint64 hugeArchive = 25000 * qint64(0xfffffffe);
    QTest::newRow("announced size beyond the volume: refused before the download")
        << true << qint64(1) * 1024 * 1024 * 1024 * 1024 * 1024;
    QTest::newRow("unpacked size beyond the volume: refused before unpacking") << false << hugeArchive;
    QTest::newRow("announced size that fits: the download starts") << true << qint64(1000);
    QTest::newRow("unpacked size that fits: the unpacking starts") << false << qint64(0);
}

void TestUpdateWorkflow::diskSpaceCheckedFirst()
{
    QFETCH(bool, beforeDownload);
    QFETCH(qint64, needed);
    const bool fits = needed < 1024 * 1024;

    InstallDir dir;
    SilentServer server;
    const QString archive = dir.filePath(QStringLiteral("pkg.zip"));
    if (!beforeDownload) {
        if (fits)
            QVERIFY(TestZip::WriteZip(archive, {TestZip::File("setup.exe", "#!/bin/sh\n")}));
        else
            QVERIFY(WriteZipDeclaring(archive, 25000));
    }
    CUpdate window;
    window.OnGetClientSize(beforeDownload ? needed : 1000);
    ShowAndWait(window);
    Pages(window)->setCurrentIndex(1);

    ModalAnswerer answerer({Qt::Key_Escape});
    if (beforeDownload) {
        QString url = server.url(QStringLiteral("pkg.zip"));
        emit window.sgnStartDownload(url);
    } else {
        CUpdateTestAccess::SetDownloaded(window, QStringLiteral("pkg"), false);
        QVERIFY(QMetaObject::invokeMethod(&window, "OnFinishDownload"));
    }
    QTest::qWait(300);
    if (fits) {
        QCOMPARE(answerer.boxes(), beforeDownload ? 0 : 1);
        QVERIFY(!answerer.said(QStringLiteral("Not enough disk space")));
        if (beforeDownload)
            QTRY_COMPARE_WITH_TIMEOUT(server.connections(), 1, 3000);
        window.StopWorkersAndClose();
        return;
    }
    QCOMPARE(answerer.boxes(), 1);
    const QLocale locale;
    QVERIFY2(answerer.said(QStringLiteral("Not enough disk space: %1 needed, ").arg(locale.formattedDataSize(needed))),
             qPrintable(answerer.texts().join(QLatin1Char('|'))));
    QVERIFY(!window.isVisible());
    QCOMPARE(server.connections(), 0);
    QVERIFY(!CUpdateTestAccess::CompressClient(window));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("pkg/f0"))));
    QCOMPARE(QFileInfo::exists(archive), !beforeDownload);
}

void TestUpdateWorkflow::leaveWithoutUpdating()
{
    InstallDir dir;
    CUpdate window;
    ShowAndWait(window);
    ModalAnswerer answerer({Qt::Key_Escape});
    window.findChild<QPushButton*>(QStringLiteral("m_pBtnSkin"))->click();
    QVERIFY(!window.isVisible());
    QCOMPARE(answerer.boxes(), 0);
}

void TestUpdateWorkflow::signedPackage_data()
{
    QTest::addColumn<bool>("exePackage");
    QTest::addColumn<int>("how");
    QTest::addColumn<int>("refusal"); // EFailure; None: the update installs

    const int ok = int(Update::EFailure::None);
    const int mismatch = int(Update::EFailure::SignatureMismatch);
    const int unreadable = int(Update::EFailure::SignatureUnreadable);
    QTest::newRow("good zip installs") << false << int(SignedGood) << ok;
    QTest::newRow("good executable installs") << true << int(SignedGood) << ok;
    QTest::newRow("no key installed: unchecked, no signature asked for") << false << int(SignedNoKeyInstalled) << ok;
    QTest::newRow("one flipped byte in the zip") << false << int(SignedFlipByte) << mismatch;
    QTest::newRow("one flipped byte in the executable") << true << int(SignedFlipByte) << mismatch;
    QTest::newRow("executable cut short, no Content-Length") << true << int(SignedTruncated) << mismatch;
    QTest::newRow("signed by another key") << false << int(SignedOtherKey) << int(Update::EFailure::OtherKey);
    QTest::newRow("no signature published (404)") << true << int(SignedNotPublished)
                                                  << int(Update::EFailure::NoSignature);
    QTest::newRow("signature of another file") << false << int(SignedOtherFile) << mismatch;
    QTest::newRow("trusted comment edited") << false << int(SignedEditedComment)
                                            << int(Update::EFailure::SignatureMismatch);
    QTest::newRow("legacy signature") << false << int(SignedLegacy) << int(Update::EFailure::LegacySignature);
    QTest::newRow("garbage for a signature") << true << int(SignedGarbage) << unreadable;
    QTest::newRow("oversized signature answer") << false << int(SignedOversized) << unreadable;
    QTest::newRow("malformed key file") << false << int(SignedMalformedKey)
                                        << int(Update::EFailure::KeyUnreadable);
}

// The whole way from the download to the installer question on the real
// window, with keys and signatures made by the real minisign. A refused
// package: one box with the reason, the package deleted, nothing unpacked or
// started, the notifier left alone, exit status -1.
void TestUpdateWorkflow::signedPackage()
{
    QFETCH(bool, exePackage);
    QFETCH(int, how);
    QFETCH(int, refusal);
    if (!m_minisign.Available())
        QSKIP("minisign is not installed");
    if (!m_bKeysMade) {
        QVERIFY(m_keys.isValid());
        QVERIFY(m_minisign.MakeKeyPair(m_keys.filePath("A")));
        QVERIFY(m_minisign.MakeKeyPair(m_keys.filePath("B")));
        m_bKeysMade = true;
    }
    const bool installs = refusal == int(Update::EFailure::None);

    // GIVEN an installation with its key and a running notifier
    InstallDir dir;
    QVERIFY(dir.isValid());
    if (how == SignedMalformedKey)
        QVERIFY(dir.write(QStringLiteral("UpdateKey.pub"), "untrusted comment: minisign public key\nnot a key\n"));
    else if (how != SignedNoKeyInstalled)
        QVERIFY(dir.write(QStringLiteral("UpdateKey.pub"), FileBytes(m_keys.filePath("A.pub"))));
    StandinTest::CStandinGroup standins(dir.filePath("standins.log"));
    QProcess* notifier = standins.Start(StandinTest::StandinPath(QString::fromLatin1(Update::kNotifierExeName)));
    QVERIFY(notifier);

    // and a package whose installer leaves installer-ran.txt beside itself,
    // signed by the real minisign
    const QByteArray installer = FileBytes(StandinTest::StandinPath("setup.exe"));
    QVERIFY(!installer.isEmpty());
    const QString fileName = exePackage ? "setup.exe" : "client_v2.zip";
    const QByteArray package = exePackage
        ? installer
        : TestZip::MakeZip({TestZip::Folder("bin/"), TestZip::File("bin/setup.exe", installer),
                            TestZip::File("notes.txt", "What is new.\n")});
    QTemporaryDir signing;
    const QString signedPath = signing.filePath(how == SignedOtherFile ? "readme.txt" : fileName);
    {
        QFile file(signedPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(how == SignedOtherFile ? QByteArray("another file\n") : package);
    }
    QStringList extra;
    if (how == SignedEditedComment)
        extra << "-t" << "version 2.1.0";
    if (how == SignedOversized) // valid, but the file grows past the bound
        extra << "-t" << QString(4000, QLatin1Char('v'));
    if (how == SignedLegacy)
        extra << "-l";
    const QString sigPath = signing.filePath("package.minisig");
    QVERIFY(m_minisign.Sign(m_keys.filePath(how == SignedOtherKey ? "B" : "A"), signedPath, sigPath, extra));
    QByteArray signature = FileBytes(sigPath);
    QVERIFY(!signature.isEmpty());

    // WHEN it is served as the row says
    LocalHttpRoute packageRoute = LocalHttpRoute::Ok(package);
    if (how == SignedFlipByte)
        packageRoute.body[package.size() / 2] = char(package[package.size() / 2] ^ 0x01);
    if (how == SignedTruncated) {
        packageRoute.contentLength = false;
        packageRoute.dropAfter = package.size() / 2;
    }
    if (how == SignedEditedComment)
        signature.replace("version 2.1.0", "version 2.2.0");
    if (how == SignedGarbage)
        signature = Update::Test::Bytes(300, 7);
    LocalHttpServer server;
    const QByteArray target = "/pkg/" + fileName.toLatin1();
    server.SetRoute(target, packageRoute);
    if (how != SignedNotPublished)
        server.SetRoute(target + ".minisig", LocalHttpRoute::Ok(signature));
    QVERIFY(server.Start());

    ProgressLog progress;
    CUpdate window;
    window.OnGetClientSize(package.size());
    ShowAndWait(window);
    // The install question is declined: confirming it would end the first
    // notifier found by name, which need not be ours on a shared machine.
    ModalAnswerer answerer({installs ? Qt::Key_Escape : Qt::Key_Return});
    QString url = server.Url(target);
    emit window.sgnStartDownload(url);
    QVERIFY2(answerer.waitForBoxes(1, 20000), "no box came");
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 10000);
    QTest::qWait(200);

    // THEN one box: the install question, or the failure with its reason
    const QString ranMarker = dir.filePath(exePackage ? "installer-ran.txt" : "client_v2/installer-ran.txt");
    QCOMPARE(answerer.boxes(), 1);
    QCOMPARE(server.RequestCount(target + ".minisig"), how == SignedNoKeyInstalled ? 0 : 1);
    QCOMPARE(progress.texts.contains("Verifying..."), how != SignedNoKeyInstalled);
    if (installs) {
        QVERIFY2(answerer.said("Be sure overlay install?"), qPrintable(answerer.texts().join('|')));
        QCOMPARE(window.ExitCode(), 0);
        // What the installer would be started from is there, as downloaded.
        if (exePackage) {
            QCOMPARE(FileBytes(dir.filePath(fileName)), package);
            QCOMPARE(progress.texts.value(progress.texts.size() - 1), QStringLiteral("100%"));
        } else {
            QCOMPARE(FileBytes(dir.filePath("client_v2/setup.exe")), installer);
            QVERIFY(progress.texts.indexOf("UnCompressing...") > progress.texts.indexOf("Verifying..."));
        }
        return;
    }
    const QString reason = Update::FailureReason(Update::CFailure(Update::EFailure(refusal)));
    QVERIFY2(answerer.texts().value(0).split('\n').contains("Update failed! " + reason),
             qPrintable(answerer.texts().join('|')));
    QVERIFY(!progress.texts.contains("UnCompressing..."));
    QVERIFY2(!QFile::exists(dir.filePath(fileName)), "the refused package was kept");
    QVERIFY2(!QFileInfo::exists(dir.filePath("client_v2")), "the refused package was unpacked");
    QVERIFY2(!QFile::exists(ranMarker), "the refused installer ran");
    QVERIFY2(StandinTest::CStandinGroup::StillRunning(notifier), "the notifier was ended");
    QCOMPARE(window.ExitCode(), -1);
}

QTEST_MAIN(TestUpdateWorkflow)
#include "tst_workflow.moc"
