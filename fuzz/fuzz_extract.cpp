// Bytes -> <installation>/pkg.zip, unpacked into <installation>/pkg twice: by
// UnCompress directly and by a run of the worker thread, as the window starts
// it. Nothing may appear, change or vanish outside the target folder (the
// installation sits three levels down a scratch root, so escapes upwards land
// where they are seen); the target may hold no link and no name that Windows
// reads as lying outside it; every thread run ends in exactly one outcome
// signal, the same one the direct call gave. A file size limit plays a full
// disk and keeps a zip bomb's output small.

#include "CCompressClient.h"
#include "VxDir.h"
#include "WindowsPath.h"

#include <QDir>
#include <QDateTime>
#include <QDirIterator>
#include <QFile>
#include <QStringList>

#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using Update::CCompressClient;

namespace {

const rlim_t kFileSizeLimit = 8 * 1024 * 1024;

QString g_strRoot;       // scratch root, watched whole
QString g_strInst;       // <root>/up1/up2/inst, the current folder
QStringList g_baseline;  // the root outside the target, before any run

QString Zip() { return g_strInst + QStringLiteral("/pkg.zip"); }
QString Target() { return g_strInst + QStringLiteral("/pkg"); }

[[noreturn]] void Fail(const char* what, const QString& detail = QString())
{
    std::fprintf(stderr, "invariant broken: %s %s\n", what, qUtf8Printable(detail));
    std::abort();
}

// Every folder that exists outside the target before the runs, listed one
// level deep: anything new, however deep, first shows up as a new entry in one
// of them. The target and the archive are left out.
const char* const kWatched[] = {"", "/up1", "/up1/up2", "/up1/up2/inst", "/up1/up2/inst/other"};

QStringList Outside()
{
    QStringList items;
    for (const char* folder : kWatched) {
        const QString path = g_strRoot + QLatin1String(folder);
        const QFileInfoList entries = QDir(path).entryInfoList(
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
        for (const QFileInfo& entry : entries) {
            const QString item = entry.absoluteFilePath();
            if (item == Target() || item == Zip())
                continue;
            // A folder's own size and time follow its entries, which are watched themselves.
            if (entry.isDir() && !entry.isSymLink()) {
                items << item + QLatin1Char('/');
                continue;
            }
            items << QStringLiteral("%1 %2 %3 %4")
                         .arg(item)
                         .arg(entry.size())
                         .arg(entry.isSymLink())
                         .arg(entry.lastModified().toMSecsSinceEpoch());
        }
    }
    return items;
}

void CheckOutside(const char* when)
{
    const QStringList now = Outside();
    if (now == g_baseline)
        return;
    QStringList added;
    for (const QString& item : now)
        if (!g_baseline.contains(item))
            added << item;
    Fail(when, QStringLiteral("changed outside the target: ") + added.join(QStringLiteral(", ")));
}

// What the run left in the target: no link, and nothing that Windows would
// read as lying outside it.
void CheckTarget()
{
    QDirIterator it(Target(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileInfo().isSymLink())
            Fail("a link was left in the target", path);
        if (WindowsPath::Depth(path.mid(Target().size() + 1)) < 0)
            Fail("Windows would read this outside the target", path);
    }
}

// The folder may hold files made read-only by the archive's modes.
void RemoveTarget()
{
    QDirIterator it(Target(), QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        QFile::setPermissions(it.next(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir(Target()).removeRecursively();
}

void WriteOrDie(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush())
        Fail("cannot write", path);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Qt's warnings about odd names would drown libFuzzer's own output.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QByteArray pattern = QFile::encodeName(QDir::tempPath() + QStringLiteral("/fuzz_extract.XXXXXX"));
    if (!mkdtemp(pattern.data()))
        Fail("no scratch folder");
    g_strRoot = QFile::decodeName(pattern);
    g_strInst = g_strRoot + QStringLiteral("/up1/up2/inst");
    QDir().mkpath(g_strInst + QStringLiteral("/other"));
    WriteOrDie(g_strRoot + QStringLiteral("/root.txt"), "root");
    WriteOrDie(g_strRoot + QStringLiteral("/up1/up1.txt"), "up1");
    WriteOrDie(g_strRoot + QStringLiteral("/up1/up2/up2.txt"), "up2");
    WriteOrDie(g_strInst + QStringLiteral("/Corvel.exe"), "client");
    WriteOrDie(g_strInst + QStringLiteral("/other/keep.txt"), "keep");
    if (!QDir::setCurrent(g_strInst) || DAROZ::VxDir::GetCurrentPath() != g_strInst)
        Fail("cannot enter", g_strInst);
    g_baseline = Outside();
    std::atexit([] { RemoveTarget(); QDir(g_strRoot).removeRecursively(); });

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit {};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = kFileSizeLimit;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::fprintf(stderr, "fuzz_extract: scratch root %s\n", qUtf8Printable(g_strRoot));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1024 * 1024)
        return 0;
    RemoveTarget();
    WriteOrDie(Zip(), QByteArray(reinterpret_cast<const char*>(data), int(size)));

    const bool direct = CCompressClient::UnCompress(Zip(), Target());
    CheckOutside("after UnCompress");
    CheckTarget();

    std::atomic<int> finished {0};
    std::atomic<int> failed {0};
    {
        CCompressClient worker;
        QObject::connect(&worker, &CCompressClient::SignalFinishCompress, [&finished] { ++finished; });
        QObject::connect(&worker, &CCompressClient::SignalCompressFailed, [&failed] { ++failed; });
        worker.SetPackageName(QStringLiteral("pkg"));
        worker.start();
        if (!worker.wait(60000))
            Fail("worker still running after a minute");
    }
    if (finished + failed != 1)
        Fail("not exactly one outcome signal", QString::number(finished) + "/" + QString::number(failed));
    if ((finished == 1) != direct)
        Fail("thread run and direct call disagree");
    CheckOutside("after the thread run");
    CheckTarget();
    return 0;
}
