#pragma once

// A file's bytes, read or written whole: empty when it cannot be read, false
// when not all of them could be written.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace TestFiles {

inline QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

} // namespace TestFiles
