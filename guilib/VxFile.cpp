#include "VxFile.h"

namespace DAROZ {

QByteArray VxFile::ReadAll(const QStringList&, const QString&)
{
    return {};
}

} // namespace DAROZ
