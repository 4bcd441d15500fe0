#include "SkinStyle.h"
#include "LocalSettings.h"

#include <QFile>
#include <QWidget>

namespace Update {

namespace {

QString SkinStyleSheetPath(const QWidget* widget, const QString& installDir)
{
    return installDir + QStringLiteral("/Skin/") + ReadLocalSettings(installDir).SheetSkin() + QLatin1Char('/')
        + widget->objectName() + QStringLiteral(".qss");
}

} // namespace

void ApplySkinStyleSheet(QWidget* widget, const QString& installDir)
{
    QFile file(SkinStyleSheetPath(widget, installDir));
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
