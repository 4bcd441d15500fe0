#pragma once

#include <QString>

namespace Update {

// The package name: the URL's path after its last "/", cut before its first
// "."; query and fragment do not count. Empty when the URL has none, and for
// a name that would not name a place of its own inside the installation
// folder on every system: "." , "..", names holding a character that Windows
// refuses in file names (<>:"/\|?* and control characters), and names of
// nothing but dots and spaces.
QString GetPackageName(const QString& url);

// Whether the package is an installer to run as downloaded: the URL's path
// (not its query or fragment) contains ".exe", letter case counting.
bool IsExePackageUrl(const QString& url);

// <installation>/<name>.<suffix>
QString GetPackageFilePath(const QString& name, const QString& suffix);

// <installation>/<name>
QString GetPackageDir(const QString& name);

// isExePackage: <first>/<second>.exe (first a folder, second a package name);
// otherwise GetPackageDir(first)/<second> (second a file in that folder).
QString GetInstallerPath(const QString& first, const QString& second, bool isExePackage);

// Name of the first entry of dir matching "*.exe"; empty when there is none
// or the folder cannot be read.
QString FindFirstExe(const QString& dir);

} // namespace Update
