#include "ZipReader.h"
#include "HeldFile.h"

#include <QFile>
#include <QTextCodec>

#include <algorithm>
#include <cstring>

#include <quazip.h>
#include <quazipfile.h>
#include <unzip.h>
#include <zlib.h>

namespace Update {

namespace {

// Large enough that a big entry costs few calls, small enough that memory
// stays flat whatever the size of the entry.
constexpr int kChunkSize = 512 * 1024;
// A record's name is 64 KiB at most.
constexpr int kNameSize = 0xFFFF;

// Made-by hosts whose external attributes carry a Unix mode in the high half.
constexpr int kHostUnix = 3;
constexpr int kHostDarwin = 19;

constexpr int kEndRecordSize = 22;

bool IsStopRequested(const std::atomic<bool>& stop)
{
    return stop.load(std::memory_order_relaxed);
}

// The archive file as the zip library reads it: a few bytes at a time, with
// a seek before every record, going back and forth between the central
// directory and the entries' local headers. A buffered file drops its buffer
// at every seek and reads 16 KiB again; a few cached blocks serve those
// reads without a system call. Reads of a block's size or more go straight
// to the file. A held file is read where it is held, at an offset, so the
// descriptor that wrote it stays as it was.
class CArchiveFile : public QIODevice
{
public:
    explicit CArchiveFile(const QString& path) : m_file(path) {}
    explicit CArchiveFile(std::shared_ptr<const CHeldFile> held) : m_pHeld(std::move(held)) {}

    bool open(OpenMode) override
    {
        if (m_pHeld) {
            m_nSize = m_pHeld->Size();
            if (m_nSize < 0)
                return false;
        } else {
            if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
                return false;
            m_nSize = m_file.size();
        }
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
        if (m_pHeld)
            return m_pHeld->ReadAt(at, data, maxSize);
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
    std::shared_ptr<const CHeldFile> m_pHeld;
    qint64 m_nSize = 0;
    Block m_blocks[kBlocks];
    quint64 m_nUses = 0;
};

// The zip library's own record reader reads the record twice and builds
// times, comments and a name index that extraction never uses: one read here.
// Names are decoded as the library does it: UTF-8 when the record says so,
// otherwise with the archive's file name codec.
bool ReadEntryInfo(QuaZip& zip, QByteArray& nameBuffer, CZipEntry* info)
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

// An archive of nothing but its end record, which the zip library does not
// open: a valid package without entries.
bool IsEmptyArchive(QIODevice& file)
{
    if (!file.isOpen() && !file.open(QIODevice::ReadOnly))
        return false;
    if (!file.seek(0))
        return false;
    const QByteArray end = file.read(kEndRecordSize);
    if (end.size() != kEndRecordSize || !end.startsWith(QByteArrayLiteral("PK\x05\x06")))
        return false;
    const auto field16 = [&end](int at) { return quint8(end[at]) | quint8(end[at + 1]) << 8; };
    const int entries = field16(10);
    const int commentSize = field16(20);
    return entries == 0 && file.size() == kEndRecordSize + commentSize;
}

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

} // namespace

quint32 CZipEntry::UnixMode() const
{
    const int host = versionCreated >> 8;
    return host == kHostUnix || host == kHostDarwin ? externalAttr >> 16 : 0;
}

struct CZipReader::CPrivate
{
    CArchiveFile file;
    QuaZip zip;
    std::unique_ptr<QuaZipFile> entry; // for compression methods other than stored and deflated
    QByteArray in;
    QByteArray out;
    QByteArray name;
    bool open = false;
    bool damaged = false;
    int count = 0;
    int index = 0;

    explicit CPrivate(const QString& zipPath) : file(zipPath), zip(&file) {}
    explicit CPrivate(std::shared_ptr<const CHeldFile> held) : file(std::move(held)), zip(&file) {}

