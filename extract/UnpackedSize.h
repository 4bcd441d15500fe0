#pragma once

#include <QFileInfoList>
#include <QtGlobal>

class QString;

namespace Update {

// The bytes the archive's entries take once unpacked, as its directory
// records them; -1 when it cannot be read as a zip.
qint64 ArchiveUnpackedSize(const QString& zipPath);

// The files an unpacking removes from its target folder before it writes:
// those directly in dir, hidden ones not.
QFileInfoList FilesEmptiedBeforeUnpacking(const QString& dir);

// What that frees: their bytes (links free nothing).
qint64 FolderFilesSize(const QString& dir);

} // namespace Update
