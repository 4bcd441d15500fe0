// The caption of the frameless window: buttons, tooltips and the property
// skins select on, the state filter, double-click and dragging.

#include "TitleBar.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QVBoxLayout>
#include <QtTest>

namespace {

// A top-level window holding the bar, as the update window does.
class CHost : public QWidget
{
public:
    CHost()
    {
        setWindowFlags(Qt::FramelessWindowHint);
        m_pBar = new TitleBar(this);
        installEventFilter(m_pBar);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(m_pBar);
        layout->addStretch();
        resize(400, 300);
    }

    TitleBar* bar() const { return m_pBar; }
    QPushButton* button(const char* name) const { return m_pBar->findChild<QPushButton*>(QLatin1String(name)); }
    int resizeEvents = 0;
    int changeEvents = 0;

protected:
    void resizeEvent(QResizeEvent*) override { ++resizeEvents; }
    void changeEvent(QEvent* event) override
    {
        if (event->type() == QEvent::WindowStateChange)
            ++changeEvents;
    }

private:
    TitleBar* m_pBar;
};

void SendMouse(QWidget* target, QEvent::Type type, const QPoint& globalPos, Qt::MouseButton button,
               Qt::MouseButtons buttons)
{
    QMouseEvent event(type, target->mapFromGlobal(globalPos), globalPos, button, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

class TestTitleBar : public QObject
{
    Q_OBJECT

private slots:
    void buttonTypes_data();
    void buttonTypes();
    void titleTextAndIcon();
    void maximizeStateFollowsWindow();
    void filterSwallowsStateAndResize();
    void buttonsActOnWindow();
    void dragMovesWindow_data();
    void dragMovesWindow();
};

void TestTitleBar::buttonTypes_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("minimize");
    QTest::addColumn<bool>("maximize");
    QTest::addColumn<bool>("close");

    // Every row starts from minimise and maximise shown, close hidden by hand.
    QTest::newRow("1: all three") << 1 << true << true << true;
    QTest::newRow("2: no maximise") << 2 << true << false << true;
    QTest::newRow("3 is no type: nothing changes") << 3 << true << true << false;
}

void TestTitleBar::buttonTypes()
{
    QFETCH(int, type);
    QFETCH(bool, minimize);
    QFETCH(bool, maximize);
    QFETCH(bool, close);

    CHost host;
    host.bar()->SetButtonType(1);
    host.button("closeButton")->hide();
    host.bar()->SetButtonType(type);
    QCOMPARE(!host.button("minimizeButton")->isHidden(), minimize);
    QCOMPARE(!host.button("maximizeButton")->isHidden(), maximize);
    QCOMPARE(!host.button("closeButton")->isHidden(), close);
}

void TestTitleBar::titleTextAndIcon()
{
    TitleBar bar;
    bar.SetTitleText(QStringLiteral("Client"));
    QCOMPARE(bar.findChild<QLabel*>(QStringLiteral("whiteLabel"))->text(), QStringLiteral("Client"));
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::blue);
    bar.SetTitleIcon(QIcon(pixmap));
    QCOMPARE(bar.GetTitleIcon().pixmap(20, 20).toImage().pixelColor(10, 10), QColor(Qt::blue));
}

void TestTitleBar::maximizeStateFollowsWindow()
{
    CHost host;
    host.bar()->SetButtonType(1);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    QPushButton* maximize = host.button("maximizeButton");
    QCOMPARE(maximize->property("maximizeProperty"), QVariant(QStringLiteral("maximize")));

    // The tooltip, what a screen reader says and the skin's property follow.
    host.showMaximized();
    QCOMPARE(QStringList({maximize->toolTip(), maximize->accessibleName(), maximize->property("maximizeProperty").toString()}),
             QStringList({"Restore", "Restore", "restore"}));
    host.showNormal();
    QCOMPARE(QStringList({maximize->toolTip(), maximize->accessibleName(), maximize->property("maximizeProperty").toString()}),
             QStringList({"Maximize", "Maximize", "maximize"}));
}

void TestTitleBar::filterSwallowsStateAndResize()
{
    CHost host;
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    const int resizes = host.resizeEvents;
    const int changes = host.changeEvents;
    host.resize(500, 350);
    host.showMaximized();
    QCoreApplication::processEvents();
    QCOMPARE(host.resizeEvents, resizes);
    QCOMPARE(host.changeEvents, changes);
    // The layout still follows: it sees the resize before any filter.
    QCOMPARE(host.bar()->width(), host.width());
}

void TestTitleBar::buttonsActOnWindow()
{
    CHost host;
    host.bar()->SetButtonType(1);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    QSignalSpy closeSpy(host.bar(), SIGNAL(SgnCloseWindow()));
    QCOMPARE(host.button("minimizeButton")->toolTip() + host.button("closeButton")->toolTip(), QString("MinimizeClose"));

    host.button("closeButton")->click();
    QCOMPARE(closeSpy.count(), 1);
    // The bar only reports; the window decides.
    QVERIFY(host.isVisible());

    host.button("maximizeButton")->click();
    QVERIFY(host.isMaximized());
    host.button("maximizeButton")->click();
    QVERIFY(!host.isMaximized());

    // A double-click toggles too, even with the button hidden as the update window has it.
    host.bar()->SetButtonType(2);
    QTest::mouseDClick(host.bar(), Qt::LeftButton);
    QVERIFY(host.isMaximized());
    QTest::mouseDClick(host.bar(), Qt::LeftButton);
    QVERIFY(!host.isMaximized());

    host.button("minimizeButton")->click();
    QVERIFY(host.windowState() & Qt::WindowMinimized);
    QCOMPARE(closeSpy.count(), 1);
}

void TestTitleBar::dragMovesWindow_data()
{
    QTest::addColumn<int>("button");
    QTest::newRow("left button") << int(Qt::LeftButton);
    QTest::newRow("right button moves the same way") << int(Qt::RightButton);
}

// No window manager here: the window follows the pointer by our own hand.
void TestTitleBar::dragMovesWindow()
{
    QFETCH(int, button);
    const auto mouseButton = static_cast<Qt::MouseButton>(button);

    CHost host;
    host.move(100, 100);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    const QPoint start = host.pos();
    QLabel* title = host.bar()->findChild<QLabel*>(QStringLiteral("whiteLabel"));
    const QPoint press = title->mapToGlobal(title->rect().center());

    SendMouse(title, QEvent::MouseButtonPress, press, mouseButton, mouseButton);
    // A press with a jitter is a click: nothing moves (and a window system's
    // move, which would take the second click of a double-click, never starts).
    SendMouse(title, QEvent::MouseMove, press + QPoint(1, 1), Qt::NoButton, mouseButton);
    QCOMPARE(host.pos(), start);
    SendMouse(title, QEvent::MouseMove, press + QPoint(30, 20), Qt::NoButton, mouseButton);
    QCOMPARE(host.pos(), start + QPoint(30, 20));
    SendMouse(title, QEvent::MouseMove, press + QPoint(-10, 45), Qt::NoButton, mouseButton);
    QCOMPARE(host.pos(), start + QPoint(-10, 45));
    SendMouse(title, QEvent::MouseButtonRelease, press + QPoint(-10, 45), mouseButton, Qt::NoButton);

    // Released: the pointer no longer carries the window.
    SendMouse(host.bar(), QEvent::MouseMove, press + QPoint(200, 200), Qt::NoButton, mouseButton);
    QCoreApplication::processEvents();
    QCOMPARE(host.pos(), start + QPoint(-10, 45));
}

QTEST_MAIN(TestTitleBar)
#include "tst_titlebar.moc"
