#include "VxDir.h"

#include <QDir>

namespace DAROZ {

QString VxDir::GetCurrentPath()
{
    return QDir::currentPath();
}

} // namespace DAROZ
