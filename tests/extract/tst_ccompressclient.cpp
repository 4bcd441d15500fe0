#include "CCompressClient.h"
#include "FolderTree.h"
#include "HeldFile.h"
#include "InstallDir.h"
#include "OutsideTarget.h"
#include "Package.h"
#include "SafeTarget.h"
#include "ThreadEndMark.h"
#include "ZipWriter.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTextCodec>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using TestSupport::InstallDir;
using Update::CCompressClient;
using Update::CFailure;
using Update::CPackage;
using Update::EFailure;
using namespace TestZip;
using Entries = QList<Entry>;

Q_DECLARE_METATYPE(Update::EFailure)

namespace {

constexpr unsigned long kWaitMs = 120000;
const Entry kOk = File("ok.txt", "OK");

// "bad.txt" as written with the given damage.
Entry Bad(void (*damage)(Entry&), const QByteArray& data = "payload")
{
    Entry e = File("bad.txt", data);
    damage(e);
    return e;
}

// Folders as "name/", links as "name@", files as "name=content", sorted.
QStringList Tree(const QString& dir)
{
    return FolderTree(dir, [](const QString& path, const QFileInfo&) {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return QLatin1Char('=') + QString::fromUtf8(file.read(64));
    });
}

void MakeTree(const QString& dir, const QStringList& tree)
{
    QDir().mkpath(dir);
    for (const QString& item : tree) {
        const int eq = item.indexOf(QLatin1Char('='));
        if (eq < 0)
            QDir(dir).mkpath(item);
        else
            WriteFile(dir + QLatin1Char('/') + item.left(eq), item.mid(eq + 1).toUtf8());
    }
}

int ModeBits(const QString& path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

// A worker with its end mark and a spy on each of its signals.
struct WatchedWorker
{
    CCompressClient worker{TestSupport::InstallDir::Current()};
    ThreadEndMark mark {&worker};
    QSignalSpy endedSpy {&worker, SIGNAL(SignalEnded(Update::CFailure))};
    QSignalSpy finishSpy {&worker, SIGNAL(SignalFinishCompress())};
    QSignalSpy failSpy {&worker, SIGNAL(SignalCompressFailed())};

    // One run of the package "pkg" of the installation folder inst, set by
    // package or, when a name is given, by name. The worker thread reads no
    // current folder: it may have changed by the time the thread runs.
    bool Run(const QString& inst, const QString* name = nullptr)
    {
        const QString elsewhere = QFileInfo(inst).path() + QStringLiteral("/outside");
        const QString previous = QDir::currentPath();
        if (name)
            worker.SetPackageName(*name);
        if (!QDir::setCurrent(elsewhere))
            return false;
        if (!name)
            worker.SetPackage(CPackage(QStringLiteral("http://127.0.0.1/pkg/pkg.zip"), inst));
        worker.start(QThread::InheritPriority);
        const bool ended = mark.Wait(kWaitMs);
        QDir::setCurrent(previous);
        return ended;
    }
};

// A finished run ended with the failure its signal carried, and with the
// adapter signal that the failure calls for; a stopped one with neither.
void CheckOutcome(WatchedWorker& w, int runs, EFailure expected)
{
    const bool reported = expected != EFailure::Stopped;
    QCOMPARE(w.endedSpy.count(), reported ? runs : 0);
    const CFailure failure = reported ? w.endedSpy.last().at(0).value<CFailure>() : w.worker.Failure();
    QVERIFY2(failure.kind == expected,
             qPrintable(QStringLiteral("failure %1 (%2), expected %3")
                            .arg(int(failure.kind)).arg(failure.details.join(QLatin1Char(' '))).arg(int(expected))));
    const bool failed = expected != EFailure::None && expected != EFailure::Stopped;
    QCOMPARE(w.finishSpy.count(), expected == EFailure::None ? runs : 0);
    QCOMPARE(w.failSpy.count(), failed ? runs : 0);
}

} // namespace

class TestCCompressClient : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void unCompress_data();
    void unCompress();
    void plantedNames_data();
    void plantedNames();
    void folderSwappedWhileUnpacking_data();
    void folderSwappedWhileUnpacking();
    void permissions_data();
    void permissions();
    void run_data();
    void run();
    void destroyWaitsForRunningWorker();
    void stopRequest_data();
    void stopRequest();
    void twoEventsOneReport_data();
    void twoEventsOneReport();
    void entryNameEncoding_data();
    void entryNameEncoding();

private:
    QString Inst() const { return m_tmp->path(); }
    QString Zip() const { return Inst() + QStringLiteral("/pkg.zip"); }
    QString Target() const { return Inst() + QStringLiteral("/pkg"); }
    QStringList Escapes() const;

