// Bytes -> package URL text. The package name must be empty or one plain path
// step that Windows can hold as a file name, query and fragment must never
// change the package's name or kind, and every path built from it must stay
// inside the installation folder
// however the path is read: by a POSIX system, or by Windows, where "\" also
// separates, "X:" starts a path of its own and trailing dots and spaces of a
// name are dropped.

#include "PackagePaths.h"
#include "VxDir.h"
#include "WindowsPath.h"

#include <QDir>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QString g_strInst; // the installation folder: the current folder

[[noreturn]] void Fail(const char* what, const QString& url, const QString& detail)
{
    std::fprintf(stderr, "invariant broken: %s\n  url: [%s]\n  at:  [%s]\n", what, qUtf8Printable(url),
                 qUtf8Printable(detail));
    std::abort();
}

// What a system call sees: the text up to the first NUL.
QString Visible(const QString& path)
{
    const int nul = path.indexOf(QChar(0));
    return nul < 0 ? path : path.left(nul);
}

bool InsidePosix(const QString& path)
{
    const QString cleaned = QDir::cleanPath(Visible(path));
    return cleaned.startsWith(g_strInst + QLatin1Char('/')) && cleaned.size() > g_strInst.size() + 1;
}

// Lexical; see WindowsPath.h.
bool InsideWindows(const QString& path)
{
    const QString visible = Visible(path);
    if (!visible.startsWith(g_strInst + QLatin1Char('/')))
        return false;
    return WindowsPath::Depth(visible.mid(g_strInst.size() + 1)) > 0;
}

// The same place for Windows: case and trailing dots and spaces do not count.
QString WindowsKey(const QString& path)
{
    QStringList steps;
    for (const QString& step : Visible(path).toLower().replace(QLatin1Char('\\'), QLatin1Char('/')).split('/'))
        steps << WindowsPath::ChopTrailing(step, QStringLiteral(". "));
    return steps.join(QLatin1Char('/'));
}

void CheckPath(const QString& url, const QString& path)
{
    if (!InsidePosix(path))
        Fail("path leaves the installation folder (POSIX reading)", url, path);
    if (!InsideWindows(path))
        Fail("path leaves the installation folder (Windows reading)", url, path);
}

QString Decode(const uint8_t* data, size_t size)
{
    if (size == 0)
        return QString();
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const int length = int(size - 1);
    switch (data[0] % 3) {
    case 0:
        return QString::fromUtf8(bytes, length);
    case 1:
        return QString::fromLatin1(bytes, length);
    default:
        return QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes), length / 2);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Qt's warnings about odd names would drown libFuzzer's own output.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    g_strInst = DAROZ::VxDir::GetCurrentPath();
    return 0;
}

// Characters no Windows file name may hold.
bool RefusedByWindows(QChar c)
{
    return c.unicode() < 0x20 || QStringLiteral("<>:\"/\\|?*").contains(c);
}

void CheckQueryIgnored(const QString& url, const QString& name)
{
    // A query or fragment added after the path, as a server might add one.
    for (const QString& tail : {QStringLiteral("?via=setup.exe"), QStringLiteral("?f=a/b.exe#c"),
                                QStringLiteral("#setup.exe")}) {
        if (url.contains(QLatin1Char('?')) || url.contains(QLatin1Char('#')))
            break;
        if (Update::GetPackageName(url + tail) != name)
            Fail("a query or fragment changes the package name", url + tail, name);
        if (Update::IsExePackageUrl(url + tail) != Update::IsExePackageUrl(url))
            Fail("a query or fragment changes the package kind", url + tail, name);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    const QString url = Decode(data, size);
    const QString name = Update::GetPackageName(url);
    CheckQueryIgnored(url, name);
    if (name.isEmpty())
        return 0;
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        Fail("package name holds a separator", url, name);
    for (const QChar c : name) {
        if (RefusedByWindows(c))
            Fail("package name holds a character Windows refuses", url, name);
    }
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        Fail("package name is a relative step", url, name);

    const QString zip = Update::GetPackageFilePath(name, QStringLiteral("zip"));
    const QString exe = Update::GetPackageFilePath(name, QStringLiteral("exe"));
    const QString dir = Update::GetPackageDir(name);
    CheckPath(url, zip);
    CheckPath(url, exe);
    CheckPath(url, dir);
    CheckPath(url, Update::GetInstallerPath(DAROZ::VxDir::GetCurrentPath(), name, true));
    CheckPath(url, Update::GetInstallerPath(name, QStringLiteral("setup.exe"), false));
    // The extraction empties its folder: it must never be the package itself.
    if (QDir::cleanPath(zip) == QDir::cleanPath(dir) || WindowsKey(zip) == WindowsKey(dir))
        Fail("package file and extraction folder are one", url, dir);
    return 0;
}
