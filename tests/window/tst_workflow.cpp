// The update window's workflow as a user and start-up meet it: the buttons,
// the status texts and boxes it shows, the files it leaves, the processes it
// ends and starts, and the exit status it ends the event loop with. Boxes are
// answered by key presses; packages come from servers on 127.0.0.1; stand-ins
// play the client, the notifier and the installer.

#include "CUpdate.h"
#include "FileBytes.h"
#include "LocalHttpServer.h"
#include "Minisign.h"
#include "ProgressPercent.h"
#include "StandinProcess.h"
#include "TitleBar.h"
#include "WindowTestSupport.h"
#include "ZipWriter.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QtTest>

#include <algorithm>
#include <limits>
#include <memory>

using Update::CUpdate;
using WindowTest::HeldServer;
using WindowTest::InstallDir;
using WindowTest::ModalAnswerer;
using WindowTest::RunUntilExit;
using WindowTest::WindowLog;
using StandinTest::CStandinGroup;
using StandinTest::StandinPath;

Q_DECLARE_METATYPE(QList<LocalHttpRoute>)

namespace {

const QString kInstallQuestion = QStringLiteral("Be sure overlay install?");
const QString kGiveUpQuestion = QStringLiteral("Be sure give up to update?");
const QString kDownloadFailed = QStringLiteral("Update failed, error Type:");
const QString kUpdateFailed = QStringLiteral("Update failed! ");

template <typename T = QWidget>
T* Child(CUpdate& window, const char* name)
{
    return window.findChild<T*>(QLatin1String(name));
}

QString ProgressText(CUpdate& window)
{
    return Child<QLabel>(window, "m_pLabProgress")->text();
}

void Click(CUpdate& window, const char* button)
{
    Child<QPushButton>(window, button)->click();
}

void ClickClose(CUpdate& window)
{
    window.findChild<TitleBar*>()->findChild<QPushButton*>(QStringLiteral("closeButton"))->click();
}

void ShowAndWait(CUpdate& window)
{
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
}

QByteArray PackageBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 7) & 0xff);
    return bytes;
}

// "12.4 MB" as tenths of a megabyte; -1 for any other text.
int MegabyteTenths(const QString& text)
{
    static const QRegularExpression megabytes(QStringLiteral("^(\\d+)\\.(\\d) MB$"));
    const QRegularExpressionMatch match = megabytes.match(text);
    return match.hasMatch() ? match.captured(1).toInt() * 10 + match.captured(2).toInt() : -1;
}

// The "announced" column's stand-in for the size of the last answer's body.
const qint64 kBodySize = std::numeric_limits<qint64>::min();

// A zip whose central directory declares entries of almost 4 GiB each.
QByteArray ZipDeclaring(int entries)
{
    QList<TestZip::Entry> files;
    for (int i = 0; i < entries; ++i) {
        TestZip::Entry entry = TestZip::File("f" + QByteArray::number(i), "x");
        entry.deflate = false;
        files.append(entry);
    }
    QByteArray bytes = TestZip::MakeZip(files);
    const QByteArray central("PK\x01\x02", 4);
    for (int at = bytes.indexOf(central); at >= 0; at = bytes.indexOf(central, at + 4)) {
        for (int i = 0; i < 4; ++i)
            bytes[at + 24 + i] = char(i == 0 ? 0xfe : 0xff);
    }
    return bytes;
}

// What a package holds.
enum EContent {
    WithInstaller,          // the stand-in installer, without its execute bit
    WithoutInstaller,       // a zip with no .exe in it
    InstallerNoProgram,     // an .exe of garbage
    InstallerNoInterpreter, // a script whose interpreter does not exist
    DamagedArchive,         // "zip" bytes that are no zip
};

// How a package is signed and served, against the installation's key A.
enum ESigned {
    Unsigned, // no UpdateKey.pub: nothing checked, nothing asked for
    SignedGood,
    SignedFlipByte,
    SignedTruncated, // the server closes early, no Content-Length
    SignedOtherKey,
    SignedNotPublished, // 404 for the .minisig
    SignedLegacy,
    SignedGarbage,
    SignedOversized,
    SignedMalformedKey, // refused when Update is pressed: nothing is downloaded
    SignedCodedAnswer,  // the .minisig comes gzip-coded
    SignedOlder,        // genuine, but signed before the update last installed
};

} // namespace

class TestUpdateWorkflow : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void progressPercent_data();
    void progressPercent();
    void download_data();
    void download();
    void updateButton_data();
    void updateButton();
    void secondStartCountsAfresh();
    void giveUpQuestionHoldsNextStep_data();
    void giveUpQuestionHoldsNextStep();
    void diskSpaceCheckedFirst_data();
    void diskSpaceCheckedFirst();
    void packageToInstaller_data();
    void packageToInstaller();

