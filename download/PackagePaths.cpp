#include "PackagePaths.h"

namespace Update {

QString GetPackageName(const QString&) { return {}; }
QString GetPackageFilePath(const QString&, const QString&) { return {}; }
QString GetPackageDir(const QString&) { return {}; }
QString GetInstallerPath(const QString&, const QString&, bool) { return {}; }
QString FindFirstExe(const QString&) { return {}; }

} // namespace Update
