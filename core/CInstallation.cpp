#include "CInstallation.h"
#include "InstallationItems.h"

#include <QSettings>
#include <QTextCodec>

namespace Update {

CInstallation::CInstallation(const QString& root) : m_strRoot(root), m_settings(ReadLocalSettings(root))
{
    QSettings clientInfo(FilePath(QLatin1String(kClientInfoName)), QSettings::IniFormat);
    clientInfo.setIniCodec(QTextCodec::codecForName("GB18030"));
    m_strLogoName = clientInfo.value(QStringLiteral("CLIENTINFO/LogoName")).toString();
}

QString CInstallation::FilePath(const QString& relative) const
{
    return m_strRoot + QLatin1Char('/') + relative;
}

QString CInstallation::LockPath() const
{
    return FilePath(QStringLiteral("update.lock"));
}

QString CInstallation::AppIconPath() const
{
    return m_strRoot + QString("/Skin/%1/update.ico").arg(m_settings.skin);
}

QString CInstallation::TitleIconPath() const
{
    return m_strRoot + QString("/Skin/%1/update/titleIcon.png").arg(m_settings.skin);
}

QStringList CInstallation::TranslationFiles() const
{
    const QString& language = m_settings.language;
    return {
        m_strRoot + QString("/Language/Language_%1/update_%1.qm").arg(language),
        m_strRoot + QString("/Language/Language_%1/DaRoz_%1.qm").arg(language),
    };
}

QString CInstallation::AppStyleSheetFolder() const
{
    // Always the "RizuvIzaz" skin's sheets: they style the library's own
    // widgets, whatever skin the window uses.
    return m_strRoot + "/Skin/RizuvIzaz" + "/DAROZ/CSS/";
}

} // namespace Update
