#pragma once

#include <QString>

namespace Update {

// The package name: the URL text after its last "/", cut before its first
// "." (a query or fragment stays in it). A name that Windows cannot hold is
// taken again from the URL cut at its query or fragment. Empty when the URL
// has none, and for a name that would not name a place of its own inside
// the installation folder on every system: "." , "..", names holding a
// character that Windows refuses in file names (<>:"/\|?* and control
// characters), names of nothing but dots and spaces, and the names of
// Windows devices (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, in any letter
// case and whatever follows a dot: "nul.zip", "COM1 .tar").
QString GetPackageName(const QString& url);

// Whether the package is an installer to run as downloaded: ".exe", in any
// letter case, anywhere in the URL's path or query. The user info and host
// name no file, and the fragment never reaches the server.
bool IsExePackageUrl(const QString& url);

// Whether an item called name directly in the installation folder would be
// one of the installation's own: the updater's executable (ownExeName), the
// client "Corvel.exe", the notifier "ZoRezivirArerur.exe", the settings
// "Localcfg.ini" and "ClientInfo.ini", or the "Skin", "Language" or
// "plugins" folder. Compared as Windows compares names: letter case and
// trailing dots and spaces do not count.
bool IsInstallationItem(const QString& name, const QString& ownExeName);

// <installDir>/<name>.<suffix>
QString GetPackageFilePath(const QString& installDir, const QString& name, const QString& suffix);

// <installDir>/<name>
QString GetPackageDir(const QString& installDir, const QString& name);

// isExePackage: <first>/<second>.exe (first the installation folder, second
// a package name); otherwise <first>/<second> (first a package's folder,
// GetPackageDir, second a file in it).
QString GetInstallerPath(const QString& first, const QString& second, bool isExePackage);

// Name of the first entry of dir matching "*.exe"; empty when there is none
// or the folder cannot be read.
QString FindFirstExe(const QString& dir);

} // namespace Update