private:
    Minisign m_minisign;
    QTemporaryDir m_keys; // key pairs A (the installation's) and B, made once
    bool m_bKeysMade = false;
};

// A window ended outside RunUntilExit leaves the loop's exit flag set.
void TestUpdateWorkflow::cleanup()
{
    RunUntilExit(0);
    qunsetenv("STANDIN_LOG");
    qunsetenv("STANDIN_SECONDS");
}

void TestUpdateWorkflow::progressPercent_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("percent");

    const qint64 max = std::numeric_limits<qint64>::max();
    QTest::newRow("all of it") << qint64(1000) << qint64(1000) << qint64(100);
    QTest::newRow("more than announced: 120%, not clamped") << qint64(1200) << qint64(1000) << qint64(120);
    QTest::newRow("truncated, not rounded: 2 of 3") << qint64(2) << qint64(3) << qint64(66);
    QTest::newRow("sizes beyond 32 bits") << qint64(2500000000LL) << qint64(5000000000LL) << qint64(50);
    QTest::newRow("beyond 32 bits of percent") << qint64(4316967296LL) << qint64(1) << qint64(431696729600LL);
    QTest::newRow("received * 100 beyond 64 bits: no overflow") << max / 50 << qint64(1000) << max / 50 / 10;
    QTest::newRow("the whole range") << max << max << qint64(100);
    QTest::newRow("a failed first write: never below 0%") << qint64(-1) << qint64(100) << qint64(0);
    QTest::newRow("no announced size: no division by zero, nothing to show") << qint64(10) << qint64(0) << qint64(-1);
    QTest::newRow("a negative size: no percentage") << qint64(10) << qint64(-5) << qint64(-1);
}

void TestUpdateWorkflow::progressPercent()
{
    QFETCH(qint64, received);
    QFETCH(qint64, size);
    QFETCH(qint64, percent);
    QCOMPARE(Update::ProgressPercent(received, size), percent);
}

void TestUpdateWorkflow::download_data()
{
    QTest::addColumn<QByteArray>("setting");            // "Update/Retries"; "-": no Localcfg.ini
    QTest::addColumn<QList<LocalHttpRoute>>("answers");
    QTest::addColumn<qint64>("announced");              // kBodySize: the size of the last answer's body
    QTest::addColumn<QString>("notice");                // the one box that ends it
    QTest::addColumn<int>("requests");
    QTest::addColumn<QStringList>("shown");             // status texts that must appear, in this order
    QTest::addColumn<int>("steps");                     // at least this many percentages shown
    QTest::addColumn<QString>("last");                  // the last percentage shown

    using R = LocalHttpRoute;
    const QByteArray body = PackageBytes(400 * 1024);
    R trickled = R::Ok(body);
    trickled.bytesPerSecond = 800 * 1024;
    R larger = R::Ok(PackageBytes(120 * 1024));
    larger.bytesPerSecond = 240 * 1024;
    R cut = R::Ok(body);
    cut.dropAfter = body.size() / 2;
    cut.bytesPerSecond = 4 * 1024 * 1024;
    // 409,600 bytes: 0.4 MB of 1,000,000 bytes (0.3 MB would be 1,048,576).
    QTest::newRow("size -1, unknown: megabytes received, never a percentage, the bar left empty")
        << QByteArray("-") << QList<R>{trickled} << qint64(-1) << kInstallQuestion << 1
        << QStringList{"0.0 MB", "0.1 MB", "0.4 MB"} << 0 << QString();
    QTest::newRow("more than announced: 120%, the bar stays at what it can show")
        << QByteArray("-") << QList<R>{larger} << qint64(100 * 1024) << kInstallQuestion << 1
        << QStringList{"0%", "120%"} << 5 << "120%";
    QTest::newRow("no announced size: no percentage after the first")
        << QByteArray("-") << QList<R>{R::Ok(body)} << qint64(0) << kInstallQuestion << 1
        << QStringList{"0%"} << 1 << "0%";
    QTest::newRow("off: a 503 is one failure box, one request")
        << QByteArray("-") << QList<R>{R::Unavailable("0"), R::Ok(body)} << kBodySize << kDownloadFailed << 1
        << QStringList{"0%"} << 1 << "0%";
    QTest::newRow("off: the connection dropped halfway is one failure box")
        << QByteArray("-") << QList<R>{cut, R::Ok(body)} << kBodySize << kDownloadFailed << 1
        << QStringList{"0%", "50%"} << 2 << "50%";
    QTest::newRow("3: waits out a 503, then installs")
        << QByteArray("3") << QList<R>{R::Unavailable("1"), R::Ok(body)} << kBodySize << kInstallQuestion << 2
        << QStringList{"0%", "Reconnecting (1/3)...", "100%"} << 2 << "100%";
    QTest::newRow("3: no ranges, cut halfway: the percentage starts over and ends at 100%")
        << QByteArray("3") << QList<R>{cut, R::Ok(body)} << kBodySize << kInstallQuestion << 2
        << QStringList{"50%", "Reconnecting (1/3)...", "0%", "100%"} << 3 << "100%";
    R markup = R::Status(500, "<html>broken</html>");
    markup.reason = "<img src=\"http://evil.example/x.png\"><b>Call 555-0100</b>";
    QTest::newRow("a reason phrase with markup is shown as text")
        << QByteArray("-") << QList<R>{markup} << qint64(-1) << kDownloadFailed << 1
        << QStringList{"0.0 MB"} << 0 << QString();
    QTest::newRow("2: the attempts run out: one failure box")
        << QByteArray("2") << QList<R>{R::Unavailable("0")} << kBodySize << kDownloadFailed << 3
        << QStringList{"Reconnecting (1/2)...", "Reconnecting (2/2)..."} << 1 << "0%";
}