    std::unique_ptr<InstallDir> m_tmp;
};

// Everything under the temporary root that is neither the archive nor inside the target.
QStringList TestCCompressClient::Escapes() const
{
    QStringList escapes;
    for (const QString& item : Tree(m_tmp->root())) {
        const bool expected = item == QLatin1String("inst/") || item == QLatin1String("inst/pkg/")
            || item.startsWith(QLatin1String("inst/pkg/")) || item.startsWith(QLatin1String("inst/pkg.zip="))
            || item == QLatin1String("outside/");
        if (!expected)
            escapes << item;
    }
    return escapes;
}

void TestCCompressClient::init()
{
    m_tmp = std::make_unique<InstallDir>(QStringLiteral("inst"));
    QVERIFY(m_tmp->isValid());
    QVERIFY(QDir().mkpath(m_tmp->root() + QStringLiteral("/outside")));
}

void TestCCompressClient::cleanup()
{
    m_tmp.reset();
}

void TestCCompressClient::unCompress_data()
{
    QTest::addColumn<Entries>("entries");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<EFailure>("failure");

    const EFailure ok = EFailure::None;
    QTest::newRow("nested folders: files flat under base names")
        << Entries{File("a/b/c.txt", "C"), File("d/e.txt", "E")} << QStringList{"c.txt=C", "e.txt=E"} << ok;
    QTest::newRow("folder entries: folder made, file flat")
        << Entries{Folder("bin/"), File("bin/app.dll", "DLL")} << QStringList{"app.dll=DLL", "bin/"} << ok;
    QTest::newRow("nested folder entry: whole path made")
        << Entries{Folder("x/y/z/")} << QStringList{"x/", "x/y/", "x/y/z/"} << ok;
    QTest::newRow("duplicate base names: later wins")
        << Entries{File("a/readme.txt", "first"), File("b/readme.txt", "second")}
        << QStringList{"readme.txt=second"} << ok;
    QTest::newRow("duplicate read-only base names: later still wins")
        << Entries{WithMode(File("a/r.txt", "first"), 0100444), WithMode(File("b/r.txt", "second"), 0100444)}
        << QStringList{"r.txt=second"} << ok;
    Entry stored = File("s.txt", "S");
    stored.deflate = false;
    QTest::newRow("stored and empty entries") << Entries{stored, File("e.txt", "")} << QStringList{"e.txt=", "s.txt=S"}
                                              << ok;
    QTest::newRow("backslash name: literal file name, inside")
        << Entries{File("x\\y.txt", "XY")} << QStringList{"x\\y.txt=XY"} << ok;
    QTest::newRow("folder in the way of a file: file skipped, success")
        << Entries{Folder("app.dll/"), File("x/app.dll", "D"), kOk} << QStringList{"app.dll/", "ok.txt=OK"} << ok;
    QTest::newRow("parent steps before a file: lands flat inside")
        << Entries{File("../../evil.txt", "E")} << QStringList{"evil.txt=E"} << ok;

    const QStringList okOnly{"ok.txt=OK"};
    const QList<QPair<const char*, Entry>> slips{
        {"zip slip: folder entry with parent steps", Folder("../escape/")},
        {"zip slip: folder entry climbing from inside", Folder("a/../../escape/")},
        {"zip slip: absolute folder entry", Folder("@ROOT@/abs/")},
        {"zip slip: drive letter folder entry", Folder("C:/x/")},
        {"zip slip: drive-relative folder entry", Folder("C:x/")},
        {"zip slip: backslash parent folder entry", Folder("..\\escape/")},
        {"zip slip: rooted backslash folder entry", Folder("\\escape\\/")},
        {"zip slip: backslash parent file name", File("..\\evil.txt", "E")},
        {"zip slip: rooted backslash file name", File("\\x\\", "E")},
        {"zip slip: drive letter file name", File("C:evil.txt", "E")},
        {"zip slip: base name dot-dot", File("a/..", "E")},
        {"zip slip: base name dot", File("a/.", "E")},
        {"zip slip: entry named dot-dot", File("..", "E")},
        {"zip slip: dot-dot and a space, which Windows reads as dot-dot", File(".. ", "E")},
        {"zip slip: three dots, which Windows reads as the folder itself", File("a/...", "E")},
        {"zip slip: folder entry climbing through dot-dot and a space", Folder("a/.. /.. /escape/")},
    };
    for (const auto& slip : slips)
        QTest::newRow(slip.first) << Entries{slip.second, kOk} << okOnly << ok;
    QTest::newRow("zip slip: symlink entry written as a plain file")
        << Entries{WithMode(File("link", "/etc/passwd"), 0120777), kOk}
        << QStringList{"link=/etc/passwd", "ok.txt=OK"} << ok;

    const QList<QPair<const char*, Entry>> damages{
        {"CRC mismatch: failed, no partial file", Bad([](Entry& e) { e.badCrc = true; })},
        {"deflated length other than recorded: failed", Bad([](Entry& e) { e.recordedSize = 9; })},
        {"stored length other than recorded: failed", Bad([](Entry& e) { e.deflate = false; e.recordedSize = 9; })},
        {"flipped stored byte: failed", Bad([](Entry& e) { e.deflate = false; e.flipData = true; })},
        {"corrupt deflate stream: failed", Bad([](Entry& e) { e.flipData = true; }, QByteArray(4096, 'z') + "tail")},
        {"unsupported method: failed", Bad([](Entry& e) { e.deflate = false; e.recordedMethod = 12; })},
        {"encrypted entry: failed", Bad([](Entry& e) { e.encrypted = true; })},
    };
    for (const auto& damage : damages)
        QTest::newRow(damage.first) << Entries{kOk, damage.second} << okOnly << EFailure::ArchiveDamaged;
}

