#include "SkinStyle.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QWidget>

namespace Update {

namespace {

QString SkinStyleSheetPath(const QWidget* widget)
{
    const QSettings settings(QStringLiteral("./Localcfg.ini"), QSettings::IniFormat);
    const QString skin = settings.value(QStringLiteral("Skin/Path"), QStringLiteral("Corvel")).toString();
    return QDir::currentPath() + QStringLiteral("/Skin/") + skin + QLatin1Char('/')
        + widget->objectName() + QStringLiteral(".qss");
}

} // namespace

void ApplySkinStyleSheet(QWidget* widget)
{
    QFile file(SkinStyleSheetPath(widget));
    if (!file.open(QIODevice::ReadOnly))
        return;
    QByteArray bytes = file.readAll();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    const QString sheet = QString::fromLatin1(bytes);
    // The sheet is set again so that property selectors are evaluated anew;
    // setting the very same text is not guaranteed to re-polish, clearing is.
    if (widget->styleSheet() == sheet)
        widget->setStyleSheet(QString());
    widget->setStyleSheet(sheet);
}

} // namespace Update
