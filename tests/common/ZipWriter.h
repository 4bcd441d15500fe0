#pragma once

// Writes zip archives byte by byte, so a test controls every field: names no
// zipper would write, Unix modes, and deliberate damage. Header-only; a test
// that includes it links zlib (ZLIB::ZLIB). No zip64, no data descriptors.

#include "FileBytes.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QMetaType>
#include <QString>

#include <zlib.h>

namespace TestZip {

struct Entry
{
    QByteArray name;            // as stored; a folder entry ends in "/"
    QByteArray data;
    bool deflate = true;        // false: stored
    bool utf8Name = false;      // flag bit 11: the name is UTF-8
    quint32 unixMode = 0;       // full st_mode, e.g. 0100755; 0: made on a host without modes
    // Damage, for failure cases.
    bool badCrc = false;        // recorded CRC differs from the data's
    bool flipData = false;      // one byte in the middle of the stored payload flipped
    bool encrypted = false;     // flag bit 0 set, payload left as is
    quint16 recordedMethod = 0; // nonzero: the method written in the headers
    quint32 recordedSize = 0;   // nonzero: the unpacked size written in the headers
};

inline Entry File(const QByteArray& name, const QByteArray& data)
{
    Entry e;
    e.name = name;
    e.data = data;
    return e;
}

inline Entry Folder(const QByteArray& name)
{
    Entry e;
    e.name = name;
    e.deflate = false;
    return e;
}

inline Entry WithMode(Entry e, quint32 mode)
{
    e.unixMode = mode;
    return e;
}

namespace detail {

inline void Put16(QByteArray& out, quint32 v)
{
    out.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
}

inline void Put32(QByteArray& out, quint32 v)
{
    Put16(out, v & 0xffff);
    Put16(out, v >> 16);
}

inline QByteArray RawDeflate(const QByteArray& data)
{
    z_stream s {};
    deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&s, uLong(data.size()))), Qt::Uninitialized);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    s.avail_in = uInt(data.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = uInt(out.size());
    deflate(&s, Z_FINISH);
    out.resize(int(s.total_out));
    deflateEnd(&s);
    return out;
}

// Fields shared by the local and the central header, from "version needed" on.
inline void PutCommon(QByteArray& out, const Entry& e, quint32 crc, const QByteArray& payload)
{
    const quint16 method = e.recordedMethod ? e.recordedMethod : (e.deflate ? 8 : 0);
    Put16(out, 20);                           // version needed
    Put16(out, (e.encrypted ? 1 : 0) | (e.utf8Name ? 0x800 : 0)); // flags
    Put16(out, method);
    Put16(out, 0);                            // time
    Put16(out, 0x21);                         // date: 1980-01-01
    Put32(out, e.badCrc ? crc ^ 0x5a5a5a5au : crc);
    Put32(out, quint32(payload.size()));
    Put32(out, e.recordedSize ? e.recordedSize : quint32(e.data.size()));
    Put16(out, quint32(e.name.size()));
    Put16(out, 0);                            // extra length
}

} // namespace detail

// The whole archive as bytes.
inline QByteArray MakeZip(const QList<Entry>& entries)
{
    using namespace detail;
    QByteArray out;
    QByteArray central;
    for (const Entry& e : entries) {
        const quint32 crc = quint32(crc32(crc32(0, nullptr, 0),
                                          reinterpret_cast<const Bytef*>(e.data.constData()),
                                          uInt(e.data.size())));
        QByteArray payload = e.deflate ? RawDeflate(e.data) : e.data;
        if (e.flipData && !payload.isEmpty())
            payload[payload.size() / 2] = char(payload[payload.size() / 2] ^ 0xff);
        const quint32 offset = quint32(out.size());

        Put32(out, 0x04034b50);
        PutCommon(out, e, crc, payload);
        out.append(e.name).append(payload);

        const bool folder = e.name.endsWith('/');
        Put32(central, 0x02014b50);
        Put16(central, (e.unixMode ? 3u << 8 : 0u) | 20u); // made by: Unix or FAT
        PutCommon(central, e, crc, payload);
        Put16(central, 0);                                  // comment length
        Put16(central, 0);                                  // disk
        Put16(central, 0);                                  // internal attributes
        Put32(central, (e.unixMode << 16) | (folder ? 0x10u : 0u));
        Put32(central, offset);
        central.append(e.name);
    }
    const quint32 centralOffset = quint32(out.size());
    out.append(central);
    Put32(out, 0x06054b50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, quint32(entries.size()));
    Put16(out, quint32(entries.size()));
    Put32(out, quint32(central.size()));
    Put32(out, centralOffset);
    Put16(out, 0);
    return out;
}

inline bool WriteFile(const QString& path, const QByteArray& bytes)
{
    return TestFiles::WriteAll(path, bytes);
}

inline bool WriteZip(const QString& path, const QList<Entry>& entries)
{
    return WriteFile(path, MakeZip(entries));
}

} // namespace TestZip

Q_DECLARE_METATYPE(TestZip::Entry)
