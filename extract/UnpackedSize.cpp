#include "UnpackedSize.h"

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <limits>

#include <quazip/quazip.h>
#include <quazip/quazipfileinfo.h>

namespace Update {

namespace {
const qint64 kCap = std::numeric_limits<qint64>::max() / 2;
}

qint64 ArchiveUnpackedSize(const QString& zipPath)
{
    QuaZip zip(zipPath);
    if (!zip.open(QuaZip::mdUnzip))
        return -1;
    qint64 total = 0;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        if (!zip.getCurrentFileInfo(&info))
            return -1;
        // Capped, so that a lying directory cannot wrap the sum into a small number.
        const qint64 size = qint64(qMin<quint64>(info.uncompressedSize, kCap));
        total = qMin(total + size, kCap);
    }
    const bool readable = zip.getZipError() == UNZ_OK;
    zip.close();
    return readable ? total : -1;
}

QFileInfoList FilesEmptiedBeforeUnpacking(const QString& dir)
{
    return QDir(dir).entryInfoList(QDir::Files);
}

qint64 FolderFilesSize(const QString& dir)
{
    qint64 total = 0;
    const QFileInfoList files = FilesEmptiedBeforeUnpacking(dir);
    for (const QFileInfo& file : files) {
        if (!file.isSymLink())
            total = qMin(total + file.size(), kCap);
    }
    return total;
}

} // namespace Update
