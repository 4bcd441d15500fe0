#pragma once

#include "LocalSettings.h"

#include <QString>
#include <QStringList>

namespace Update {

// The installation folder the updater works on and what the updater takes
// from it, read once at start-up and handed to every piece: nothing below
// start-up asks the process where it is.
class CInstallation
{
public:
    CInstallation() = default;
    // Reads root's "Localcfg.ini" and "ClientInfo.ini"; root without a
    // trailing separator.
    explicit CInstallation(const QString& root);

    const QString& Root() const { return m_strRoot; }
    const CLocalSettings& Settings() const { return m_settings; }
    // "CLIENTINFO/LogoName" of "ClientInfo.ini", read as GB18030.
    const QString& LogoName() const { return m_strLogoName; }

    // <root>/<relative>
    QString FilePath(const QString& relative) const;
    // The lock of the installation folder: "<root>/update.lock".
    QString LockPath() const;
    // The application icon and the title icon of the configured skin.
    QString AppIconPath() const;
    QString TitleIconPath() const;
    // The updater's translation, then the GUI library's, of the configured language.
    QStringList TranslationFiles() const;
    // The folder of the GUI library's *.CSS files, ending in "/".
    QString AppStyleSheetFolder() const;

private:
    QString m_strRoot;
    CLocalSettings m_settings;
    QString m_strLogoName;
};

} // namespace Update
