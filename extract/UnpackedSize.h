#pragma once

#include <QtGlobal>

class QString;

namespace Update {

// The bytes the archive's entries take once unpacked, as its directory
// records them; -1 when it cannot be read as a zip.
qint64 ArchiveUnpackedSize(const QString& zipPath);

} // namespace Update
