// Bytes -> a list of steps on the package's target folder, one per line: the
// first byte picks the step, the rest is an entry name as an archive would
// carry it (UTF-8).
//
//   'D' name       a folder entry: MakeFolder
//   'F' name       a file entry: FilePath, then the file written and kept
//                  with a mode taken from the name's length
//   'X' name       a file entry whose write is given up: the file goes
//   'L' name       a link named name in the target, to a folder outside
//   'K' name       a link named name in the target, to a file outside
//   'E'            the target emptied
//
// Whatever the steps, nothing outside the target appears, changes or
// vanishes, the target holds no link but the ones made here and no name that
// Windows reads as lying outside it (ScratchInstallation.h), and every path
// that FilePath gives is one name directly in the target that Windows too
// reads inside it.

#include "SafeTarget.h"
#include "ScratchInstallation.h"

#include <QFileInfo>

#include <cstdint>

using namespace Scratch;
using Update::CSafeTarget;
using Update::CTargetFile;

namespace {

// A link the fuzzer itself makes: one step of plain characters, so that the
// link stays in the target whatever its name.
bool IsPlainLinkName(const QString& name)
{
    if (name.isEmpty() || name.size() > 64)
        return false;
    for (const QChar c : name) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('_') && c != QLatin1Char('-'))
            return false;
    }
    return true;
}

void CheckFilePath(const QString& name, const QString& path)
{
    const QString prefix = Target() + QLatin1Char('/');
    if (!path.startsWith(prefix))
        Fail("a file path outside the target", name + " -> " + path);
    // Flat on POSIX. On Windows a backslash nests it below the target, and a
    // name such as ".\\" reads as the target itself, which cannot be opened
    // for writing; neither leads out.
    const QString base = path.mid(prefix.size());
    if (base.contains(QLatin1Char('/')) || WindowsPath::Depth(base) < 0)
        Fail("a file path that is not one name in the target", name + " -> " + path);
}

void WriteFile(const CSafeTarget& target, const QString& name, bool keep)
{
    const QString path = target.FilePath(name);
    if (path.isEmpty())
        return;
    CheckFilePath(name, path);
    CTargetFile file;
    if (!file.Open(target, target.FileName(name)))
        return;
    const QByteArray content = name.toUtf8();
    if (!file.Write(content.constData(), content.size()))
        Fail("cannot write a small file inside", path);
    if (!keep) {
        file.Discard();
        if (QFileInfo::exists(path))
            Fail("a given-up file stayed", path);
        return;
    }
    // Every mode, special bits and file types included.
    const quint32 mode = quint32(name.size() * 2654435761u) & 0177777;
    file.Finish(mode);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Make("fuzz_safe_target");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 64 * 1024)
        return 0;
    RemoveTarget();
    CSafeTarget target(Target());
    target.Create();
    QStringList links;
    const QList<QByteArray> lines = QByteArray(reinterpret_cast<const char*>(data), int(size)).split('\n');
    for (const QByteArray& line : lines) {
        if (line.isEmpty())
            continue;
        const QString name = QString::fromUtf8(line.mid(1));
        switch (line[0]) {
        case 'D':
            target.MakeFolder(name);
            break;
        case 'F':
            WriteFile(target, name, true);
            break;
        case 'X':
            WriteFile(target, name, false);
            break;
        case 'L':
        case 'K': {
            const QString link = Target() + QLatin1Char('/') + name;
            const QString to = g_strRoot + (line[0] == 'L' ? QStringLiteral("/up1") : QStringLiteral("/root.txt"));
            if (IsPlainLinkName(name) && QFile::link(to, link))
                links << link;
            break;
        }
        case 'E':
            target.Empty();
            target.Create();
            break;
        default:
            break;
        }
    }
    CheckOutside("after the steps");
    CheckTarget(links);
    return 0;
}