void TestCCompressClient::unCompress()
{
    QFETCH(Entries, entries);
    QFETCH(QStringList, expected);
    QFETCH(EFailure, failure);
    for (Entry& e : entries)
        e.name.replace("@ROOT@", QFile::encodeName(m_tmp->root()));
    QVERIFY(WriteZip(Zip(), entries));

    WatchedWorker w;
    QVERIFY(w.Run(Inst()));
    CheckOutcome(w, 1, failure);
    QCOMPARE(Tree(Target()), expected);
    QCOMPARE(Escapes(), QStringList());
    QVERIFY(QFileInfo::exists(Zip()));
}

void TestCCompressClient::plantedNames_data()
{
    QTest::addColumn<QString>("planted"); // "link:name", "dangling:name", "hard:name", "folder link:path"
    QTest::addColumn<Entries>("entries");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("a link at a file name: replaced by the entry, what it names untouched")
        << "link:file.txt" << Entries{File("file.txt", "X")} << QStringList{"file.txt=X"};
    QTest::newRow("a dangling link at a file name: replaced, nothing made where it pointed")
        << "dangling:file.txt" << Entries{File("file.txt", "X")} << QStringList{"file.txt=X"};
    QTest::newRow("a second name of a file elsewhere: replaced as a name, that file keeps its bytes")
        << "hard:setup.exe" << Entries{File("bin/setup.exe", "NEW")} << QStringList{"setup.exe=NEW"};
    QTest::newRow("a link at a folder step: refused, nothing made where it leads")
        << "folder link:out" << Entries{Folder("out/sub/"), kOk} << QStringList{"ok.txt=OK", "out@"};
    QTest::newRow("a link at a deeper folder step: refused there")
        << "folder link:a/b" << Entries{Folder("a/b/c/"), Folder("a/d/"), kOk}
        << QStringList{"a/", "a/b@", "a/d/", "ok.txt=OK"};
}

