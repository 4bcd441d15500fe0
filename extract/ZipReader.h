#pragma once

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

namespace Update {

class CHeldFile;

// What extraction needs of an entry's central directory record.
struct CZipEntry
{
    QString name;
    int versionCreated = 0;
    int flags = 0;
    int method = 0;
    quint32 crc = 0;
    quint64 compressedSize = 0;
    quint64 uncompressedSize = 0;
    quint32 externalAttr = 0;

    bool IsFolder() const { return name.endsWith(QLatin1Char('/')); }
    bool IsEncrypted() const { return (flags & 1) != 0; }
    // The st_mode that a Unix zipper recorded; 0 for entries made elsewhere.
    quint32 UnixMode() const;
};

enum class EZipRead {
    Complete,   // every byte went to the sink, length and CRC as recorded
    Damaged,    // the entry does not read back whole, or cannot be read at all
    SinkFailed, // the sink refused a chunk
    Stopped,
};

// Reads a zip archive entry by entry, in archive order, and streams each
// entry's content in large chunks: memory stays flat whatever the size of an
// entry. Stored and deflated entries are inflated here straight from the
// archive file; other methods go through the zip library's own reader.
class CZipReader
{
public:
    // Takes the next chunk of an entry's content; false ends the read.
    using Sink = std::function<bool(const char* data, qint64 size)>;

    explicit CZipReader(const QString& zipPath);
    // Reads the archive from a file held open, whatever its name names.
    explicit CZipReader(std::shared_ptr<const CHeldFile> archive);
    ~CZipReader();
    CZipReader(const CZipReader&) = delete;
    CZipReader& operator=(const CZipReader&) = delete;

    // False when the file cannot be read as a zip. An archive of nothing
    // but its end record opens, with no entries.
    bool Open();

    // Moves to the next entry and reads its record. False after the last
    // entry, and where the directory is damaged: AtEnd() tells which.
    bool Next(CZipEntry* entry);
    bool AtEnd() const;

    // Streams the content of the entry that Next() last gave. A stop request
    // is honoured between chunks.
    EZipRead Read(const CZipEntry& entry, const Sink& sink, const std::atomic<bool>& stop);

private:
    struct CPrivate;
    std::unique_ptr<CPrivate> d;
};

} // namespace Update
