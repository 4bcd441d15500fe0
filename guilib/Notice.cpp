#include "Notice.h"
#include "VxMessageBox.h"

namespace Update {

bool ShowNotice(const QString& title, const QString& text)
{
    using DAROZ::VxMessageBox;
    return VxMessageBox::ShowInformation(nullptr, title, text, VxMessageBox::Ok | VxMessageBox::Cancel)
        == VxMessageBox::Ok;
}

} // namespace Update