// Another user of the installation folder plants names in the unpack folder:
// nothing is written, and no folder made, through them.
void TestCCompressClient::plantedNames()
{
    QFETCH(QString, planted);
    QFETCH(Entries, entries);
    QFETCH(QStringList, expected);
    TestSupport::OutsideTarget outside;
    QVERIFY(outside.isValid());
    const QString kind = planted.section(QLatin1Char(':'), 0, 0);
    const QString at = Target() + QLatin1Char('/') + planted.section(QLatin1Char(':'), 1);
    QVERIFY(QDir().mkpath(QFileInfo(at).absolutePath()));
    if (kind == "link")
        QVERIFY(QFile::link(outside.File(), at));
    if (kind == "dangling")
        QVERIFY(QFile::link(outside.Folder() + QStringLiteral("/dangling.txt"), at));
    if (kind == "hard")
        QCOMPARE(::link(QFile::encodeName(outside.File()).constData(), QFile::encodeName(at).constData()), 0);
    if (kind == "folder link")
        QVERIFY(QFile::link(outside.Folder(), at));
    const QStringList before = outside.Picture();
    QVERIFY(WriteZip(Zip(), entries));

    QVERIFY(CCompressClient::UnCompress(Zip(), Target()));
    QCOMPARE(outside.Picture(), before);
    QVERIFY(!QFileInfo::exists(outside.Folder() + QStringLiteral("/dangling.txt")));
    QCOMPARE(Tree(Target()), expected);
    QCOMPARE(Escapes(), QStringList());
}

void TestCCompressClient::folderSwappedWhileUnpacking_data()
{
    QTest::addColumn<QString>("swapped"); // relative to the target: "" for the target itself

    QTest::newRow("the unpack folder itself") << "";
    QTest::newRow("a folder inside it") << "sub";
}

// GIVEN the unpack folder held, WHEN a folder of it is moved away and a link
// to a folder elsewhere takes its name, THEN nothing goes where the link
// leads: what follows goes into the folder that was held, and a folder step
// that became a link is refused.
void TestCCompressClient::folderSwappedWhileUnpacking()
{
    QFETCH(QString, swapped);
    TestSupport::OutsideTarget outside;
    QVERIFY(outside.isValid());
    const QStringList before = outside.Picture();
    Update::CSafeTarget target(Target());
    QVERIFY(target.Create());
    target.MakeFolder(QStringLiteral("sub/"));

    const QString name = swapped.isEmpty() ? Target() : Target() + QLatin1Char('/') + swapped;
    const QString moved = m_tmp->root() + QStringLiteral("/moved");
    QVERIFY(QDir().rename(name, moved));
    QVERIFY(QFile::link(outside.Folder(), name));

    target.MakeFolder(QStringLiteral("sub/late/"));
    Update::CTargetFile file;
    QVERIFY(file.Open(target, QStringLiteral("late.txt")));
    QVERIFY(file.Write("L", 1));
    QVERIFY(file.Finish(0));

    QCOMPARE(outside.Picture(), before);
    const QString held = swapped.isEmpty() ? moved : Target();
    QCOMPARE(Tree(held).filter(QStringLiteral("late")),
             swapped.isEmpty() ? (QStringList{"late.txt=L", "sub/late/"}) : QStringList{"late.txt=L"});
    // The unpack folder that was swapped is no longer where it was.
    QCOMPARE(target.Folder()->IsStillAt(), !swapped.isEmpty());
}

