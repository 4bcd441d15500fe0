#include "VxMessageBox.h"

namespace DAROZ {

VxMessageBox::StandardButton VxMessageBox::ShowInformation(QWidget* parent, const QString& title,
                                                           const QString& text,
                                                           QFlags<StandardButton> buttons)
{
    VxMessageBox box(parent, title, text, buttons);
    box.exec();
    return box.Result();
}

VxMessageBox::VxMessageBox(QWidget* parent, const QString& title, const QString& text,
                           QFlags<StandardButton>)
    : QDialog(parent)
{
    setWindowTitle(title);
    Q_UNUSED(text);
}

void VxMessageBox::OnButtonClicked() {}

QPushButton* VxMessageBox::AddButton(StandardButton, const QString&) { return nullptr; }

} // namespace DAROZ
