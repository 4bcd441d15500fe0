#include "SafeTarget.h"
#include "PathEntry.h"
#include "PlatformMode.h"
#include "UnpackedSize.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#include <QStringList>

#include <algorithm>

namespace Update {

namespace {

constexpr quint32 kTypeMask = 0170000;
constexpr quint32 kTypeRegular = 0100000;
constexpr quint32 kPermissionMask = 0777;
// The owner keeps read and write, so a later entry of the same name can
// still replace the file.
constexpr quint32 kOwnerReadWrite = 0600;

// Path steps as Windows reads them: both separators count there.
QStringList Steps(const QString& name)
{
    QStringList steps;
    int start = 0;
    for (int i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != QLatin1Char('/') && name[i] != QLatin1Char('\\'))
            continue;
        steps << name.mid(start, i - start);
        start = i + 1;
    }
    return steps;
}

// Windows drops a name's trailing dots and spaces, so a step of nothing else
// may name the parent there (".. "); only the plain "." is harmless.
bool IsParentLikeStep(const QString& step)
{
    if (step.isEmpty() || step == QLatin1String("."))
        return false;
    for (const QChar c : step) {
        if (c != QLatin1Char('.') && c != QLatin1Char(' '))
            return false;
    }
    return true;
}

// An existing link on the way would carry a new folder out of the target.
bool PassesThroughLink(const QString& root, const QString& relative)
{
    QString path = root;
    for (const QString& step : Steps(relative)) {
        if (step.isEmpty())
            continue;
        path += step;
        if (QFileInfo(path).isSymLink())
            return true;
        path += QLatin1Char('/');
    }
    return false;
}

} // namespace

CSafeTarget::CSafeTarget(const QString& dir) : m_strDir(dir)
{
    const bool hasSeparator = dir.endsWith(QLatin1Char('/')) || dir.endsWith(QLatin1Char('\\'));
    m_strRoot = hasSeparator ? dir : dir + QLatin1Char('/');
}

void CSafeTarget::Empty() const
{
    // A link in the folder's place is removed, never followed: its target stays.
    if (!RemoveLinkAt(m_strDir))
        return;
    QDir dir(m_strDir);
    if (!dir.exists())
        return;
    const QFileInfoList files = FilesEmptiedBeforeUnpacking(m_strDir);
    for (const QFileInfo& file : files)
        dir.remove(file.fileName());
    dir.rmpath(m_strDir);
}

void CSafeTarget::Create() const
{
    QDir().mkpath(m_strDir);
}

bool CSafeTarget::StaysInside(const QString& name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return false;
    if (name.contains(QLatin1Char(':')))
        return false;
    const QStringList steps = Steps(name);
    return std::none_of(steps.begin(), steps.end(), IsParentLikeStep);
}

void CSafeTarget::MakeFolder(const QString& entryName) const
{
    if (!StaysInside(entryName) || PassesThroughLink(m_strRoot, entryName))
        return;
    QDir(m_strRoot).mkpath(entryName);
}

QString CSafeTarget::FilePath(const QString& entryName) const
{
    const QString base = entryName.mid(entryName.lastIndexOf(QLatin1Char('/')) + 1);
    if (base == QLatin1String(".") || !StaysInside(base))
        return QString();
    return m_strRoot + base;
}

bool CTargetFile::Open(const QString& path)
{
    m_failure = CFailure();
    m_file.setFileName(path);
    // Written unbuffered: the chunks are large already.
    return !QFileInfo(path).isSymLink() && m_file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

bool CTargetFile::Write(const char* data, qint64 size)
{
    // A short write leaves the reason untold; writing the rest brings it.
    while (size > 0) {
        const qint64 written = m_file.write(data, size);
        if (written <= 0) {
            NoteWriteFailure(size);
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// Qt gives a write that ran out of room no reason of its own; the volume's
// free space tells, read before the partial file goes and frees its room.
void CTargetFile::NoteWriteFailure(qint64 unwritten)
{
    const QStorageInfo volume(QFileInfo(m_file.fileName()).absolutePath());
    if (volume.isValid() && volume.bytesAvailable() < qMax<qint64>(unwritten, 1))
        m_failure = CFailure(EFailure::UnpackDiskFull);
    else
        m_failure = CFailure(EFailure::UnpackFile, {m_file.errorString()});
}

bool CTargetFile::Finish(quint32 unixMode)
{
    m_file.close();
    if (m_file.error() != QFileDevice::NoError) {
        m_failure = CFailure(EFailure::UnpackFile, {m_file.errorString()});
        return false;
    }
    // As unzip does, never with the setuid, setgid or sticky bits. Links and
    // other special entries were written as plain files and keep the
    // default bits.
    const quint32 type = unixMode & kTypeMask;
    if ((unixMode & kPermissionMask) == 0 || (type != 0 && type != kTypeRegular))
        return true;
    Platform::SetPermissionBits(QFile::encodeName(m_file.fileName()).toStdString(),
                                (unixMode & kPermissionMask) | kOwnerReadWrite);
    return true;
}

void CTargetFile::Discard()
{
    m_file.close();
    m_file.remove();
}

} // namespace Update
