#pragma once

// The scratch installation of the fuzz targets that write files: <root>/up1/
// up2/inst, the current folder, with files around it, and the package's
// target folder inst/pkg. Nothing may appear, change or vanish outside the
// target (the installation sits three levels down the root, so escapes
// upwards land where they are seen), and the target may hold no link and no
// name that Windows reads as lying outside it.

#include "VxDir.h"
#include "WindowsPath.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

namespace Scratch {

inline QString g_strRoot;      // scratch root, watched whole
inline QString g_strInst;      // <root>/up1/up2/inst, the current folder
inline QStringList g_baseline; // the root outside the target, before any run

inline QString Zip() { return g_strInst + QStringLiteral("/pkg.zip"); }
inline QString Target() { return g_strInst + QStringLiteral("/pkg"); }

[[noreturn]] inline void Fail(const char* what, const QString& detail = QString())
{
    std::fprintf(stderr, "invariant broken: %s %s\n", what, qUtf8Printable(detail));
    std::abort();
}

// Every folder that exists outside the target before the runs, listed one
// level deep: anything new, however deep, first shows up as a new entry in one
// of them. The target and the archive are left out.
inline QStringList Outside()
{
    static const char* const watched[] = {"", "/up1", "/up1/up2", "/up1/up2/inst", "/up1/up2/inst/other"};
    QStringList items;
    for (const char* folder : watched) {
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

inline void CheckOutside(const char* when)
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

// What the run left in the target: no link but those the caller made itself,
// and nothing that Windows would read as lying outside it.
inline void CheckTarget(const QStringList& ownLinks = QStringList())
{
    QDirIterator it(Target(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileInfo().isSymLink() && !ownLinks.contains(path))
            Fail("a link was left in the target", path);
        if (WindowsPath::Depth(path.mid(Target().size() + 1)) < 0)
            Fail("Windows would read this outside the target", path);
    }
}

// The folder may hold files made read-only by the archive's modes.
inline void RemoveTarget()
{
    QDirIterator it(Target(), QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!it.fileInfo().isSymLink())
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QDir(Target()).removeRecursively();
}

inline void WriteOrDie(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush())
        Fail("cannot write", path);
}

// Makes the scratch installation under the temporary folder, enters it and
// takes the baseline; removed at exit.
inline void Make(const char* name)
{
    // Qt's warnings about odd names would drown libFuzzer's own output.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QByteArray pattern = QFile::encodeName(QDir::tempPath() + QLatin1Char('/') + QLatin1String(name)
                                           + QStringLiteral(".XXXXXX"));
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
    std::fprintf(stderr, "%s: scratch root %s\n", name, qUtf8Printable(g_strRoot));
}

} // namespace Scratch
