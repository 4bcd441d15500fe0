#include "CCompressClient.h"
#include "PackagePaths.h"
#include "PlatformMode.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipfileinfo.h>

namespace Update {

namespace {

// Large enough that a big entry costs few calls, small enough that memory
// stays flat whatever the size of the entry.
constexpr int kChunkSize = 256 * 1024;

// Made-by hosts whose external attributes carry a Unix mode in the high half.
constexpr int kHostUnix = 3;
constexpr int kHostDarwin = 19;
constexpr quint32 kTypeMask = 0170000;
constexpr quint32 kTypeRegular = 0100000;
constexpr quint32 kPermissionMask = 0777;
// The owner keeps read and write, so a later entry of the same name can
// still replace the file.
constexpr quint32 kOwnerReadWrite = 0600;

constexpr int kEndRecordSize = 22;

enum class EntryResult { Written, Skipped, Failed, Stopped };

bool IsStopRequested(const std::atomic<bool>& stop)
{
    return stop.load(std::memory_order_relaxed);
}

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

// A name joined to the target folder stays below it on every platform: not
// rooted, no drive letter or stream (":"), no ".." step however written.
bool StaysInside(const QString& name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return false;
    if (name.contains(QLatin1Char(':')))
        return false;
    const QStringList steps = Steps(name);
    return std::none_of(steps.begin(), steps.end(), IsParentLikeStep);
}

bool IsPlainFileName(const QString& base)
{
    return base != QLatin1String(".") && StaysInside(base);
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

void MakeFolder(const QString& root, const QString& name)
{
    if (!StaysInside(name) || PassesThroughLink(root, name))
        return;
    QDir(root).mkpath(name);
}

// Restores the mode a Unix zipper recorded, as unzip does, never with the
// setuid, setgid or sticky bits. Links and other special entries were written
// as plain files and keep the default bits.
void RestorePermissions(const QString& path, const QuaZipFileInfo64& info)
{
    const int host = info.versionCreated >> 8;
    if (host != kHostUnix && host != kHostDarwin)
        return;
    const quint32 mode = info.externalAttr >> 16;
    const quint32 type = mode & kTypeMask;
    if ((mode & kPermissionMask) == 0 || (type != 0 && type != kTypeRegular))
        return;
    Platform::SetPermissionBits(QFile::encodeName(path).toStdString(),
                                (mode & kPermissionMask) | kOwnerReadWrite);
}

constexpr qint64 kCopyStopped = -2;

// Number of bytes copied, -1 when the entry cannot be read or the file takes
// less than it was given, kCopyStopped when a stop was requested.
qint64 Copy(QuaZipFile& entry, QFile& out, QByteArray& buffer, const std::atomic<bool>& stop)
{
    qint64 total = 0;
    for (;;) {
        if (IsStopRequested(stop))
            return kCopyStopped;
        const qint64 read = entry.read(buffer.data(), buffer.size());
        if (read < 0)
            return -1;
        if (read == 0)
            return total;
        if (out.write(buffer.constData(), read) != read)
            return -1;
        total += read;
    }
}

EntryResult WriteFile(QuaZipFile& entry, const QuaZipFileInfo64& info, const QString& path,
                      QByteArray& buffer, const std::atomic<bool>& stop)
{
    if (info.isEncrypted() || !entry.open(QIODevice::ReadOnly))
        return EntryResult::Failed;
    QFile out(path);
    // A link left in the folder would send the content elsewhere.
    if (QFileInfo(path).isSymLink() || !out.open(QIODevice::WriteOnly)) {
        entry.close();
        return EntryResult::Skipped;
    }
    const qint64 copied = Copy(entry, out, buffer, stop);
    if (copied == kCopyStopped) {
        entry.close();
        out.remove();
        return EntryResult::Stopped;
    }
    entry.close(); // reports a CRC mismatch
    const bool complete = copied == static_cast<qint64>(info.uncompressedSize)
        && entry.getZipError() == UNZ_OK && out.flush();
    out.close();
    if (!complete || out.error() != QFileDevice::NoError) {
        out.remove();
        return EntryResult::Failed;
    }
    RestorePermissions(path, info);
    return EntryResult::Written;
}

EntryResult ExtractCurrent(QuaZip& zip, QuaZipFile& entry, const QString& root, QByteArray& buffer,
                           const std::atomic<bool>& stop)
{
    QuaZipFileInfo64 info;
    if (!zip.getCurrentFileInfo(&info))
        return EntryResult::Failed;
    const QString& name = info.name;
    if (name.endsWith(QLatin1Char('/'))) {
        MakeFolder(root, name);
        return EntryResult::Written;
    }
    // Files land flat in the target folder under their base names.
    const QString base = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
    if (!IsPlainFileName(base))
        return EntryResult::Skipped;
    return WriteFile(entry, info, root + base, buffer, stop);
}

// An archive of nothing but its end record, which the zip library does not
// open: a valid package without entries.
bool IsEmptyArchive(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray end = file.read(kEndRecordSize);
    if (end.size() != kEndRecordSize || !end.startsWith(QByteArrayLiteral("PK\x05\x06")))
        return false;
    const auto field16 = [&end](int at) { return quint8(end[at]) | quint8(end[at + 1]) << 8; };
    const int entries = field16(10);
    const int commentSize = field16(20);
    return entries == 0 && file.size() == kEndRecordSize + commentSize;
}

void EmptyFolder(const QString& path)
{
    QDir dir(path);
    if (!dir.exists())
        return;
    dir.setFilter(QDir::Files);
    const QStringList names = dir.entryList();
    for (const QString& name : names)
        dir.remove(name);
    dir.rmpath(path);
}

} // namespace

CCompressClient::CCompressClient(QObject* parent) : QThread(parent) {}

// run() cannot be interrupted, so an owner that lets go early still waits.
CCompressClient::~CCompressClient()
{
    wait();
    m_bRunReturned.load(std::memory_order_acquire);
}

void CCompressClient::SetPackageName(const QString& name)
{
    m_strPackageName = name;
    m_bStopRequested.store(false);
}

void CCompressClient::RequestStop()
{
    m_bStopRequested.store(true);
}

bool CCompressClient::UnCompress(const QString& zipPath, const QString& targetDir)
{
    const std::atomic<bool> never {false};
    return UnCompressUntil(zipPath, targetDir, never);
}

bool CCompressClient::UnCompressUntil(const QString& zipPath, const QString& targetDir,
                                      const std::atomic<bool>& stop)
{
    QuaZip zip(zipPath);
    if (!zip.open(QuaZip::mdUnzip)) {
        if (!IsEmptyArchive(zipPath))
            return false;
        QDir().mkpath(targetDir);
        return true;
    }
    const bool hasSeparator = targetDir.endsWith(QLatin1Char('/')) || targetDir.endsWith(QLatin1Char('\\'));
    const QString root = hasSeparator ? targetDir : targetDir + QLatin1Char('/');
    QDir().mkpath(targetDir);

    // One reader on the archive already open: the central directory is read once.
    QuaZipFile entry(&zip);
    QByteArray buffer(kChunkSize, Qt::Uninitialized);
    const int count = zip.getEntriesCount();
    bool ok = count >= 0;
    for (int i = 0; ok && i < count; ++i) {
        ok = !IsStopRequested(stop) && (i == 0 ? zip.goToFirstFile() : zip.goToNextFile());
        if (!ok)
            break;
        const EntryResult result = ExtractCurrent(zip, entry, root, buffer, stop);
        ok = result == EntryResult::Written || result == EntryResult::Skipped;
    }
    zip.close();
    return ok;
}

void CCompressClient::run()
{
    Extract();
    m_bRunReturned.store(true, std::memory_order_release);
}

void CCompressClient::Extract()
{
    if (m_strPackageName.isEmpty())
        return;
    const QString archive = GetPackageFilePath(m_strPackageName, QStringLiteral("zip"));
    const QString target = GetPackageDir(m_strPackageName);
    if (m_bStopRequested.load())
        return;
    EmptyFolder(target);
    const bool ok = UnCompressUntil(archive, target, m_bStopRequested);
    // Whoever asked to stop has given up on this run and waits for no word.
    if (m_bStopRequested.load())
        return;
    if (ok)
        emit SignalFinishCompress();
    else
        emit SignalCompressFailed();
}

} // namespace Update