void TestCCompressClient::permissions_data()
{
    QTest::addColumn<quint32>("mode");
    QTest::addColumn<int>("expected"); // -1: what a new file gets

    QTest::newRow("installer keeps its execute bit") << quint32(0100755) << 0755;
    QTest::newRow("group and other bits kept") << quint32(0100750) << 0750;
    QTest::newRow("read-only entry stays writable by owner") << quint32(0100444) << 0644;
    QTest::newRow("setuid, setgid and sticky bits never set") << quint32(0107755) << 0755;
    QTest::newRow("bits without a file type") << quint32(0700) << 0700;
    QTest::newRow("no Unix host: default bits") << quint32(0) << -1;
    QTest::newRow("symlink entry: default bits, no link") << quint32(0120777) << -1;
}

void TestCCompressClient::permissions()
{
    QFETCH(quint32, mode);
    QFETCH(int, expected);
    QVERIFY(WriteZip(Zip(), {WithMode(File("dir/setup.bin", "#!/bin/sh\n"), mode)}));
    const QString fresh = Inst() + QStringLiteral("/fresh");
    QVERIFY(WriteFile(fresh, "x"));

    QVERIFY(CCompressClient::UnCompress(Zip(), Target()));
    const QString out = Target() + QStringLiteral("/setup.bin");
    QVERIFY(!QFileInfo(out).isSymLink());
    QCOMPARE(ModeBits(out), expected < 0 ? ModeBits(fresh) : expected);
}

void TestCCompressClient::run_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("zip"); // null: no archive
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<bool>("targetExists");
    QTest::addColumn<EFailure>("failure");

    const QStringList old{"old.txt=O", "sub/", "sub/keep.txt=K"};
    const QStringList subOnly{"sub/", "sub/keep.txt=K"};
    const EFailure damaged = EFailure::ArchiveDamaged;
    QTest::newRow("empty name: nothing removed, no signal")
        << QString() << MakeZip({kOk}) << old << old << true << EFailure::Stopped;
    QTest::newRow("success: one finish signal")
        << "pkg" << MakeZip({Folder("bin/"), File("bin/setup.exe", "X")}) << QStringList{}
        << QStringList{"bin/", "setup.exe=X"} << true << EFailure::None;
    QTest::newRow("existing folder: top files go, subfolder stays")
        << "pkg" << MakeZip({File("new.txt", "N")}) << old << (subOnly + QStringList{"new.txt=N"}) << true
        << EFailure::None;
    // Only plain, visible files are emptied: a dot file stays, as a subfolder does.
    QTest::newRow("hidden file: stays, the visible ones go")
        << "pkg" << MakeZip({File("new.txt", "N")}) << QStringList{".hidden=H", "old.txt=O"}
        << QStringList{".hidden=H", "new.txt=N"} << true << EFailure::None;
    QTest::newRow("missing archive, a hidden file left: folder kept with it, failed")
        << "pkg" << QByteArray() << QStringList{".hidden=H", "old.txt=O"} << QStringList{".hidden=H"} << true
        << damaged;
    QTest::newRow("empty archive: folder recreated")
        << "pkg" << MakeZip({}) << QStringList{"old.txt=O"} << QStringList{} << true << EFailure::None;
    QTest::newRow("missing archive: folder emptied, failed") << "pkg" << QByteArray() << old << subOnly << true << damaged;
    QTest::newRow("missing archive, files only: folder removed, failed")
        << "pkg" << QByteArray() << QStringList{"old.txt=O"} << QStringList{} << false << damaged;

    // Nothing is unpacked from an archive that cannot be read whole.
    const QByteArray valid = MakeZip({File("a.txt", QByteArray(2000, 'a')), File("b.txt", QByteArray(2000, 'b'))});
    const QList<QPair<const char*, QByteArray>> unreadable{
        {"zero bytes", QByteArray("")},
        {"not a zip", QByteArray("just some text, no archive\n").repeated(50)},
        {"truncated: end cut", valid.left(valid.size() - 10)},
        {"truncated: first half only", valid.left(valid.size() / 2)},
        {"bytes missing before the directory", QByteArray(valid).remove(40, 30)},
    };
    for (const auto& row : unreadable)
        QTest::newRow(row.first) << "pkg" << row.second << subOnly << subOnly << true << damaged;
}

