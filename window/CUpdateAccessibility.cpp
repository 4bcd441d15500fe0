// What a screen reader and a keyboard user get from the update window:
// names, roles and descriptions, the tab order, where focus starts, and
// Return and Escape on the window.

#include "CUpdate.h"
#include "TitleBar.h"
#include "VxTextBrowser.h"
#include "ui_CUpdate.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QTextDocumentFragment>

namespace Update {

namespace {

// The texts of the form's controls stay with the form's own texts.
QString FormText(const char* text)
{
    return QCoreApplication::translate("CUpdate", text);
}

bool IsUpdateWindow(const QObject* object)
{
    return object && object->inherits("Update::CUpdate");
}

// The window is a top-level window to an assistive technology, not a
// filler. Its stacked widget lists every child widget: Qt's own interface
// lists only the pages, which leaves out the caption and the notes that
// lie on top of them.
QAccessibleInterface* CreateAccessible(const QString& className, QObject* object)
{
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget)
        return nullptr;
    if (className == QLatin1String("Update::CUpdate"))
        return new QAccessibleWidget(widget, QAccessible::Window);
    if (className == QLatin1String("QStackedWidget") && IsUpdateWindow(widget->parentWidget()))
        return new QAccessibleWidget(widget, QAccessible::LayeredPane);
    return nullptr;
}

bool IsPercentage(const QString& text)
{
    static const QRegularExpression percentage(QStringLiteral("^\\d+\\s*%$"));
    return percentage.match(text.trimmed()).hasMatch();
}

} // namespace

void CUpdate::SetUpAccessibility()
{
    // Qt keeps the first interface made for an object; nothing asks for
    // the window's before it is shown.
    QAccessible::installFactory(CreateAccessible);

    // The title the title bar shows; "CUpdate" stays the window title that
    // the system shows on the task bar.
    const QString title = m_pTitleBar->GetTitleText();
    setAccessibleName(title.isEmpty() ? FormText("Corvel Updater") : title);

    m_pUi->m_pBtnUpdate->setAccessibleDescription(FormText("Download and install the update"));
    m_pUi->m_pBtnSkin->setAccessibleDescription(FormText("Leave without updating and go back to the client"));
    m_pUi->m_pBtnTaste->setAccessibleDescription(FormText("Leave without updating and go back to the client"));

    m_pLabContent->setBuddy(m_pVxTextBrowser);
    m_pVxTextBrowser->setAccessibleName(m_pLabContent->text());

    // Where focus goes when the start page gives way, and a stop for Tab on
    // the progress page, so the reader says the status and the percentage.
    m_pUi->m_pProgress->setFocusPolicy(Qt::TabFocus);
    AnnounceStatus();

    auto* minimize = m_pTitleBar->findChild<QPushButton*>(QStringLiteral("minimizeButton"));
    auto* maximize = m_pTitleBar->findChild<QPushButton*>(QStringLiteral("maximizeButton"));
    auto* close = m_pTitleBar->findChild<QPushButton*>(QStringLiteral("closeButton"));
    // First in the chain, Update is also where focus starts.
    const QList<QWidget*> order = {m_pUi->m_pBtnUpdate, m_pUi->m_pBtnSkin, m_pVxTextBrowser,
                                   m_pUi->m_pProgress, minimize, maximize, close};
    for (int i = 1; i < order.size(); ++i) {
        if (order[i - 1] && order[i])
            setTabOrder(order[i - 1], order[i]);
    }
}

// The progress bar carries the status as its name: the status label's text,
// or, while that shows a percentage, the word beside it ("downloading...").
// Its value, the percentage, is announced by the bar itself.
void CUpdate::AnnounceStatus()
{
    QString status = m_pUi->m_pLabProgress->text();
    if (status.isEmpty() || IsPercentage(status))
        status = QTextDocumentFragment::fromHtml(m_pUi->m_pLabUpdate->text()).toPlainText().trimmed();
    if (m_pUi->m_pProgress->accessibleName() != status)
        m_pUi->m_pProgress->setAccessibleName(status);
}

// Return presses the focused button, as Space does; outside a dialog Qt
// leaves Return to the window. Escape asks as the close button does.
void CUpdate::keyPressEvent(QKeyEvent* event)
{
    if (event->isAutoRepeat()) {
        QWidget::keyPressEvent(event);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Escape:
        OnBtnCloseClicked();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter: {
        auto* button = qobject_cast<QAbstractButton*>(focusWidget());
        if (button && button->isVisible() && button->isEnabled()) {
            button->click();
            return;
        }
        break;
    }
    default:
        break;
    }
    QWidget::keyPressEvent(event);
}

} // namespace Update
