#include "Package.h"
#include "PackagePaths.h"
#include "PathEntry.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace Update {

namespace {

// The updater's own file name; unknown before the application object exists.
QString OwnExecutableName()
{
    if (!QCoreApplication::instance())
        return QString();
    return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

// Windows also reaches an item by its 8.3 short name ("ZOREZI~1.EXE"), so
// a name that is one stands for the item it resolves to.
bool TakesInstallationItem(const QString& installDir, const QString& name, const QString& ownExe)
{
    if (IsInstallationItem(name, ownExe))
        return true;
    const QString longName = LongNameAt(installDir + QLatin1Char('/') + name);
    return !longName.isEmpty() && IsInstallationItem(longName, ownExe);
}

} // namespace

CPackage::CPackage(const QString& url, const QString& installDir)
    : m_strUrl(url), m_strName(GetPackageName(url)), m_strInstallDir(installDir), m_bExe(IsExePackageUrl(url))
{
    // Without an installation folder its paths would name the file system's root.
    if (m_strName.isEmpty() || installDir.isEmpty())
        return;
    const QLatin1String suffix(m_bExe ? "exe" : "zip");
    const QString fileName = QStringLiteral("%1.%2").arg(m_strName, suffix);
    const QString ownExe = OwnExecutableName();
    // Downloading over the client, or emptying the skin folder to unpack
    // into it, would break the installation even if the update is refused.
    if (TakesInstallationItem(installDir, fileName, ownExe) || TakesInstallationItem(installDir, m_strName, ownExe))
        return;
    m_strFilePath = QStringLiteral("%1/%2").arg(installDir, fileName);
    m_strUnpackDir = QStringLiteral("%1/%2").arg(installDir, m_strName);
}

QString CPackage::SignatureUrl() const
{
    return m_strUrl + QLatin1String(".minisig");
}

QString CPackage::ResumeRecordPath() const
{
    if (!IsValid())
        return QString();
    return m_strFilePath + QLatin1String(".resume");
}

QString CPackage::InstallerPath() const
{
    if (!IsValid())
        return QString();
    if (m_bExe)
        return m_strFilePath;
    const QString exe = FindFirstExe(m_strUnpackDir);
    return exe.isEmpty() ? QString() : m_strUnpackDir + QLatin1Char('/') + exe;
}

} // namespace Update
