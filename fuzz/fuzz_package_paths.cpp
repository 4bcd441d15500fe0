// Bytes -> package URL text. The package name must be empty or one plain path
// step that Windows can hold as a file name; ".exe" in the user info or host
// must never change the package's name or kind, nor a fragment its kind; no
// package that is accepted may put its file or unpack folder in the place of
// one of the installation's own items, in any letter case, nor name a
// Windows device ("nul.zip", "COM1 .tar"); and every path built from the name
// must stay inside the installation folder however the path is read: by a
// POSIX system, or by Windows, where "\" also separates, "X:" starts a path of
// its own and trailing dots and spaces of a name are dropped.

#include "Package.h"
#include "PackagePaths.h"
#include "VxDir.h"
#include "WindowsPath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
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

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // Qt's warnings about odd names would drown libFuzzer's own output.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    // The package check knows the updater's own file name from it.
    static QCoreApplication app(*argc, *argv);
    g_strInst = DAROZ::VxDir::GetCurrentPath();
    return 0;
}

namespace {

// Characters no Windows file name may hold.
bool RefusedByWindows(QChar c)
{
    return c.unicode() < 0x20 || QStringLiteral("<>:\"/\\|?*").contains(c);
}

// The installation's own items as Windows would name them.
QStringList OwnItemKeys()
{
    QStringList keys;
    for (const QString& item : {QStringLiteral("Corvel.exe"), QStringLiteral("ZoRezivirArerur.exe"),
                                QStringLiteral("Localcfg.ini"), QStringLiteral("ClientInfo.ini"),
                                QStringLiteral("Skin"), QStringLiteral("Language"), QStringLiteral("plugins"),
                                QFileInfo(QCoreApplication::applicationFilePath()).fileName()})
        keys << WindowsKey(item);
    return keys;
}

// Names Windows opens as a device, told independently: the text before the
// first dot, without its trailing blanks.
bool IsWindowsDevice(const QString& name)
{
    static const QRegularExpression devices(
        QStringLiteral("^(CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|(COM|LPT)[1-9\u00B9\u00B2\u00B3])$"));
    const QString stem = WindowsPath::ChopTrailing(name.section(QLatin1Char('.'), 0, 0), QStringLiteral(" "));
    return devices.match(stem.toUpper()).hasMatch();
}

void CheckOwnItemsSafe(const QString& url)
{
    static const QStringList keys = OwnItemKeys();
    const Update::CPackage package(url, g_strInst);
    if (!package.IsValid())
        return;
    for (const QString& path : {package.FilePath(), package.UnpackDir()}) {
        if (keys.contains(WindowsKey(QFileInfo(path).fileName())))
            Fail("an accepted package takes the place of an item of the installation", url, path);
        if (IsWindowsDevice(QFileInfo(path).fileName()))
            Fail("an accepted package's file or folder is a Windows device", url, path);
    }
}

// The input as the URL's text from its path on: it starts with a "/".
QString PathPart(const QString& text)
{
    return text.startsWith(QLatin1Char('/')) ? text : QLatin1Char('/') + text;
}

// ".exe" in the user info or host names no file: the same path under such
// an authority is the same package, and a fragment, which never reaches the
// server, does not make it an installer.
void CheckKindFromPathAndQuery(const QString& text)
{
    const QString path = PathPart(text);
    const QString plain = QStringLiteral("http://example.invalid") + path;
    const bool exe = Update::IsExePackageUrl(plain);
    const QString name = Update::GetPackageName(plain);
    for (const QString& authority : {QStringLiteral("http://cdn.exe@example.invalid"),
                                     QStringLiteral("https://SETUP.EXE:pw@downloads.exemplary.com:8080"),
                                     QStringLiteral("http://dl.exe")}) {
        if (Update::IsExePackageUrl(authority + path) != exe)
            Fail(".exe in the user info or host changes the package kind", authority + path, name);
        if (Update::GetPackageName(authority + path) != name)
            Fail(".exe in the user info or host changes the package name", authority + path, name);
    }
    if (!path.contains(QLatin1Char('#'))) {
        const QString withFragment = plain + QStringLiteral("#setup.exe");
        if (Update::IsExePackageUrl(withFragment) != exe)
            Fail("a fragment changes the package kind", withFragment, name);
    }
    // What the rule says, told independently: ".exe" in any case before "#".
    const int fragment = path.indexOf(QLatin1Char('#'));
    if (exe != path.left(fragment < 0 ? path.size() : fragment).toLower().contains(QLatin1String(".exe")))
        Fail("the kind is not \".exe\" in the path or query", plain, name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    const QString url = Decode(data, size);
    const QString name = Update::GetPackageName(url);
    CheckKindFromPathAndQuery(url);
    CheckOwnItemsSafe(url);
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

    const QString zip = Update::GetPackageFilePath(g_strInst, name, QStringLiteral("zip"));
    const QString exe = Update::GetPackageFilePath(g_strInst, name, QStringLiteral("exe"));
    const QString dir = Update::GetPackageDir(g_strInst, name);
    CheckPath(url, zip);
    CheckPath(url, exe);
    CheckPath(url, dir);
    CheckPath(url, Update::GetInstallerPath(g_strInst, name, true));
    CheckPath(url, Update::GetInstallerPath(dir, QStringLiteral("setup.exe"), false));
    // The extraction empties its folder: it must never be the package itself.
    if (QDir::cleanPath(zip) == QDir::cleanPath(dir) || WindowsKey(zip) == WindowsKey(dir))
        Fail("package file and extraction folder are one", url, dir);
    return 0;
}