    EZipRead CopyDirect(const CZipEntry& info, const Sink& sink, const std::atomic<bool>& stop);
    EZipRead CopyThroughLibrary(const CZipEntry& info, const Sink& sink, const std::atomic<bool>& stop);
};

CZipReader::CZipReader(const QString& zipPath) : d(std::make_unique<CPrivate>(zipPath)) {}

CZipReader::CZipReader(std::shared_ptr<const CHeldFile> archive) : d(std::make_unique<CPrivate>(std::move(archive)))
{
}

CZipReader::~CZipReader()
{
    d->entry.reset();
    if (d->zip.isOpen())
        d->zip.close();
}

bool CZipReader::Open()
{
    if (!d->zip.open(QuaZip::mdUnzip))
        return IsEmptyArchive(d->file);
    d->open = true;
    const int count = d->zip.getEntriesCount();
    d->damaged = count < 0;
    d->count = qMax(count, 0);
    d->in = QByteArray(kChunkSize, Qt::Uninitialized);
    d->out = QByteArray(kChunkSize, Qt::Uninitialized);
    d->name = QByteArray(kNameSize, Qt::Uninitialized);
    return true;
}

bool CZipReader::Next(CZipEntry* entry)
{
    if (!d->open || d->damaged || d->index >= d->count)
        return false;
    const bool moved = d->index == 0 ? d->zip.goToFirstFile() : d->zip.goToNextFile();
    if (!moved || !ReadEntryInfo(d->zip, d->name, entry)) {
        d->damaged = true;
        return false;
    }
    ++d->index;
    return true;
}

bool CZipReader::AtEnd() const
{
    return !d->damaged && d->index == d->count;
}

EZipRead CZipReader::Read(const CZipEntry& entry, const Sink& sink, const std::atomic<bool>& stop)
{
    if (!d->open || d->index == 0 || entry.IsEncrypted())
        return EZipRead::Damaged;
    const bool direct = entry.method == 0 || entry.method == Z_DEFLATED;
    return direct ? d->CopyDirect(entry, sink, stop) : d->CopyThroughLibrary(entry, sink, stop);
}

// Reads a stored or deflated entry straight from the archive file in large
// chunks and inflates it into the sink: the zip library's own reader moves
// 16 KiB at a time with a seek before every read. The length and the CRC are
// checked against the central directory.
EZipRead CZipReader::CPrivate::CopyDirect(const CZipEntry& info, const Sink& sink, const std::atomic<bool>& stop)
{
    const qint64 offset = DataOffset(zip);
    if (offset < 0 || !file.seek(offset))
        return EZipRead::Damaged;
    const bool deflated = info.method == Z_DEFLATED;
    z_stream z {};
    if (deflated && inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return EZipRead::Damaged;
    const std::unique_ptr<z_stream, int (*)(z_stream*)> end(deflated ? &z : nullptr, inflateEnd);

    quint64 left = info.compressedSize;
    quint64 written = 0;
    uLong crc = crc32(0, nullptr, 0);
    const auto put = [&](const char* data, qint64 size) {
        crc = crc32_z(crc, reinterpret_cast<const Bytef*>(data), static_cast<z_size_t>(size));
        written += quint64(size);
        return size == 0 || sink(data, size);
    };
    for (;;) {
        if (IsStopRequested(stop))
            return EZipRead::Stopped;
        if (z.avail_in == 0 && left > 0) {
            const qint64 got = file.read(in.data(), qint64(qMin<quint64>(left, quint64(in.size()))));
            if (got <= 0)
                return EZipRead::Damaged;
            left -= quint64(got);
            z.next_in = reinterpret_cast<Bytef*>(in.data());
            z.avail_in = uInt(got);
        }
        if (!deflated) {
            if (z.avail_in == 0)
                break;
            if (!put(reinterpret_cast<const char*>(z.next_in), z.avail_in))
                return EZipRead::SinkFailed;
            z.avail_in = 0;
            continue;
        }
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = uInt(out.size());
        const int status = inflate(&z, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END)
            return EZipRead::Damaged;
        if (!put(out.constData(), out.size() - qint64(z.avail_out)))
            return EZipRead::SinkFailed;
        if (status == Z_STREAM_END)
            break;
    }
    return written == info.uncompressedSize && crc == info.crc ? EZipRead::Complete : EZipRead::Damaged;
}

// Other compression methods go through the zip library's reader.
EZipRead CZipReader::CPrivate::CopyThroughLibrary(const CZipEntry& info, const Sink& sink,
                                                  const std::atomic<bool>& stop)
{
    if (!entry)
        entry = std::make_unique<QuaZipFile>(&zip);
    if (!entry->open(QIODevice::ReadOnly))
        return EZipRead::Damaged;
    quint64 written = 0;
    EZipRead result = EZipRead::Complete;
    while (result == EZipRead::Complete) {
        if (IsStopRequested(stop)) {
            result = EZipRead::Stopped;
            break;
        }
        const qint64 read = entry->read(out.data(), out.size());
        if (read == 0)
            break;
        if (read < 0)
            result = EZipRead::Damaged;
        else if (!sink(out.constData(), read))
            result = EZipRead::SinkFailed;
        written += quint64(qMax<qint64>(read, 0));
    }
    entry->close(); // reports a CRC mismatch
    if (result != EZipRead::Complete)
        return result;
    return written == info.uncompressedSize && entry->getZipError() == UNZ_OK ? EZipRead::Complete
                                                                               : EZipRead::Damaged;
}

} // namespace Update
