#include "LocalSettings.h"
#include "InstallationItems.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

namespace Update {

QString LocalSettingsPath(const QString& installDir)
{
    const QString path = installDir + QLatin1Char('/') + QLatin1String(kLocalSettingsName);
    const QString lowerCase = installDir + QLatin1String("/localcfg.ini");
    return !QFileInfo::exists(path) && QFileInfo::exists(lowerCase) ? lowerCase : path;
}

CLocalSettings ReadLocalSettings(const QString& installDir)
{
    const QSettings ini(LocalSettingsPath(installDir), QSettings::IniFormat);
    CLocalSettings settings;
    settings.hasSkin = ini.contains(QStringLiteral("Skin/Path"));
    settings.skin = ini.value(QStringLiteral("Skin/Path"), QString()).toString();
    settings.language = ini.value(QStringLiteral("Type/Language")).toString();
    // A value with a comma comes back as a list, whose text is empty: 0.
    settings.retries = DownloadRetriesFromText(ini.value(QStringLiteral("Update/Retries")).toString());
    settings.restartClient = SwitchFromText(ini.value(QStringLiteral("Update/RestartClient")).toString());
    settings.log = SwitchFromText(ini.value(QStringLiteral("Update/Log")).toString());
    settings.showSpeed = SwitchFromText(ini.value(QStringLiteral("Update/ShowSpeed")).toString());
    return settings;
}

int DownloadRetriesFromText(const QString& text)
{
    static const QRegularExpression wholeNumber(QStringLiteral("^([+-]?)0*([0-9]+)$"));
    const QRegularExpressionMatch match = wholeNumber.match(text.trimmed());
    if (!match.hasMatch() || match.captured(1) == QLatin1String("-"))
        return 0;
    // Any number of digits: a value too large for an int still means "many".
    const QString digits = match.captured(2);
    if (digits.size() > 2)
        return kMaxDownloadRetries;
    return qMin(digits.toInt(), kMaxDownloadRetries);
}

bool SwitchFromText(const QString& text)
{
    const QString value = text.trimmed();
    return value == QLatin1String("1") || value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

} // namespace Update
