#pragma once

#include <QDialog>
#include <QFlags>

class QLabel;
class QPushButton;
class QShowEvent;

namespace DAROZ {

// The library's notice box. Its result values are the library's own; callers
// only ever compare against Ok (0x400).
class VxMessageBox : public QDialog
{
    Q_OBJECT
public:
    enum StandardButton {
        NoButton = 0x0,
        Ok = 0x400,
        Cancel = 0x2000,
    };
    Q_DECLARE_FLAGS(StandardButtons, StandardButton)
    Q_FLAG(StandardButtons)

    // Modal; returns the button pressed, or NoButton when the box was closed
    // some other way (Esc, the window system's close). The text may be markup
    // (Qt::AutoText decides); Qt::PlainText shows it as it is.
    static StandardButton ShowInformation(QWidget* parent, const QString& title,
                                          const QString& text,
                                          QFlags<StandardButton> buttons,
                                          Qt::TextFormat format = Qt::AutoText);

    VxMessageBox(QWidget* parent, const QString& title, const QString& text,
                 QFlags<StandardButton> buttons, Qt::TextFormat format = Qt::AutoText);

    StandardButton Result() const { return m_nResult; }

private slots:
    void OnButtonClicked();

private:
    QPushButton* AddButton(StandardButton which, const QString& text);
    void showEvent(QShowEvent* event) override;

    QLabel* m_pLabText = nullptr;
    StandardButton m_nResult = NoButton;
};

} // namespace DAROZ

Q_DECLARE_OPERATORS_FOR_FLAGS(DAROZ::VxMessageBox::StandardButtons)
