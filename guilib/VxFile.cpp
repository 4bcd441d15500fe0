#include "VxFile.h"

#include <QByteArrayList>
#include <QFile>

namespace DAROZ {

QByteArray VxFile::ReadAll(const QStringList& names, const QString& dir)
{
    const QString strDir = dir.isEmpty() || dir.endsWith('/') ? dir : dir + '/';
    QByteArrayList contents;
    for (const QString& strName : names) {
        QFile file(strDir + strName);
        if (file.open(QIODevice::ReadOnly))
            contents.append(file.readAll());
    }
    return contents.join('\n');
}

} // namespace DAROZ
