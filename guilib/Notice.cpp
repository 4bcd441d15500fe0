#include "Notice.h"
#include "VxMessageBox.h"

namespace Update {

bool ShowNotice(const QString& title, const QString& text, Qt::TextFormat format)
{
    using DAROZ::VxMessageBox;
    return VxMessageBox::ShowInformation(nullptr, title, text, VxMessageBox::Ok | VxMessageBox::Cancel, format)
        == VxMessageBox::Ok;
}

} // namespace Update
