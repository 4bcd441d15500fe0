#pragma once

#include <QtGlobal>

class QString;

namespace Update {

// The bytes the archive's entries take once unpacked, as its directory
// records them; -1 when it cannot be read as a zip.
qint64 ArchiveUnpackedSize(const QString& zipPath);

// What emptying the target folder frees before a package is unpacked into
// it: the bytes of the files directly in dir that the unpacking removes
// (hidden ones stay; links free nothing).
qint64 FolderFilesSize(const QString& dir);

} // namespace Update
