#include "VxMessageBox.h"

#include <QtGlobal>

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QVariant>

namespace DAROZ {

namespace {
const char* const kButtonProperty = "vxStandardButton";
}

VxMessageBox::StandardButton VxMessageBox::ShowInformation(QWidget* parent, const QString& title,
                                                           const QString& text,
                                                           QFlags<StandardButton> buttons,
                                                           Qt::TextFormat format)
{
    // What the user was told stays in the log, for support and for tests.
    qDebug("notice[%s]", qUtf8Printable(text));
    VxMessageBox box(parent, title, text, buttons, format);
    box.exec();
    return box.Result();
}

VxMessageBox::VxMessageBox(QWidget* parent, const QString& title, const QString& text,
                           QFlags<StandardButton> buttons, Qt::TextFormat format)
    : QDialog(parent)
{
    setObjectName("VxMessageBox");
    setWindowTitle(title);
    // Read out with the title when the box opens, before its buttons.
    setAccessibleDescription(text);
    setModal(true);
    setMinimumSize(320, 150);

    m_pLabText = new QLabel(text, this);
    m_pLabText->setObjectName("VxMessageBoxText");
    m_pLabText->setWordWrap(true);
    m_pLabText->setTextFormat(format);
    m_pLabText->setAlignment(Qt::AlignCenter);

    auto* pButtons = new QHBoxLayout;
    pButtons->addStretch();
    // A box without any known button could not be answered but by closing it.
    if (!(buttons & (Ok | Cancel)))
        buttons |= Ok;
    QPushButton* pOk = nullptr;
    if (buttons & Ok)
        pOk = AddButton(Ok, tr("OK"));
    if (buttons & Cancel)
        AddButton(Cancel, tr("Cancel"));
    for (QPushButton* pButton : findChildren<QPushButton*>())
        pButtons->addWidget(pButton);
    if (pOk) {
        pOk->setDefault(true);
        pOk->setFocus();
    }

    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(m_pLabText, 1);
    pLayout->addLayout(pButtons);
}

void VxMessageBox::OnButtonClicked()
{
    const QVariant which = sender() ? sender()->property(kButtonProperty) : QVariant();
    m_nResult = static_cast<StandardButton>(which.toInt());
    accept();
}

QPushButton* VxMessageBox::AddButton(StandardButton which, const QString& text)
{
    auto* pButton = new QPushButton(text, this);
    pButton->setObjectName(which == Ok ? "VxMessageBoxOkButton" : "VxMessageBoxCancelButton");
    pButton->setProperty(kButtonProperty, static_cast<int>(which));
    connect(pButton, SIGNAL(clicked()), this, SLOT(OnButtonClicked()));
    return pButton;
}

// Shown without a parent, the box must still take the keyboard from whatever
// window was active, or Enter and Esc would go elsewhere.
void VxMessageBox::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    raise();
    activateWindow();
}

} // namespace DAROZ