// The real window and client against a real server: the status texts while
// an executable package downloads (and is retried), what the bar shows, and
// the one box at the end.
void TestUpdateWorkflow::download()
{
    QFETCH(QByteArray, setting);
    QFETCH(QList<LocalHttpRoute>, answers);
    QFETCH(qint64, announced);
    QFETCH(QString, notice);
    QFETCH(int, requests);
    QFETCH(QStringList, shown);
    QFETCH(int, steps);
    QFETCH(QString, last);

    InstallDir dir;
    if (setting != "-")
        QVERIFY(dir.write(QStringLiteral("Localcfg.ini"), "[Update]\nRetries=" + setting + '\n'));
    LocalHttpServer server;
    server.SetRouteSequence("/pkg/setup.exe", answers);
    QVERIFY(server.Start());

    WindowLog log;
    CUpdate window(dir.installation());
    window.SetUrl(server.Url("/pkg/setup.exe"));
    window.OnGetClientSize(announced == kBodySize ? answers.last().body.size() : announced);
    ShowAndWait(window);
    QList<int> bar;
    connect(Child<QProgressBar>(window, "m_pProgress"), &QProgressBar::valueChanged, this,
            [&bar](int value) { bar << value; });
    ModalAnswerer answerer({Qt::Key_Escape});
    QList<Qt::TextFormat> formats;
    answerer.setOnBox([&formats]() {
        if (auto* label = QApplication::activeModalWidget()->findChild<QLabel*>("VxMessageBoxText"))
            formats << label->textFormat();
    });
    QCOMPARE(RunUntilExit(30000, [&]() { Click(window, "m_pBtnUpdate"); }), 0);

    const QString seen = log.progress.join('|');
    // What a server said is never taken for markup.
    if (notice == kDownloadFailed)
        QCOMPARE(formats, QList<Qt::TextFormat>{Qt::PlainText});
    QCOMPARE(log.notices.size(), 1);
    QVERIFY2(log.notices.value(0).startsWith(notice), qPrintable(log.notices.value(0)));
    QVERIFY(!window.isVisible());
    QCOMPARE(server.Requests().size(), requests);
    int from = 0;
    for (const QString& text : shown) {
        const int at = log.progress.indexOf(text, from);
        QVERIFY2(at >= 0, qPrintable(text + " not shown in order: " + seen));
        from = at + 1;
    }
    // The debug lines follow the label.
    QCOMPARE(log.progress.value(log.progress.size() - 1), ProgressText(window));
    // Between two other texts the percentage (or the megabytes) only grows;
    // the bar shows the last percentage it can, and never more than 100.
    QStringList percentages;
    int lastShowable = 0;
    for (int i = 0; i < log.progress.size(); ++i) {
        const QString& text = log.progress.at(i);
        if (i > 0 && MegabyteTenths(text) >= 0 && MegabyteTenths(log.progress.at(i - 1)) >= 0)
            QVERIFY2(MegabyteTenths(text) > MegabyteTenths(log.progress.at(i - 1)), qPrintable(seen));
        if (!text.endsWith(QLatin1Char('%')))
            continue;
        percentages << text;
        const int percent = text.chopped(1).toInt();
        if (i > 0 && log.progress.at(i - 1).endsWith(QLatin1Char('%')))
            QVERIFY2(percent > log.progress.at(i - 1).chopped(1).toInt(), qPrintable(seen));
        if (percent <= 100)
            lastShowable = percent;
    }
    QVERIFY2(percentages.size() >= steps, qPrintable(seen));
    QCOMPARE(percentages.value(percentages.size() - 1), last);
    QVERIFY(!bar.isEmpty());
    if (announced < 0 && announced != kBodySize) {
        QVERIFY2(percentages.isEmpty(), qPrintable(seen));
        QCOMPARE(bar, QList<int>{0});
    }
    QVERIFY2(*std::max_element(bar.begin(), bar.end()) <= 100, qPrintable(QString::number(bar.last())));
    QCOMPARE(bar.last(), lastShowable);
}

