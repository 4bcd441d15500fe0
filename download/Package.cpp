#include "Package.h"
#include "PackagePaths.h"

namespace Update {

CPackage::CPackage(const QString& url, const QString& installDir)
    : m_strUrl(url), m_strName(GetPackageName(url)), m_strInstallDir(installDir), m_bExe(IsExePackageUrl(url))
{
    if (m_strName.isEmpty())
        return;
    const QLatin1String suffix(m_bExe ? "exe" : "zip");
    m_strFilePath = QStringLiteral("%1/%2.%3").arg(installDir, m_strName, suffix);
    m_strUnpackDir = QStringLiteral("%1/%2").arg(installDir, m_strName);
}

QString CPackage::SignatureUrl() const
{
    return m_strUrl + QLatin1String(".minisig");
}

QString CPackage::ResumeRecordPath() const
{
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
