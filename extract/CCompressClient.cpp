#include "CCompressClient.h"
#include "PackagePaths.h"
#include "PathEntry.h"
#include "PlatformMode.h"
#include "UnpackedSize.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTextCodec>

#include <algorithm>
#include <cstring>
#include <memory>

#include <quazip.h>
#include <quazipfile.h>
#include <unzip.h>
#include <zlib.h>

namespace Update {

namespace {

// Large enough that a big entry costs few calls, small enough that memory
// stays flat whatever the size of the entry.
constexpr int kChunkSize = 512 * 1024;

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

// What extraction needs of a central directory record.
struct CEntryInfo
{
    QString name;
    int versionCreated = 0;
    int flags = 0;
    int method = 0;
    quint32 crc = 0;
    quint64 compressedSize = 0;
    quint64 uncompressedSize = 0;
    quint32 externalAttr = 0;

    bool isEncrypted() const { return (flags & 1) != 0; }
};

// The zip library's own record reader reads the record twice and builds
// times, comments and a name index that extraction never uses: one read here.
// Names are decoded as the library does it: UTF-8 when the record says so,
// otherwise with the archive's file name codec.
bool ReadEntryInfo(QuaZip& zip, QByteArray& nameBuffer, CEntryInfo* info)
{
    unz_file_info64 record {};
    if (unzGetCurrentFileInfo64(zip.getUnzFile(), &record, nameBuffer.data(), uLong(nameBuffer.size()),
                                nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    const int nameSize = int(qMin<quint64>(record.size_filename, quint64(nameBuffer.size())));
    const QByteArray name = QByteArray::fromRawData(nameBuffer.constData(), nameSize);
    info->flags = int(record.flag);
    info->name = (record.flag & UNZ_ENCODING_UTF8) ? QString::fromUtf8(name)
                                                   : zip.getFileNameCodec()->toUnicode(name);
    info->versionCreated = int(record.version);
    info->method = int(record.compression_method);
    info->crc = quint32(record.crc);
    info->compressedSize = record.compressed_size;
    info->uncompressedSize = record.uncompressed_size;
    info->externalAttr = quint32(record.external_fa);
    return true;
}

// Restores the mode a Unix zipper recorded, as unzip does, never with the
// setuid, setgid or sticky bits. Links and other special entries were written
// as plain files and keep the default bits.
void RestorePermissions(const QString& path, const CEntryInfo& info)
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

enum class CopyResult { Complete, Failed, Stopped };

// The archive file as the zip library reads it: a few bytes at a time, with
// a seek before every record, going back and forth between the central
// directory and the entries' local headers. A buffered file drops its buffer
// at every seek and reads 16 KiB again; a few cached blocks serve those
// reads without a system call. Reads of a block's size or more go straight
// to the file.
class CArchiveFile : public QIODevice
{
public:
    explicit CArchiveFile(const QString& path) : m_file(path) {}

    bool open(OpenMode) override
    {
        if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return false;
        m_nSize = m_file.size();
        return QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    void close() override
    {
        QIODevice::close();
        m_file.close();
    }
    bool isSequential() const override { return false; }
    qint64 size() const override { return m_nSize; }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 at = pos();
        if (at >= size())
            return 0;
        if (maxSize >= kBlockSize)
            return ReadFile(at, data, maxSize);
        Block* block = Find(at);
        if (!block && !(block = Load(at)))
            return -1;
        block->lastUse = ++m_nUses;
        const qint64 count = qMin(maxSize, block->start + block->data.size() - at);
        std::memcpy(data, block->data.constData() + (at - block->start), size_t(count));
        return count;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    static constexpr qint64 kBlockSize = 128 * 1024;
    struct Block
    {
        qint64 start = 0;
        QByteArray data;
        quint64 lastUse = 0;
    };

    qint64 ReadFile(qint64 at, char* data, qint64 maxSize)
    {
        if (m_file.pos() != at && !m_file.seek(at))
            return -1;
        return m_file.read(data, maxSize);
    }

    Block* Find(qint64 at)
    {
        for (Block& block : m_blocks) {
            if (at >= block.start && at < block.start + block.data.size())
                return &block;
        }
        return nullptr;
    }

    Block* Load(qint64 at)
    {
        Block* oldest = std::min_element(m_blocks, m_blocks + kBlocks,
            [](const Block& a, const Block& b) { return a.lastUse < b.lastUse; });
        oldest->data.resize(int(kBlockSize));
        const qint64 got = ReadFile(at, oldest->data.data(), kBlockSize);
        if (got <= 0) {
            oldest->data.clear();
            return nullptr;
        }
        oldest->data.resize(int(got));
        oldest->start = at;
        return oldest;
    }

    static constexpr int kBlocks = 4;
    QFile m_file;
    qint64 m_nSize = 0;
    Block m_blocks[kBlocks];
    quint64 m_nUses = 0;
};

// What one extraction shares between its entries: the archive file, the
// zip library's view of it, and the buffers.
struct CArchive
{
    QIODevice& raw;
    QuaZip& zip;
    QuaZipFile entry; // for compression methods other than stored and deflated
    QByteArray in;
    QByteArray out;
    QByteArray name; // a record's name is 64 KiB at most
    const std::atomic<bool>& stop;

    CArchive(QIODevice& file, QuaZip& openZip, const std::atomic<bool>& stopFlag)
        : raw(file), zip(openZip), entry(&openZip), in(kChunkSize, Qt::Uninitialized),
          out(kChunkSize, Qt::Uninitialized), name(0xFFFF, Qt::Uninitialized), stop(stopFlag)
    {
    }
};

// Where the entry's data starts in the archive; -1 when its local header
// is damaged or disagrees with the central directory.
qint64 DataOffset(QuaZip& zip)
{
    int method = 0;
    int level = 0;
    unzFile file = zip.getUnzFile();
    if (unzOpenCurrentFile2(file, &method, &level, 1) != UNZ_OK)
        return -1;
    const qint64 offset = static_cast<qint64>(unzGetCurrentFileZStreamPos64(file));
    unzCloseCurrentFile(file);
    return offset;
}

bool WriteAll(QFile& out, const char* data, qint64 size, uLong& crc)
{
    crc = crc32_z(crc, reinterpret_cast<const Bytef*>(data), static_cast<z_size_t>(size));
    return out.write(data, size) == size;
}

// Reads a stored or deflated entry straight from the archive file in large
// chunks and inflates it into the output: the zip library's own reader
// moves 16 KiB at a time with a seek before every read. The length and the
// CRC are checked against the central directory.
CopyResult CopyDirect(CArchive& archive, const CEntryInfo& info, QFile& out)
{
    const qint64 offset = DataOffset(archive.zip);
    if (offset < 0 || !archive.raw.seek(offset))
        return CopyResult::Failed;
    const bool deflated = info.method == Z_DEFLATED;
    z_stream z {};
    if (deflated && inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return CopyResult::Failed;
    const std::unique_ptr<z_stream, int (*)(z_stream*)> end(deflated ? &z : nullptr, inflateEnd);

    quint64 left = info.compressedSize;
    quint64 written = 0;
    uLong crc = crc32(0, nullptr, 0);
    for (;;) {
        if (IsStopRequested(archive.stop))
            return CopyResult::Stopped;
        if (z.avail_in == 0 && left > 0) {
            const qint64 got = archive.raw.read(archive.in.data(), qint64(qMin<quint64>(left, quint64(archive.in.size()))));
            if (got <= 0)
                return CopyResult::Failed;
            left -= quint64(got);
            z.next_in = reinterpret_cast<Bytef*>(archive.in.data());
            z.avail_in = uInt(got);
        }
        if (!deflated) {
            if (z.avail_in == 0)
                break;
            if (!WriteAll(out, reinterpret_cast<const char*>(z.next_in), z.avail_in, crc))
                return CopyResult::Failed;
            written += z.avail_in;
            z.avail_in = 0;
            continue;
        }
        z.next_out = reinterpret_cast<Bytef*>(archive.out.data());
        z.avail_out = uInt(archive.out.size());
        const int status = inflate(&z, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END)
            return CopyResult::Failed;
        const qint64 produced = archive.out.size() - qint64(z.avail_out);
        if (!WriteAll(out, archive.out.constData(), produced, crc))
            return CopyResult::Failed;
        written += quint64(produced);
        if (status == Z_STREAM_END)
            break;
    }
    return written == info.uncompressedSize && crc == info.crc ? CopyResult::Complete : CopyResult::Failed;
}

// Other compression methods go through the zip library's reader.
CopyResult CopyThroughLibrary(CArchive& archive, const CEntryInfo& info, QFile& out)
{
    QuaZipFile& entry = archive.entry;
    if (!entry.open(QIODevice::ReadOnly))
        return CopyResult::Failed;
    quint64 written = 0;
    for (;;) {
        if (IsStopRequested(archive.stop)) {
            entry.close();
            return CopyResult::Stopped;
        }
        const qint64 read = entry.read(archive.out.data(), archive.out.size());
        if (read == 0)
            break;
        if (read < 0 || out.write(archive.out.constData(), read) != read) {
            entry.close();
            return CopyResult::Failed;
        }
        written += quint64(read);
    }
    entry.close(); // reports a CRC mismatch
    return written == info.uncompressedSize && entry.getZipError() == UNZ_OK ? CopyResult::Complete
                                                                              : CopyResult::Failed;
}

EntryResult WriteFile(CArchive& archive, const CEntryInfo& info, const QString& path)
{
    if (info.isEncrypted())
        return EntryResult::Failed;
    QFile out(path);
    // A link left in the folder would send the content elsewhere. Written
    // unbuffered: the chunks are large already.
    if (QFileInfo(path).isSymLink() || !out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return EntryResult::Skipped;
    const bool direct = info.method == 0 || info.method == Z_DEFLATED;
    const CopyResult result = direct ? CopyDirect(archive, info, out) : CopyThroughLibrary(archive, info, out);
    out.close();
    if (result != CopyResult::Complete || out.error() != QFileDevice::NoError) {
        out.remove();
        return result == CopyResult::Stopped ? EntryResult::Stopped : EntryResult::Failed;
    }
    RestorePermissions(path, info);
    return EntryResult::Written;
}

EntryResult ExtractCurrent(CArchive& archive, const QString& root)
{
    CEntryInfo info;
    if (!ReadEntryInfo(archive.zip, archive.name, &info))
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
    return WriteFile(archive, info, root + base);
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
    if (!RemoveLinkAt(path))
        return;
    QDir dir(path);
    if (!dir.exists())
        return;
    const QFileInfoList files = FilesEmptiedBeforeUnpacking(path);
    for (const QFileInfo& file : files)
        dir.remove(file.fileName());
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
    CArchiveFile file(zipPath);
    QuaZip zip(&file);
    if (!zip.open(QuaZip::mdUnzip)) {
        if (!IsEmptyArchive(zipPath))
            return false;
        QDir().mkpath(targetDir);
        return true;
    }
    const bool hasSeparator = targetDir.endsWith(QLatin1Char('/')) || targetDir.endsWith(QLatin1Char('\\'));
    const QString root = hasSeparator ? targetDir : targetDir + QLatin1Char('/');
    QDir().mkpath(targetDir);

    CArchive archive(file, zip, stop);
    const int count = zip.getEntriesCount();
    bool ok = count >= 0;
    for (int i = 0; ok && i < count; ++i) {
        ok = !IsStopRequested(stop) && (i == 0 ? zip.goToFirstFile() : zip.goToNextFile());
        if (!ok)
            break;
        const EntryResult result = ExtractCurrent(archive, root);
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
