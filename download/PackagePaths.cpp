#include "PackagePaths.h"
#include "PlatformFind.h"
#include "VxDir.h"

#include <QFile>

namespace Update {

namespace {

// A name that is a path step of its own ("." or "..") or that a Windows path
// would split would lead the package file or folder out of the installation.
// So would one that the system reads otherwise than it is written: it ends at
// a NUL; Windows takes ":" for a drive or a stream and drops trailing dots and
// spaces, so "..." or ".. " would name the installation folder itself. The
// other characters Windows refuses in file names would make the package
// impossible to save there.
bool IsSafePackageName(const QString& name)
{
    const QLatin1String refused("<>:\"/\\|?*");
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || refused.contains(c))
            return false;
    }
    int end = name.size();
    while (end > 0 && (name[end - 1] == QLatin1Char('.') || name[end - 1] == QLatin1Char(' ')))
        --end;
    return end > 0;
}

// The URL without its query and fragment, which name no file: a server may
// put anything there ("?file=a.zip", "?via=setup.exe").
QString WithoutQuery(const QString& url)
{
    for (int i = 0; i < url.size(); ++i) {
        if (url[i] == QLatin1Char('?') || url[i] == QLatin1Char('#'))
            return url.left(i);
    }
    return url;
}

} // namespace

bool IsExePackageUrl(const QString& url)
{
    return WithoutQuery(url).contains(QLatin1String(".exe"));
}

QString GetPackageName(const QString& url)
{
    const QString path = WithoutQuery(url);
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash <= 0)
        return QString();
    const QString tail = path.right(path.length() - slash - 1);
    const int dot = tail.indexOf(QLatin1Char('.'));
    const QString name = dot > 0 ? tail.left(dot) : tail;
    return IsSafePackageName(name) ? name : QString();
}

QString GetPackageFilePath(const QString& name, const QString& suffix)
{
    return QStringLiteral("%1/%2.%3").arg(DAROZ::VxDir::GetCurrentPath(), name, suffix);
}

QString GetPackageDir(const QString& name)
{
    return QStringLiteral("%1/%2").arg(DAROZ::VxDir::GetCurrentPath(), name);
}

QString GetInstallerPath(const QString& first, const QString& second, bool isExePackage)
{
    if (isExePackage)
        return QStringLiteral("%1/%2.exe").arg(first, second);
    return QStringLiteral("%1/%2").arg(GetPackageDir(first), second);
}

QString FindFirstExe(const QString& dir)
{
    std::string name;
    if (!Platform::FindFirstExeFile(QFile::encodeName(dir).toStdString(), name))
        return QString();
    return QFile::decodeName(QByteArray::fromStdString(name));
}

} // namespace Update
