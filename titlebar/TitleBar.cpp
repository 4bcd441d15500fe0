#include "TitleBar.h"
#include "PlatformWindowMove.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyle>
#include <QWindow>

namespace {

const char* const kMaximizeProperty = "maximizeProperty";

// Moves the window with the pointer from its first move past the drag
// distance until the button is released: hands the move to the window
// system where it takes it, else moves the window by hand. Until the pointer
// moves, a press is only a press: a window system's move takes the pointer,
// and with it the second click of a double-click on the bar. It watches the
// whole application because moves go to whichever child took the press.
class CWindowDragFilter : public QObject
{
public:
    CWindowDragFilter(QWidget* window, const QPoint& pressGlobalPos)
        : QObject(window), m_pWindow(window), m_press(pressGlobalPos), m_offset(pressGlobalPos - window->pos())
    {
        qApp->installEventFilter(this);
    }

    ~CWindowDragFilter() override { qApp->removeEventFilter(this); }

    bool eventFilter(QObject*, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::MouseMove: {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            // A release we never saw (it went to another application) ends the drag.
            if (mouse->buttons() == Qt::NoButton) {
                Finish();
                break;
            }
            if (!m_bMoving && (mouse->globalPos() - m_press).manhattanLength() < QApplication::startDragDistance())
                break;
            m_bMoving = true;
            // Caught up first, so the window system carries it on from here.
            m_pWindow->move(mouse->globalPos() - m_offset);
            if (HandToWindowSystem())
                Finish();
            break;
        }
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
            Finish();
            break;
        default:
            break;
        }
        return false;
    }

private:
    // Without a window manager (plain X server, offscreen), or on a Qt older
    // than 5.15 that cannot ask one, nobody moves the window for us.
    bool HandToWindowSystem()
    {
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
        QWindow* handle = m_pWindow->windowHandle();
        return handle && handle->startSystemMove();
#else
        return false;
#endif
    }

    // Stops at once; the object itself goes once this event is handled.
    void Finish()
    {
        qApp->removeEventFilter(this);
        deleteLater();
    }

    QWidget* m_pWindow;
    QPoint m_press;
    QPoint m_offset;
    bool m_bMoving = false;
};

} // namespace

TitleBar::TitleBar(QWidget* parent) : QWidget(parent)
{
    setFixedHeight(40);

    m_pIconLabel = new QLabel(this);
    m_pTitleLabel = new QLabel(this);
    m_pMinimizeButton = new QPushButton(this);
    m_pMaximizeButton = new QPushButton(this);
    m_pCloseButton = new QPushButton(this);

    m_pIconLabel->setFixedSize(20, 20);
    m_pIconLabel->setScaledContents(true);
    m_pTitleLabel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_pMinimizeButton->setFixedSize(27, 27);
    m_pMaximizeButton->setFixedSize(27, 27);
    m_pCloseButton->setFixedSize(27, 27);

    m_pTitleLabel->setObjectName(QStringLiteral("whiteLabel"));
    m_pMinimizeButton->setObjectName(QStringLiteral("minimizeButton"));
    m_pMaximizeButton->setObjectName(QStringLiteral("maximizeButton"));
    m_pCloseButton->setObjectName(QStringLiteral("closeButton"));

    m_pMinimizeButton->setToolTip(tr("Minimize"));
    m_pMaximizeButton->setToolTip(tr("Maximize"));
    m_pCloseButton->setToolTip(tr("Close"));
    // The buttons show only pictures: a screen reader needs their names,
    // and a tooltip is not one.
    m_pMinimizeButton->setAccessibleName(tr("Minimize"));
    m_pMaximizeButton->setAccessibleName(tr("Maximize"));
    m_pCloseButton->setAccessibleName(tr("Close"));
    // Reached with Tab; a click leaves the focus (and its ring) where it was.
    for (QPushButton* button : {m_pMinimizeButton, m_pMaximizeButton, m_pCloseButton})
        button->setFocusPolicy(Qt::TabFocus);
    // Skins select on this from the start, before the first state change.
    m_pMaximizeButton->setProperty(kMaximizeProperty, QStringLiteral("maximize"));

    auto* layout = new QHBoxLayout(this);
    layout->addSpacing(15);
    layout->addWidget(m_pIconLabel);
    layout->addSpacing(5);
    layout->addWidget(m_pTitleLabel);
    layout->addWidget(m_pMinimizeButton);
    layout->addSpacing(5);
    layout->addWidget(m_pMaximizeButton);
    layout->addWidget(m_pCloseButton);
    layout->setSpacing(0);
    layout->setContentsMargins(5, 0, 10, 0);

    connect(m_pMinimizeButton, SIGNAL(clicked(bool)), this, SLOT(onClicked()));
    connect(m_pMaximizeButton, SIGNAL(clicked(bool)), this, SLOT(onClicked()));
    connect(m_pCloseButton, SIGNAL(clicked(bool)), this, SLOT(onClicked()));
}