void TestUpdateWorkflow::updateButton_data()
{
    QTest::addColumn<QString>("then"); // what follows the press at once
    QTest::addColumn<int>("connections");

    QTest::newRow("the download starts a moment later, from the event loop") << "nothing" << 1;
    QTest::newRow("closed before the download starts: it never does") << "close" << 0;
    QTest::newRow("destroyed before the download starts: it never does") << "destroy" << 0;
}

// The update button: the progress page at 0%, the pictures moving, the
// running client ended by its id; the download follows 100 ms later unless
// the window has gone by then.
void TestUpdateWorkflow::updateButton()
{
    QFETCH(QString, then);
    QFETCH(int, connections);

    InstallDir dir;
    CStandinGroup standins(dir.filePath(QStringLiteral("standins.log")));
    QProcess* client = standins.Start(StandinPath(QStringLiteral("Corvel.exe")));
    QVERIFY(client);
    HeldServer server;
    auto window = std::make_unique<CUpdate>(dir.installation());
    window->SetUrl(server.url(QStringLiteral("Package_2.0.zip")));
    window->SetClientPid(int(client->processId()));
    window->OnGetClientSize(1000);
    ShowAndWait(*window);

    Click(*window, "m_pBtnUpdate");
    QCOMPARE(server.connections(), 0);
    QCOMPARE(Child<QStackedWidget>(*window, "stackedWidget")->currentIndex(), 1);
    QCOMPARE(ProgressText(*window), QStringLiteral("0%"));
    QCOMPARE(Child<QProgressBar>(*window, "m_pProgress")->value(), 0);
    QVERIFY(Child(*window, "m_pVxTextBrowser")->isHidden());
    const QList<QLabel*> captions = Child(*window, "stackedWidget")->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(captions.size(), 1);
    QVERIFY(captions.first()->isHidden());
    QCOMPARE(window->property("backgourndImg").toString(), QStringLiteral("1"));
    QVERIFY(WindowTest::BackgroundTimer(*window) && WindowTest::BackgroundTimer(*window)->isActive());
    QVERIFY2(CStandinGroup::EndedByKill(client), "the running client was not ended");

    if (then == QLatin1String("close"))
        QCOMPARE(RunUntilExit(5000, [&]() { window->StopWorkersAndClose(); }), 0);
    if (then == QLatin1String("destroy"))
        window.reset();
    if (connections > 0) {
        QTRY_COMPARE_WITH_TIMEOUT(server.connections(), connections, 3000);
        QCOMPARE(RunUntilExit(5000, [&]() { window->StopWorkersAndClose(); }), 0);
    } else {
        QTest::qWait(300);
        QCOMPARE(server.connections(), 0);
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("Package_2.zip"))));
    }
}

// A second sgnStartDownload while the download runs: the count starts again
// at 0, the same transfer goes on, and each chunk counts once.
void TestUpdateWorkflow::secondStartCountsAfresh()
{
    InstallDir dir;
    HeldServer server;
    CUpdate window(dir.installation());
    window.OnGetClientSize(1000);
    QString url = server.url(QStringLiteral("pkg.zip"));
    emit window.sgnStartDownload(url);
    QTRY_COMPARE_WITH_TIMEOUT(server.connections(), 1, 3000);
    server.Send(HeldServer::Head(1000) + QByteArray(300, 'x'));
    QTRY_COMPARE_WITH_TIMEOUT(ProgressText(window), QStringLiteral("30%"), 5000);

    emit window.sgnStartDownload(url);
    server.Send(QByteArray(100, 'x'));
    QTRY_COMPARE_WITH_TIMEOUT(ProgressText(window), QStringLiteral("10%"), 5000);
    QCOMPARE(server.connections(), 1);
    QCOMPARE(RunUntilExit(5000, [&]() { window.StopWorkersAndClose(); }), 0);
}

// The workflow's next box waits while the give-up question is open: it
// follows a refusal and is dropped by a give-up, never shown on top. What
// brings it (the end of the download, whole or cut short) happens while the
// question is open.
void TestUpdateWorkflow::giveUpQuestionHoldsNextStep_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<bool>("giveUp");
    QTest::addColumn<QStringList>("notices");

    QTest::newRow("install question, going on: it follows")
        << "install" << false << QStringList{kGiveUpQuestion, kInstallQuestion};
    QTest::newRow("install question, giving up: dropped") << "install" << true << QStringList{kGiveUpQuestion};
    QTest::newRow("download failure, going on: its notice follows")
        << "download failure" << false << QStringList{kGiveUpQuestion, kDownloadFailed};
    QTest::newRow("download failure, giving up: dropped") << "download failure" << true << QStringList{kGiveUpQuestion};
    QTest::newRow("extraction failure, going on: its notice follows")
        << "extraction failure" << false << QStringList{kGiveUpQuestion, kUpdateFailed};
    QTest::newRow("extraction failure, giving up: dropped") << "extraction failure" << true << QStringList{kGiveUpQuestion};
}

