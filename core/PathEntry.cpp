#include "PathEntry.h"
#include "PlatformFileRead.h"
#include "PlatformLink.h"

#include <QFile>

namespace Update {

namespace {

// A trailing separator would make the system look through a link at the
// folder it names.
Platform::NativePath Native(QString path)
{
    while (path.size() > 1 && (path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\'))))
        path.chop(1);
    return {QFile::encodeName(path).toStdString(), path.toStdU16String()};
}

} // namespace

EPathEntry PathEntryAt(const QString& path)
{
    switch (Platform::EntryKindAt(Native(path))) {
    case Platform::EntryKind::Missing:
        return EPathEntry::Missing;
    case Platform::EntryKind::Link:
        return EPathEntry::Link;
    case Platform::EntryKind::File:
        return EPathEntry::File;
    case Platform::EntryKind::Folder:
        return EPathEntry::Folder;
    case Platform::EntryKind::Other:
        break;
    }
    return EPathEntry::Other;
}

bool RemoveLinkAt(const QString& path)
{
    return Platform::RemoveLink(Native(path));
}

std::optional<QByteArray> ReadSmallFile(const QString& path, qint64 maxBytes)
{
    std::string bytes;
    if (maxBytes < 0 || Platform::ReadSmallFile(Native(path), std::size_t(maxBytes), bytes) != Platform::FileRead::Read)
        return std::nullopt;
    return QByteArray(bytes.data(), int(bytes.size()));
}

QString LongNameAt(const QString& path)
{
    return QString::fromStdU16String(Platform::LongNameAt(Native(path)));
}

} // namespace Update