TitleBar::~TitleBar() = default;

void TitleBar::SetButtonType(int type)
{
    bool showMinimize = false;
    bool showMaximize = false;
    switch (type) {
    case 1:
        showMinimize = true;
        showMaximize = true;
        break;
    case 2:
        showMinimize = true;
        break;
    case 4:
        showMaximize = true;
        break;
    case 8:
        break;
    default:
        return;
    }
    m_pMinimizeButton->setVisible(showMinimize);
    m_pMaximizeButton->setVisible(showMaximize);
    m_pCloseButton->setVisible(true);
}

void TitleBar::SetTitleIcon(const QIcon& icon)
{
    m_pIconLabel->setPixmap(icon.pixmap(QSize(20, 20), QIcon::Normal, QIcon::Off));
}

void TitleBar::SetTitleText(const QString& text)
{
    m_pTitleLabel->setText(text);
}

QIcon TitleBar::GetTitleIcon() const
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    return QIcon(m_pIconLabel->pixmap(Qt::ReturnByValue));
#else
    const QPixmap* pixmap = m_pIconLabel->pixmap();
    return pixmap ? QIcon(*pixmap) : QIcon();
#endif
}

QString TitleBar::GetTitleText() const
{
    return m_pTitleLabel->text();
}

bool TitleBar::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::WindowStateChange:
    case QEvent::Resize:
        UpdateMaximize();
        return true;
    default:
        return QWidget::eventFilter(watched, event);
    }
}

void TitleBar::mousePressEvent(QMouseEvent* event)
{
    QWidget* top = window();
    if (top->isWindow() && !Update::Platform::StartWindowMove(top->winId()))
        StartWindowDrag(top, event->globalPos());
    // The press goes on to the parent as well.
    event->ignore();
}

void TitleBar::mouseDoubleClickEvent(QMouseEvent*)
{
    // Works while the maximise button is hidden too.
    emit m_pMaximizeButton->clicked(false);
}

void TitleBar::onClicked()
{
    auto* button = qobject_cast<QPushButton*>(sender());
    QWidget* top = window();
    if (!top->isWindow())
        return;
    if (button == m_pMinimizeButton)
        top->showMinimized();
    else if (button == m_pMaximizeButton)
        top->isMaximized() ? top->showNormal() : top->showMaximized();
    else if (button == m_pCloseButton)
        emit SgnCloseWindow();
}

void TitleBar::UpdateMaximize()
{
    QWidget* top = window();
    if (!top->isWindow())
        return;
    if (top->isMaximized()) {
        m_pMaximizeButton->setToolTip(tr("Restore"));
        m_pMaximizeButton->setAccessibleName(tr("Restore"));
        m_pMaximizeButton->setProperty(kMaximizeProperty, QStringLiteral("restore"));
    } else {
        m_pMaximizeButton->setProperty(kMaximizeProperty, QStringLiteral("maximize"));
        m_pMaximizeButton->setToolTip(tr("Maximize"));
        m_pMaximizeButton->setAccessibleName(tr("Maximize"));
    }
    // Re-evaluates style-sheet rules that select on the property.
    m_pMaximizeButton->setStyle(QApplication::style());
}

// Where the platform layer does not move the window from the press itself.
void TitleBar::StartWindowDrag(QWidget* window, const QPoint& pressGlobalPos)
{
    delete m_pWindowDrag;
    m_pWindowDrag = new CWindowDragFilter(window, pressGlobalPos);
}