void TestUpdateWorkflow::giveUpQuestionHoldsNextStep()
{
    QFETCH(QString, step);
    QFETCH(bool, giveUp);
    QFETCH(QStringList, notices);

    InstallDir dir;
    const bool zip = step == QLatin1String("extraction failure");
    const QByteArray package = zip ? QByteArray("not really a zip") : TestFiles::ReadAll(StandinPath(QStringLiteral("setup.exe")));
    QVERIFY(!package.isEmpty());
    HeldServer server;
    WindowLog log;
    CUpdate window(dir.installation());
    window.SetUrl(server.url(zip ? QStringLiteral("pkg.zip") : QStringLiteral("setup.exe")));
    window.OnGetClientSize(package.size());
    ShowAndWait(window);
    Click(window, "m_pBtnUpdate");
    QTRY_COMPARE_WITH_TIMEOUT(server.connections(), 1, 3000);

    // The give-up question: Enter gives up, Escape goes on; Enter on the
    // install question starts the installer.
    ModalAnswerer answerer({giveUp ? Qt::Key_Return : Qt::Key_Escape, Qt::Key_Return});
    bool released = false;
    answerer.setOnBox([&]() {
        if (released)
            return;
        released = true;
        const bool cut = step == QLatin1String("download failure");
        server.Send(HeldServer::Head(package.size()) + (cut ? package.left(package.size() / 2) : package));
        if (cut)
            server.HangUp();
        // Time for what that brings to reach the window behind the question.
        QTest::qWait(500);
    });
    QCOMPARE(RunUntilExit(20000, [&]() { ClickClose(window); }), 0);

    QVERIFY(released);
    QVERIFY(!answerer.unanswered());
    QCOMPARE(answerer.mostOpen(), 1);
    QCOMPARE(log.notices.size(), notices.size());
    for (int i = 0; i < notices.size(); ++i)
        QVERIFY2(log.notices.at(i).startsWith(notices.at(i)), qPrintable(log.notices.at(i)));
    const QString marker = dir.filePath(QStringLiteral("installer-ran.txt"));
    if (step == QLatin1String("install") && !giveUp)
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 10000);
    else
        QVERIFY(!QFile::exists(marker));
}

void TestUpdateWorkflow::diskSpaceCheckedFirst_data()
{
    QTest::addColumn<QString>("sizeFrom"); // "argument": launch argument 2; "server": Content-Length;
                                           // "archive": the unpacked size
    QTest::addColumn<qint64>("needed");
    QTest::addColumn<bool>("refused");

    const qint64 petabyte = qint64(1) * 1024 * 1024 * 1024 * 1024 * 1024;
    QTest::newRow("argument 2 beyond the volume: only the 100 % mark, the package that fits comes")
        << "argument" << petabyte << false;
    QTest::newRow("the server announces more than the volume: refused before a byte is written")
        << "server" << petabyte << true;
    QTest::newRow("unpacked size beyond the volume: refused before unpacking") << "archive" << 25000 * qint64(0xfffffffe)
                                                                               << true;
}

// A full disk ends the update at once with the numbers: no package written,
// or none unpacked. What the launch argument says is no measure of the room.
void TestUpdateWorkflow::diskSpaceCheckedFirst()
{
    QFETCH(QString, sizeFrom);
    QFETCH(qint64, needed);
    QFETCH(bool, refused);

    InstallDir dir;
    const bool beforeDownload = sizeFrom != "archive";
    const QByteArray archive = beforeDownload ? TestZip::MakeZip({TestZip::File("setup.exe", "#!/bin/sh\n")})
                                              : ZipDeclaring(25000);
    LocalHttpRoute route = LocalHttpRoute::Ok(archive);
    if (sizeFrom == "server") {
        // The head alone, the connection kept open: the length is all there is to judge.
        route.contentLength = false;
        route.stallAfter = 0;
        route.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray::number(needed)));
    }
    LocalHttpServer server;
    server.SetRoute("/pkg.zip", route);
    QVERIFY(server.Start());
    WindowLog log;
    CUpdate window(dir.installation());
    window.SetUrl(server.Url("/pkg.zip"));
    window.OnGetClientSize(sizeFrom == "argument" ? needed : archive.size());
    ShowAndWait(window);
    ModalAnswerer answerer({Qt::Key_Escape});
    QCOMPARE(RunUntilExit(30000, [&]() { Click(window, "m_pBtnUpdate"); }), 0);

    QCOMPARE(log.notices.size(), 1);
    QVERIFY(!window.isVisible());
    QCOMPARE(server.Requests().size(), 1);
    if (!refused) {
        QCOMPARE(log.notices.value(0), QStringLiteral("Be sure overlay install?"));
        return;
    }
    const QString text = QStringLiteral("Not enough disk space: %1 needed, ").arg(QLocale().formattedDataSize(needed));
    QVERIFY2(log.notices.value(0).startsWith(text), qPrintable(log.notices.value(0)));
    QVERIFY(!log.progress.contains(QStringLiteral("UnCompressing...")));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("pkg/f0"))));
    QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("pkg.zip"))).size(), beforeDownload ? 0 : archive.size());
}

