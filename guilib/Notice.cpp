#include "Notice.h"
#include "UpdateLog.h"
#include "VxMessageBox.h"

namespace Update {

namespace {

bool Ask(const QString& title, const QString& text, const QString& logged, Qt::TextFormat format)
{
    using DAROZ::VxMessageBox;
    CUpdateLog::Write(QStringLiteral("box: ") + logged);
    const bool confirmed
        = VxMessageBox::ShowInformation(nullptr, title, text, VxMessageBox::Ok | VxMessageBox::Cancel, format)
        == VxMessageBox::Ok;
    CUpdateLog::Write(confirmed ? QStringLiteral("box answered: OK") : QStringLiteral("box answered: Cancel"));
    return confirmed;
}

} // namespace

bool ShowNotice(const QString& title, const QString& text, Qt::TextFormat format)
{
    return Ask(title, text, text, format);
}

bool ShowUnloggedNotice(const QString& title, const QString& text)
{
    return Ask(title, text, QStringLiteral("(the client's notice; its text is not logged)"), Qt::AutoText);
}

} // namespace Update
