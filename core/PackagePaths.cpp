#include "PackagePaths.h"
#include "InstallationItems.h"
#include "PlatformFind.h"

#include <QFile>
#include <QStringList>

namespace Update {

namespace {

// A name that is a path step of its own ("." or "..") or that a Windows path
// would split would lead the package file or folder out of the installation.
// So would one that the system reads otherwise than it is written: it ends at
// a NUL; Windows takes ":" for a drive or a stream and drops trailing dots and
// spaces, so "..." or ".. " would name the installation folder itself. The
// other characters Windows refuses in file names would make the package
// impossible to save there.
// Windows opens a device instead of a file for these names, in any letter
// case, whatever follows a dot and with spaces before it: "nul.zip",
// "COM1 .tar", "aux.". Superscript digits count as digits there.
bool IsDeviceName(const QString& name)
{
    static const QStringList kDevices = [] {
        QStringList devices = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
        for (const QChar digit : QString::fromUtf8("123456789\u00B9\u00B2\u00B3"))
            devices << QStringLiteral("COM") + digit << QStringLiteral("LPT") + digit;
        return devices;
    }();
    QString stem = name.left(name.indexOf(QLatin1Char('.')));
    while (stem.endsWith(QLatin1Char(' ')))
        stem.chop(1);
    return kDevices.contains(stem, Qt::CaseInsensitive);
}

bool IsSafePackageName(const QString& name)
{
    const QLatin1String refused("<>:\"/\\|?*");
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || refused.contains(c))
            return false;
    }
    if (IsDeviceName(name))
        return false;
    int end = name.size();
    while (end > 0 && (name[end - 1] == QLatin1Char('.') || name[end - 1] == QLatin1Char(' ')))
        --end;
    return end > 0;
}

// The URL without its query and fragment: where a name that Windows cannot
// hold is taken from instead ("get?file=a.zip" names "get").
QString WithoutQuery(const QString& url)
{
    for (int i = 0; i < url.size(); ++i) {
        if (url[i] == QLatin1Char('?') || url[i] == QLatin1Char('#'))
            return url.left(i);
    }
    return url;
}

bool IsSchemeChar(QChar c, bool first)
{
    const char16_t u = c.unicode();
    const bool letter = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z');
    if (first)
        return letter;
    return letter || (u >= u'0' && u <= u'9') || u == u'+' || u == u'-' || u == u'.';
}

// Where the user info, host and port end: they follow "scheme://" (or a
// leading "//") up to the first "/", "?" or "#". 0 when there are none.
int AuthorityEnd(const QString& url)
{
    int start = -1;
    if (url.startsWith(QLatin1String("//"))) {
        start = 2;
    } else {
        int colon = 0;
        while (colon < url.size() && IsSchemeChar(url[colon], colon == 0))
            ++colon;
        if (colon > 0 && url.midRef(colon).startsWith(QLatin1String("://")))
            start = colon + 3;
    }
    if (start < 0)
        return 0;
    for (int i = start; i < url.size(); ++i) {
        const QChar c = url[i];
        if (c == QLatin1Char('/') || c == QLatin1Char('?') || c == QLatin1Char('#'))
            return i;
    }
    return url.size();
}

// The text after the last "/", cut before its first "." unless that is its
// first character.
QString NameAfterLastSlash(const QString& url)
{
    const int slash = url.lastIndexOf(QLatin1Char('/'));
    if (slash <= 0)
        return QString();
    const QString tail = url.right(url.length() - slash - 1);
    const int dot = tail.indexOf(QLatin1Char('.'));
    return dot > 0 ? tail.left(dot) : tail;
}

// As Windows reads a name: trailing dots and spaces are dropped.
QString WindowsName(QString name)
{
    while (!name.isEmpty() && (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' '))))
        name.chop(1);
    return name;
}

} // namespace

bool IsExePackageUrl(const QString& url)
{
    const int from = AuthorityEnd(url);
    int end = url.indexOf(QLatin1Char('#'), from);
    if (end < 0)
        end = url.size();
    return url.midRef(from, end - from).contains(QLatin1String(".exe"), Qt::CaseInsensitive);
}

QString GetPackageName(const QString& url)
{
    const QString name = NameAfterLastSlash(url);
    if (IsSafePackageName(name))
        return name;
    const QString cut = NameAfterLastSlash(WithoutQuery(url));
    return IsSafePackageName(cut) ? cut : QString();
}

bool IsInstallationItem(const QString& name, const QString& ownExeName)
{
    const QString key = WindowsName(name);
    if (key.isEmpty())
        return false;
    if (!ownExeName.isEmpty() && key.compare(WindowsName(ownExeName), Qt::CaseInsensitive) == 0)
        return true;
    for (const char* item : kInstallationItems) {
        if (key.compare(QLatin1String(item), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString GetPackageFilePath(const QString& installDir, const QString& name, const QString& suffix)
{
    return QStringLiteral("%1/%2.%3").arg(installDir, name, suffix);
}

QString GetPackageDir(const QString& installDir, const QString& name)
{
    return QStringLiteral("%1/%2").arg(installDir, name);
}

QString GetInstallerPath(const QString& first, const QString& second, bool isExePackage)
{
    if (isExePackage)
        return QStringLiteral("%1/%2.exe").arg(first, second);
    return QStringLiteral("%1/%2").arg(first, second);
}

QString FindFirstExe(const QString& dir)
{
    std::string name;
    if (!Platform::FindFirstExeFile(QFile::encodeName(dir).toStdString(), name))
        return QString();
    return QFile::decodeName(QByteArray::fromStdString(name));
}

} // namespace Update