void TestUpdateWorkflow::packageToInstaller_data()
{
    QTest::addColumn<QByteArray>("path");     // on the server
    QTest::addColumn<QString>("name");        // the package name: its file and its folder
    QTest::addColumn<bool>("exe");            // an executable package, not a zip
    QTest::addColumn<int>("content");
    QTest::addColumn<int>("how");
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<QStringList>("notices"); // how each box begins
    QTest::addColumn<bool>("started");        // the installer ran
    QTest::addColumn<int>("exitCode");

    const QList<int> refuse = {Qt::Key_Escape};
    const QList<int> confirm = {Qt::Key_Return};
    const QStringList asked = {kInstallQuestion};
    const QStringList failed = {kInstallQuestion, kUpdateFailed};
    auto row = [](const char* title, const QByteArray& path, const char* name, bool exe, int content, int how,
                  const QList<int>& keys, const QStringList& notices, bool started, int exitCode) {
        QTest::newRow(title) << path << QString::fromLatin1(name) << exe << content << how << keys << notices
                             << started << exitCode;
    };
    row("zip, refused: archive deleted, unpacked folder kept, nothing started", "/Package_2.0.zip", "Package_2",
        false, WithInstaller, Unsigned, refuse, asked, false, 0);
    row("zip, confirmed: the unpacked installer starts without its execute bit", "/pkg/client_v2.zip",
        "client_v2", false, WithInstaller, Unsigned, confirm, asked, true, 0);
    row("upper-case .EXE is an installer", "/SETUP.EXE", "SETUP", true, WithInstaller, Unsigned, refuse, asked,
        false, 0);
    row(".exe in the query makes an installer", "/pkg.zip?name=a.exe", "pkg", true, WithInstaller, Unsigned, refuse,
        asked, false, 0);
    row("executable with a query, confirmed: the download itself starts, nothing deleted", "/Setup.exe?x=1",
        "Setup", true, WithInstaller, Unsigned, confirm, asked, true, 0);
    row("executable, refused: nothing started, nothing deleted", "/setup.exe", "setup", true, WithInstaller,
        Unsigned, refuse, asked, false, 0);
    row("zip without an installer: one failure notice, exit status -1", "/pkg.zip", "pkg", false, WithoutInstaller,
        Unsigned, confirm, failed, false, -1);
    row("zip whose installer is no program: one failure notice, exit status -1", "/pkg.zip", "pkg", false,
        InstallerNoProgram, Unsigned, confirm, failed, false, -1);
    row("executable whose interpreter is missing: one failure notice, exit status -1", "/pkg.exe", "pkg", true,
        InstallerNoInterpreter, Unsigned, confirm, failed, false, -1);
    row("damaged zip: one failure notice, the archive kept", "/pkg.zip", "pkg", false, DamagedArchive, Unsigned,
        refuse, {kUpdateFailed}, false, 0);

    // Signed by the real minisign; a refused package gives one box with the reason.
    const QString mismatch = kUpdateFailed + "The update's signature does not match it.";
    const QString unreadable = kUpdateFailed + "The update's signature cannot be read.";
    row("good signed zip installs", "/pkg/client_v2.zip", "client_v2", false, WithInstaller, SignedGood, confirm,
        asked, true, 0);
    row("good signed executable installs", "/pkg/setup.exe", "setup", true, WithInstaller, SignedGood, confirm,
        asked, true, 0);
    row("good signed zip, refused: no stamp before a hand-over", "/pkg/client_v2.zip", "client_v2", false,
        WithInstaller, SignedGood, refuse, asked, false, 0);
    auto refused = [&row, &confirm](const char* title, bool exe, int how, const QString& notice) {
        row(title, exe ? "/pkg/setup.exe" : "/pkg/client_v2.zip", exe ? "setup" : "client_v2", exe, WithInstaller,
            how, confirm, {notice}, false, -1);
    };
    refused("one flipped byte in the zip", false, SignedFlipByte, mismatch);
    refused("executable cut short, no Content-Length", true, SignedTruncated, mismatch);
    refused("signed by another key", false, SignedOtherKey, kUpdateFailed + "The update is signed with another key.");
    refused("no signature published (404)", true, SignedNotPublished, kUpdateFailed + "The update has no signature.");
    refused("legacy signature", false, SignedLegacy,
            kUpdateFailed + "The update is signed in the legacy format; sign it again with current minisign.");
    refused("garbage for a signature", true, SignedGarbage, unreadable);
    refused("oversized signature answer", false, SignedOversized, unreadable);
    refused("malformed key file", false, SignedMalformedKey,
            kUpdateFailed + "The installation's update key cannot be read.");
    // Every refusal of a signed package ends with -1, whatever the check's reason.
    refused("a gzip-coded signature", true, SignedCodedAnswer,
            "Update failed, error Type:The server sent the file encoded as gzip, which the updater does not accept.");
    refused("signed before the update last installed", false, SignedOlder,
            kUpdateFailed + "This update is older than the one installed.");
}

