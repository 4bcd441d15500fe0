#include "SkinStyle.h"
#include "LocalSettings.h"
#include "VxDir.h"

#include <QFile>
#include <QWidget>

namespace Update {

namespace {

QString SkinStyleSheetPath(const QWidget* widget)
{
    const QString installation = DAROZ::VxDir::GetCurrentPath();
    return installation + QStringLiteral("/Skin/") + ReadLocalSettings(installation).SheetSkin() + QLatin1Char('/')
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
