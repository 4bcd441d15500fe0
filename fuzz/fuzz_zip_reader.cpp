// Bytes -> a zip archive, read entry by entry into a sink as the extraction
// worker reads it, without a target folder. Whatever the bytes, the reader
// ends; an entry it calls complete gave the sink exactly the length and the
// CRC that its record announces; a sink that refuses is reported as such,
// never as a complete entry; a stop request is honoured before any byte
// reaches the sink; and the directory reads the same way twice.

#include "ZipReader.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using Update::CZipEntry;
using Update::CZipReader;
using Update::EZipRead;

namespace {

// Beyond this a zip bomb is refused by the sink.
constexpr quint64 kSinkLimit = 64 * 1024 * 1024;

QString g_strZip;

[[noreturn]] void Fail(const char* what, const QString& detail = QString())
{
    std::fprintf(stderr, "invariant broken: %s %s\n", what, qUtf8Printable(detail));
    std::abort();
}

struct CCountingSink
{
    quint64 bytes = 0;
    uLong crc = crc32(0, nullptr, 0);
    bool refused = false;
    int calls = 0;

    bool Take(const char* data, qint64 size)
    {
        ++calls;
        if (size <= 0)
            Fail("an empty or negative chunk");
        if (bytes + quint64(size) > kSinkLimit) {
            refused = true;
            return false;
        }
        bytes += quint64(size);
        crc = crc32_z(crc, reinterpret_cast<const Bytef*>(data), z_size_t(size));
        return true;
    }
};

// Every entry's record, and what reading it gave ("-" for not read).
QStringList ReadAll(bool stop)
{
    const std::atomic<bool> stopFlag {stop};
    QStringList seen;
    CZipReader reader(g_strZip);
    if (!reader.Open())
        return {QStringLiteral("not a zip")};
    CZipEntry entry;
    while (reader.Next(&entry)) {
        CCountingSink sink;
        const EZipRead result = reader.Read(
            entry, [&sink](const char* data, qint64 size) { return sink.Take(data, size); }, stopFlag);
        if (result == EZipRead::Complete && (sink.bytes != entry.uncompressedSize || sink.crc != entry.crc))
            Fail("complete, but not the recorded length and CRC", entry.name);
        if ((result == EZipRead::SinkFailed) != sink.refused)
            Fail("a refusing sink told apart wrongly", entry.name);
        if (stop && (sink.calls > 0 || result == EZipRead::Complete))
            Fail("read on after a stop request", entry.name);
        if (!stop && result == EZipRead::Stopped)
            Fail("stopped without a request", entry.name);
        seen << entry.name + QLatin1Char(' ') + QString::number(entry.uncompressedSize);
    }
    seen << (reader.AtEnd() ? QStringLiteral("end") : QStringLiteral("damaged"));
    return seen;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QByteArray pattern = QFile::encodeName(QDir::tempPath() + QStringLiteral("/fuzz_zip_reader.XXXXXX"));
    if (!mkdtemp(pattern.data()))
        Fail("no scratch folder");
    static const QString folder = QFile::decodeName(pattern);
    g_strZip = folder + QStringLiteral("/pkg.zip");
    std::atexit([] { QDir(folder).removeRecursively(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1024 * 1024)
        return 0;
    QFile file(g_strZip);
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush())
        Fail("cannot write", g_strZip);
    file.close();

    const QStringList read = ReadAll(false);
    const QStringList stopped = ReadAll(true);
    if (read != stopped)
        Fail("the directory read differently", read.join(QLatin1Char('|')) + " / " + stopped.join(QLatin1Char('|')));
    return 0;
}