void TestCCompressClient::run()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, zip);
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(bool, targetExists);
    QFETCH(EFailure, failure);
    if (!zip.isNull())
        QVERIFY(WriteFile(Zip(), zip));
    if (!before.isEmpty())
        MakeTree(Target(), before);

    WatchedWorker w;
    QVERIFY(w.Run(Inst(), &name));

    CheckOutcome(w, name.isEmpty() ? 0 : 1, failure);
    after.sort();
    QCOMPARE(Tree(Target()), after);
    QCOMPARE(QFileInfo(Target()).isDir(), targetExists);
    QCOMPARE(QFileInfo::exists(Zip()), !zip.isNull()); // never deleted by the worker
    QCOMPARE(Escapes(), QStringList());
}

// quit() does not end run(); deleting the worker waits for it instead of
// tearing the thread down under it.
void TestCCompressClient::destroyWaitsForRunningWorker()
{
    const QByteArray data(16 * 1024 * 1024, 'd');
    QVERIFY(WriteZip(Zip(), {File("payload.bin", data)}));
    auto* worker = new CCompressClient(TestSupport::InstallDir::Current());
    QSignalSpy finishSpy(worker, SIGNAL(SignalFinishCompress()));
    worker->SetPackageName(QStringLiteral("pkg"));
    worker->start();
    worker->quit();
    delete worker;

    QCOMPARE(finishSpy.count(), 1);
    QCOMPARE(QFileInfo(Target() + QStringLiteral("/payload.bin")).size(), qint64(data.size()));
}

void TestCCompressClient::stopRequest_data()
{
    QTest::addColumn<bool>("deflate");
    QTest::addColumn<bool>("restart"); // SetPackageName + start() again afterwards
    QTest::addColumn<bool>("early");   // asked between SetPackageName and start()

    QTest::newRow("deflated entry") << true << false << false;
    QTest::newRow("stored entry") << false << false << false;
    QTest::newRow("a new run after a stop runs whole, one after that once more") << true << true << false;
    QTest::newRow("asked before the run: nothing removed or written") << true << false << true;
}

// GIVEN a large entry being written, WHEN another thread asks the worker to
// stop, THEN it ends without finishing the entry, removes what it wrote of it,
// starts no later entry and emits nothing.
void TestCCompressClient::stopRequest()
{
    QFETCH(bool, deflate);
    QFETCH(bool, restart);
    QFETCH(bool, early);
    Entry big = File("payload.bin", QByteArray(128 * 1024 * 1024, 'p'));
    big.deflate = deflate;
    QVERIFY(WriteZip(Zip(), {big, File("after.txt", "A")}));
    big = Entry();
    const QString partial = Target() + QStringLiteral("/payload.bin");

    WatchedWorker w;
    w.worker.SetPackageName(QStringLiteral("pkg"));
    if (early) {
        MakeTree(Target(), {"old.txt=O"});
        w.worker.RequestStop();
        w.worker.start();
        QVERIFY(w.mark.Wait(kWaitMs));
        CheckOutcome(w, 1, EFailure::Stopped);
        QCOMPARE(Tree(Target()), QStringList{"old.txt=O"});
        return;
    }
    w.worker.start();
    // Bounded: the entry takes far longer to write than to appear.
    QDeadlineTimer deadline(kWaitMs);
    while (!QFileInfo::exists(partial) && w.worker.isRunning() && !deadline.hasExpired())
        QThread::usleep(200);
    QVERIFY2(QFileInfo::exists(partial), "the entry was being written");
    w.worker.RequestStop();
    QVERIFY(w.mark.Wait(kWaitMs));

    CheckOutcome(w, 1, EFailure::Stopped);
    QCOMPARE(Tree(Target()), QStringList{});
    if (!restart)
        return;
    const QString again = QStringLiteral("pkg");
    QVERIFY(w.Run(Inst(), &again));
    CheckOutcome(w, 1, EFailure::None);
    QCOMPARE(QFileInfo(partial).size(), qint64(128 * 1024 * 1024));
    QVERIFY(QFileInfo::exists(Target() + QStringLiteral("/after.txt")));
    // A worker that finished runs again, once, for the name it is given now.
    const QString absent = QStringLiteral("absent");
    QVERIFY(w.Run(Inst(), &absent));
    QCOMPARE(w.finishSpy.count() + w.failSpy.count() * 10, 11);
    QCOMPARE(int(w.worker.Failure().kind), int(EFailure::ArchiveDamaged));
    QCOMPARE(QFileInfo(partial).size(), qint64(128 * 1024 * 1024));
}

