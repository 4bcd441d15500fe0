#pragma once

#include <QByteArray>
#include <QStringList>

namespace DAROZ {

class VxFile
{
public:
    // Contents of dir + each name, in the order given, joined by a newline.
    // A file that cannot be read is left out.
    static QByteArray ReadAll(const QStringList& names, const QString& dir);
};

} // namespace DAROZ
