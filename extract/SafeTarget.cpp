#include "SafeTarget.h"
#include "HeldFile.h"
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

} // namespace

CSafeTarget::CSafeTarget(const QString& dir, const std::atomic<bool>* stop) : m_strDir(dir), m_pStop(stop)
{
    const bool hasSeparator = dir.endsWith(QLatin1Char('/')) || dir.endsWith(QLatin1Char('\\'));
    m_strRoot = hasSeparator ? dir : dir + QLatin1Char('/');
}

Platform::Patience CSafeTarget::Patience() const
{
    Platform::Patience patience;
    patience.stop = m_pStop;
    return patience;
}

// The files go by name from the folder held here: if a link takes the
// folder's name meanwhile, no file of where it leads is removed.
void CSafeTarget::Empty() const
{
    // A link in the folder's place is removed, never followed: its target stays.
    if (!RemoveLinkAt(m_strDir))
        return;
    CHeldFolder folder(m_strDir, Patience());
    if (!folder.IsOpen())
        return;
    const QFileInfoList files = FilesEmptiedBeforeUnpacking(m_strDir);
    for (const QFileInfo& file : files)
        Platform::RemoveNameAt(folder.Handle(), NativeNameOf(file.fileName()));
    // Held, a folder cannot be removed on Windows.
    folder.Release();
    QDir().rmpath(m_strDir);
}

bool CSafeTarget::Create()
{
    m_failure = CFailure();
    RemoveLinkAt(m_strDir);
    QDir().mkpath(m_strDir);
    m_pFolder = std::make_shared<CHeldFolder>(m_strDir, Patience());
    if (m_pFolder->IsOpen())
        return true;
    m_failure = CFailure(EFailure::UnpackFile, {qt_error_string()});
    m_pFolder.reset();
    return false;
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

// Step by step from the held folder, each step held while the next is
// made in it; a step that is a link ends the walk.
void CSafeTarget::MakeFolder(const QString& entryName) const
{
    if (!m_pFolder || !StaysInside(entryName))
        return;
    Platform::FolderHandle current = m_pFolder->Handle();
    for (const QString& step : entryName.split(QLatin1Char('/'))) {
        if (step.isEmpty() || step == QLatin1String("."))
            continue;
        const Platform::FolderHandle next = Platform::MakeFolderAt(current, NativeNameOf(step), Patience());
        if (current != m_pFolder->Handle())
            Platform::CloseFolder(current);
        current = next;
        if (current == Platform::kNoFolder)
            return;
    }
    if (current != m_pFolder->Handle())
        Platform::CloseFolder(current);
}

QString CSafeTarget::FileName(const QString& entryName) const
{
    const QString base = entryName.mid(entryName.lastIndexOf(QLatin1Char('/')) + 1);
    if (base == QLatin1String(".") || !StaysInside(base))
        return QString();
    return base;
}

QString CSafeTarget::FilePath(const QString& entryName) const
{
    const QString base = FileName(entryName);
    return base.isEmpty() ? QString() : m_strRoot + base;
}

bool CTargetFile::Open(const CSafeTarget& target, const QString& name)
{
    m_failure = CFailure();
    m_pFolder = target.Folder();
    m_strName = name;
    m_strPath = target.FilePath(name);
    if (!m_pFolder || m_strPath.isEmpty())
        return false;
    const Platform::FileDescriptor file =
        Platform::CreateFileAt(m_pFolder->Handle(), NativeNameOf(name), target.Patience());
    if (file < 0)
        return false;
    m_pHeld = std::make_shared<CHeldFile>(file);
    // Written unbuffered: the chunks are large already.
    if (m_file.open(file, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle))
        return true;
    Discard();
    return false;
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
    const QStorageInfo volume(QFileInfo(m_strPath).absolutePath());
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
    if ((unixMode & kPermissionMask) != 0 && (type == 0 || type == kTypeRegular))
        Platform::SetPermissionBits(m_pHeld->Descriptor(), (unixMode & kPermissionMask) | kOwnerReadWrite);
    // The file as written is the one a later start may use.
    m_pHeld->Seal();
    return true;
}

void CTargetFile::Discard()
{
    m_file.close();
    if (!m_pHeld)
        return;
    const Platform::FileIdentity written = Platform::IdentityOf(m_pHeld->Descriptor());
    m_pHeld.reset();
    if (m_pFolder && written.valid)
        Platform::RemoveNameAt(m_pFolder->Handle(), NativeNameOf(m_strName), &written);
}

std::shared_ptr<CHeldFile> CTargetFile::TakeFile()
{
    return std::move(m_pHeld);
}

} // namespace Update
