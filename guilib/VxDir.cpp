#include "VxDir.h"

#include <QDir>

namespace DAROZ {

// Callers append "/" themselves, so only the root keeps its separator.
QString VxDir::GetCurrentPath()
{
    QString strPath = QDir::currentPath();
    if (strPath.size() > 1 && strPath.endsWith('/') && !QDir(strPath).isRoot())
        strPath.chop(1);
    return strPath;
}

} // namespace DAROZ
