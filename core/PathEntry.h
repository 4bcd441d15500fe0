#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace Update {

// What lies at a path, told without following a link found there.
enum class EPathEntry {
    Missing,
    Link,   // a symbolic link; on Windows also a junction or another
            // reparse point that stands for something elsewhere
    File,   // a regular file
    Folder, // a real folder
    Other,  // a pipe, a socket, a device
};

EPathEntry PathEntryAt(const QString& path);

// The updater runs with the client's rights inside a folder that others may
// write to: a link planted where it writes would carry its writes, and the
// emptying of a folder, to wherever the link points. This removes a link
// found at path, never what it points to, so that a real file or folder
// takes its place. True when no link is left there (also when there was
// none).
bool RemoveLinkAt(const QString& path);

// The whole of a small file the installation holds ("UpdateKey.pub",
// "UpdateCA.pem"), a link followed; nothing when it is not a regular file
// (a folder, a pipe, a device), is longer than maxBytes, or cannot be read.
// Never blocks: a pipe without a writer is refused, not waited on.
std::optional<QByteArray> ReadSmallFile(const QString& path, qint64 maxBytes);

// Windows reaches an item by its 8.3 short name too ("ZOREZI~1.EXE"): the
// long name of the item at path, whose last step may be such a name; empty
// when nothing is there, and on systems without short names.
QString LongNameAt(const QString& path);

} // namespace Update