void TestCCompressClient::twoEventsOneReport_data()
{
    QTest::addColumn<bool>("archive");
    QTest::addColumn<int>("stops"); // asked before the run; 0: by the receiver of its ending
    QTest::addColumn<EFailure>("outcome");

    QTest::newRow("finish + stop") << true << 0 << EFailure::None;
    QTest::newRow("failure + stop") << false << 0 << EFailure::ArchiveDamaged;
    QTest::newRow("stop + stop") << true << 2 << EFailure::Stopped;
}

// Whatever two events meet on the two threads, the owner hears once.
void TestCCompressClient::twoEventsOneReport()
{
    QFETCH(bool, archive);
    QFETCH(int, stops);
    QFETCH(EFailure, outcome);
    if (archive)
        QVERIFY(WriteZip(Zip(), {kOk}));

    WatchedWorker w;
    QObject::connect(&w.worker, &CCompressClient::SignalEnded, &w.worker, [&w] { w.worker.RequestStop(); },
                     Qt::DirectConnection);
    w.worker.SetPackageName(QStringLiteral("pkg"));
    for (int i = 0; i < stops; ++i)
        w.worker.RequestStop();
    w.worker.start();
    QVERIFY(w.mark.Wait(kWaitMs));
    CheckOutcome(w, 1, outcome);
}

void TestCCompressClient::entryNameEncoding_data()
{
    QTest::addColumn<QByteArray>("systemEncoding");
    QTest::addColumn<QByteArray>("name"); // as stored
    QTest::addColumn<bool>("utf8Flag");
    QTest::addColumn<QString>("expected");

    const QString cafe = QStringLiteral("caf\u00E9.txt");
    const QString upgrade = QStringLiteral("\u5347\u7EA7.txt");
    QTest::newRow("Latin-1 system, name in its encoding") << QByteArray("ISO-8859-1") << QByteArray("caf\xE9.txt") << false << cafe;
    QTest::newRow("Latin-1 system, UTF-8 flag") << QByteArray("ISO-8859-1") << cafe.toUtf8() << true << cafe;
    QTest::newRow("GBK system, name in its encoding") << QByteArray("GBK") << QByteArray("\xC9\xFD\xBC\xB6.txt") << false << upgrade;
    QTest::newRow("GBK system, UTF-8 flag") << QByteArray("GBK") << upgrade.toUtf8() << true << upgrade;
}

// Names are read with the system's encoding unless the entry says UTF-8.
void TestCCompressClient::entryNameEncoding()
{
    QFETCH(QByteArray, systemEncoding);
    QFETCH(QByteArray, name);
    QFETCH(bool, utf8Flag);
    QFETCH(QString, expected);

    Entry entry = File(name, "N");
    entry.utf8Name = utf8Flag;
    QVERIFY(WriteZip(Zip(), {entry}));
    QTextCodec* before = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName(systemEncoding));
    const bool ok = CCompressClient::UnCompress(Zip(), Target());
    const bool written = QFileInfo::exists(Target() + QLatin1Char('/') + expected);
    const QStringList names = QDir(Target()).entryList(QDir::Files);
    // Only the codec that wrote the name can name the file again.
    const bool removed = QDir(Target()).removeRecursively();
    QTextCodec::setCodecForLocale(before);

    QVERIFY(ok);
    QVERIFY2(written, qPrintable(names.join(QLatin1Char(' '))));
    QVERIFY(removed);
}

QTEST_GUILESS_MAIN(TestCCompressClient)
#include "tst_ccompressclient.moc"