// The whole way from the update button to the installer, on the real window
// with a running notifier of this installation. A package that passes goes
// to the install question (a zip unpacked first, its archive deleted); a
// confirmed one ends the notifier and starts the installer. A refused package:
// one box with the reason, the package deleted, nothing unpacked or started,
// the notifier left alone, exit status -1.
void TestUpdateWorkflow::packageToInstaller()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, name);
    QFETCH(bool, exe);
    QFETCH(int, content);
    QFETCH(int, how);
    QFETCH(QList<int>, keys);
    QFETCH(QStringList, notices);
    QFETCH(bool, started);
    QFETCH(int, exitCode);
    const bool isSigned = how != Unsigned;
    if (isSigned && !m_minisign.Available())
        QSKIP("minisign is not installed");
    if (isSigned && !m_bKeysMade) {
        QVERIFY(m_keys.isValid());
        QVERIFY(m_minisign.MakeKeyPair(m_keys.filePath("A")));
        QVERIFY(m_minisign.MakeKeyPair(m_keys.filePath("B")));
        m_bKeysMade = true;
    }
    const bool accepted = how == Unsigned || how == SignedGood;
    const bool refusedAtStart = how == SignedMalformedKey;
    const bool unpacked = accepted && !exe && content != DamagedArchive;
    const bool handedOver = accepted && content != DamagedArchive && keys.first() == Qt::Key_Return;

    // GIVEN an installation with its key and its running notifier
    InstallDir dir;
    if (how == SignedMalformedKey)
        QVERIFY(dir.write("UpdateKey.pub", "untrusted comment: minisign public key\nnot a key\n"));
    else if (isSigned)
        QVERIFY(dir.write("UpdateKey.pub", TestFiles::ReadAll(m_keys.filePath("A.pub"))));
    // Installed long after anything signed today.
    const QByteArray laterStamp("4102444800\n");
    if (how == SignedOlder)
        QVERIFY(dir.write("UpdateKey.stamp", laterStamp));
    const QString notifierPath = dir.filePath(QStringLiteral("ZoRezivirArerur.exe"));
    QVERIFY(QFile::copy(StandinPath(QStringLiteral("ZoRezivirArerur.exe")), notifierPath));
    CStandinGroup standins(dir.filePath("standins.log"));
    QProcess* notifier = standins.Start(notifierPath);
    QVERIFY(notifier);

    // and a package whose installer leaves installer-ran.txt beside itself
    const QByteArray installer = TestFiles::ReadAll(StandinPath("setup.exe"));
    QVERIFY(!installer.isEmpty());
    QByteArray setup = installer;
    if (content == InstallerNoProgram)
        setup = QByteArray(4096, '\x7f');
    if (content == InstallerNoInterpreter)
        setup = "#!/nonexistent/interpreter\necho started > installer-ran.txt\n";
    QByteArray package = setup;
    if (content == DamagedArchive)
        package = "not really a zip";
    else if (!exe)
        package = TestZip::MakeZip({content == WithoutInstaller ? TestZip::File("readme.txt", "Read me.\n")
                                                                : TestZip::WithMode(TestZip::File("setup.exe", setup), 0100644),
                                    TestZip::Folder("bin/"), TestZip::File("bin/notes.txt", "What is new.\n")});

    // signed as the row says
    QByteArray signature;
    if (isSigned) {
        QTemporaryDir signing;
        // Under the name it is served by: minisign's comment names the file signed.
        const QString signedPath = signing.filePath(QFileInfo(QString(path)).fileName());
        QVERIFY(TestZip::WriteFile(signedPath, package));
        QStringList extra;
        if (how == SignedOversized) // valid, but the file grows past the bound
            extra << "-t" << QString(4000, QLatin1Char('v'));
        if (how == SignedLegacy)
            extra << "-l";
        const QString sigPath = signing.filePath("package.minisig");
        QVERIFY(m_minisign.Sign(m_keys.filePath(how == SignedOtherKey ? "B" : "A"), signedPath, sigPath, extra));
        signature = TestFiles::ReadAll(sigPath);
        QVERIFY(!signature.isEmpty());
        if (how == SignedGarbage)
            signature = PackageBytes(300);
    }

    // WHEN it is served as the row says
    LocalHttpRoute packageRoute = LocalHttpRoute::Ok(package);
    if (how == SignedFlipByte)
        packageRoute.body[package.size() / 2] = char(package[package.size() / 2] ^ 0x01);
    if (how == SignedTruncated) {
        packageRoute.contentLength = false;
        packageRoute.dropAfter = package.size() / 2;
    }
    LocalHttpServer server;
    server.SetRoute(path, packageRoute);
    LocalHttpRoute signatureRoute = LocalHttpRoute::Ok(signature);
    if (how == SignedCodedAnswer)
        signatureRoute.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
    if (isSigned && how != SignedNotPublished)
        server.SetRoute(path + ".minisig", signatureRoute);
    QVERIFY(server.Start());

    // and the user updates and answers the boxes
    WindowLog log;
    CUpdate window(dir.installation());
    window.SetUrl(server.Url(path));
    window.OnGetClientSize(package.size());
    ShowAndWait(window);
    ModalAnswerer answerer(keys);
    const int code = RunUntilExit(30000, [&]() { Click(window, "m_pBtnUpdate"); });

    // THEN the boxes, the exit status, the files and the processes are as the row says
    const QString seen = log.progress.join('|') + " / " + log.notices.join('|');
    QCOMPARE(code, exitCode);
    QVERIFY(!window.isVisible());
    QVERIFY(!answerer.unanswered());
    QCOMPARE(log.notices.size(), notices.size());
    for (int i = 0; i < notices.size(); ++i)
        QVERIFY2(log.notices.at(i).startsWith(notices.at(i)), qPrintable(seen));
    QCOMPARE(server.RequestCount(path) > 0, !refusedAtStart);
    QCOMPARE(server.RequestCount(path + ".minisig"), isSigned && !refusedAtStart ? 1 : 0);
    QCOMPARE(log.progress.contains("Verifying..."), isSigned && !refusedAtStart);
    QVERIFY2(log.progress.contains("UnCompressing...") == (accepted && !exe), qPrintable(seen));
    const QString packageFile = dir.filePath(name + (exe ? ".exe" : ".zip"));
    QCOMPARE(QFile::exists(packageFile), exe ? accepted : content == DamagedArchive);
    if (exe && accepted) {
        // The install question comes over the last percentage.
        QCOMPARE(TestFiles::ReadAll(packageFile), package);
        QCOMPARE(log.progress.value(log.progress.size() - 1), QStringLiteral("100%"));
    }
    if (unpacked) {
        QCOMPARE(log.progress.value(log.progress.size() - 1), QStringLiteral("Finish unCompressing"));
        QVERIFY(log.progress.indexOf("UnCompressing...") > log.progress.indexOf("Verifying..."));
        // Files land flat in the package's folder.
        QCOMPARE(TestFiles::ReadAll(dir.filePath(name + "/notes.txt")), QByteArray("What is new.\n"));
    }
    if (!accepted)
        QVERIFY2(!QFileInfo::exists(dir.filePath(name)), "the refused package was unpacked");
    if (handedOver)
        QVERIFY2(CStandinGroup::EndedByKill(notifier), "the notifier was not ended");
    else
        QVERIFY2(CStandinGroup::StillRunning(notifier), "the notifier was ended");
    const QString ranMarker = dir.filePath(exe ? "installer-ran.txt" : name + "/installer-ran.txt");
    if (started)
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(ranMarker), 10000);
    else
        QVERIFY2(!QFile::exists(ranMarker), "an installer ran");
    // A signed installation keeps the timestamp of what it handed over, and
    // only that.
    const QByteArray stamp = TestFiles::ReadAll(dir.filePath("UpdateKey.stamp"));
    if (how == SignedOlder)
        QCOMPARE(stamp, laterStamp);
    else if (isSigned && started)
        QVERIFY2(stamp.endsWith('\n') && signature.contains("timestamp:" + stamp.trimmed() + '\t'), stamp.constData());
    else
        QVERIFY2(!QFileInfo::exists(dir.filePath("UpdateKey.stamp")), "a stamp was kept");
}

QTEST_MAIN(TestUpdateWorkflow)
#include "tst_workflow.moc"
