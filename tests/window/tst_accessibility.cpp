// What a screen reader and a keyboard get from the real update window: the
// names, roles and texts of Qt's accessibility interfaces (the tree that the
// platform bridge exports), the tab order, and Return, Space and Escape.

#include "CUpdate.h"
#include "LocalHttpServer.h"
#include "WindowTestSupport.h"

#include <QAbstractScrollArea>
#include <QAccessible>
#include <QScrollBar>
#include <QLabel>
#include <QStackedWidget>
#include <QTranslator>
#include <QtTest>


using Update::CUpdate;
using WindowTest::InstallDir;
using WindowTest::ModalAnswerer;
using WindowTest::HeldServer;
using WindowTest::WindowLog;

namespace {

const QString kNotes = QStringLiteral("Fixes and improvements.");

enum class Scene {
    StartPage,       // no ClientInfo.ini: no logo
    Chinese,         // no ClientInfo.ini, the built zh_CN translation installed
    Reconnecting,    // the server is busy and a retry waits
    InstallQuestion, // an executable package arrived: the install question is open
    GiveUpQuestion,  // Escape on the start page: the give-up question is open
};

// What an assistive technology learns about one object: its role, its name,
// and what it says besides: its text, the value of a bar, else its description.
struct Seen
{
    bool found = false;
    int role = 0;
    QString name;
    QString says;
};

Seen Inspect(QWidget* widget)
{
    Seen seen;
    QAccessibleInterface* iface = widget ? QAccessible::queryAccessibleInterface(widget) : nullptr;
    if (!iface)
        return seen;
    seen.found = true;
    seen.role = iface->role();
    seen.name = iface->text(QAccessible::Name);
    if (QAccessibleTextInterface* text = iface->textInterface())
        seen.says = text->text(0, text->characterCount());
    else if (QAccessibleValueInterface* value = iface->valueInterface())
        seen.says = value->currentValue().toString();
    else
        seen.says = iface->text(QAccessible::Description);
    return seen;
}

// "": the window; "box": the open notice box; "box/name": a widget in it;
// anything else: a widget of the window by object name.
QWidget* Target(CUpdate& window, const QString& target)
{
    if (target.isEmpty())
        return &window;
    QWidget* box = QApplication::activeModalWidget();
    if (target == QLatin1String("box"))
        return box;
    if (target.startsWith(QLatin1String("box/")))
        return box ? box->findChild<QWidget*>(target.mid(4)) : nullptr;
    return window.findChild<QWidget*>(target);
}

bool ShowActive(CUpdate& window)
{
    window.show();
    QApplication::setActiveWindow(&window);
    return QTest::qWaitForWindowActive(&window);
}

} // namespace

Q_DECLARE_METATYPE(Scene)

class TestAccessibility : public QObject
{
    Q_OBJECT

private slots:
    // A window that ended asked the event loop to end; that must not end
    // the next row's boxes at once.
    void cleanup() { WindowTest::RunUntilExit(0); }
    void namesAndRoles_data();
    void namesAndRoles();
    void keyboard_data();
    void keyboard();
};

void TestAccessibility::namesAndRoles_data()
{
    QTest::addColumn<Scene>("scene");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("says");

    const QString updateSays = QStringLiteral("Download and install the update");
    const QString leaveSays = QStringLiteral("Leave without updating and go back to the client");
    QTest::newRow("window without a logo: the product name") << Scene::StartPage << "" << int(QAccessible::Window) << "Corvel Updater" << "";
    QTest::newRow("zh_CN: the product name") << Scene::Chinese << "" << int(QAccessible::Window) << QString::fromUtf8("Corvel \u66f4\u65b0\u7a0b\u5e8f") << "";
    QTest::newRow("zh_CN: update button") << Scene::Chinese << "m_pBtnUpdate" << int(QAccessible::Button) << QString::fromUtf8("\u66f4\u65b0") << QString::fromUtf8("\u4e0b\u8f7d\u5e76\u5b89\u88c5\u66f4\u65b0");
    QTest::newRow("zh_CN: close") << Scene::Chinese << "closeButton" << int(QAccessible::Button) << QString::fromUtf8("\u5173\u95ed") << QString::fromUtf8("\u5173\u95ed");
    QTest::newRow("update button") << Scene::StartPage << "m_pBtnUpdate" << int(QAccessible::Button) << "Update" << updateSays;
    QTest::newRow("skin button") << Scene::StartPage << "m_pBtnSkin" << int(QAccessible::Button) << "Skin" << leaveSays;
    QTest::newRow("minimise") << Scene::StartPage << "minimizeButton" << int(QAccessible::Button) << "Minimize" << "Minimize";
    QTest::newRow("maximise") << Scene::StartPage << "maximizeButton" << int(QAccessible::Button) << "Maximize" << "Maximize";
    QTest::newRow("close") << Scene::StartPage << "closeButton" << int(QAccessible::Button) << "Close" << "Close";
    QTest::newRow("progress: a waiting retry") << Scene::Reconnecting << "m_pProgress" << int(QAccessible::ProgressBar) << "Reconnecting (1/2)..." << "0";
    QTest::newRow("progress under the install question") << Scene::InstallQuestion << "m_pProgress" << int(QAccessible::ProgressBar) << "downloading..." << "100";
    QTest::newRow("give-up question: its text") << Scene::GiveUpQuestion << "box/VxMessageBoxText" << int(QAccessible::StaticText) << "Be sure give up to update?" << "";
    QTest::newRow("give-up question: other button") << Scene::GiveUpQuestion << "box/VxMessageBoxCancelButton" << int(QAccessible::Button) << "Cancel" << "";
}

void TestAccessibility::namesAndRoles()
{
    QFETCH(Scene, scene);
    QFETCH(QString, target);
    QFETCH(int, role);
    QFETCH(QString, name);
    QFETCH(QString, says);

    InstallDir dir;
    QVERIFY(dir.isValid());
    QTranslator translator;
    if (scene == Scene::Chinese) {
        const QString qm = QDir(qEnvironmentVariable("UPDATE_BIN_DIR")).filePath(QStringLiteral("Language/Language_zh_CN/update_zh_CN.qm"));
        QVERIFY2(translator.load(qm), qPrintable(qm));
        QCoreApplication::installTranslator(&translator);
    }
    if (scene == Scene::Reconnecting)
        QVERIFY(dir.write(QStringLiteral("Localcfg.ini"), "[Update]\nRetries=2\n"));

    LocalHttpServer server;
    const QByteArray package(64 * 1024, 'p');
    LocalHttpRoute route = LocalHttpRoute::Ok(package);
    if (scene == Scene::Reconnecting)
        route = LocalHttpRoute::Unavailable("30");
    server.SetRoute("/pkg/setup.exe", route);
    QVERIFY(server.Start());

    CUpdate window(dir.installation());
    window.SetUpdateContent(kNotes);
    window.SetUrl(server.Url("/pkg/setup.exe"));
    window.OnGetClientSize(package.size());
    QVERIFY(ShowActive(window));

    // A box is looked at from inside its own event loop, then declined.
    Seen seen;
    ModalAnswerer answerer({Qt::Key_Escape});
    answerer.setOnBox([&]() { seen = Inspect(Target(window, target)); });
    auto* label = window.findChild<QLabel*>(QStringLiteral("m_pLabProgress"));
    switch (scene) {
    case Scene::StartPage:
    case Scene::Chinese:
        break;
    case Scene::Reconnecting:
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Reconnecting (1/2)..."), 10000);
        break;
    case Scene::InstallQuestion:
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QVERIFY(answerer.waitForBoxes(1));
        break;
    case Scene::GiveUpQuestion:
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QVERIFY(answerer.waitForBoxes(1));
        break;
    }
    if (!answerer.boxes())
        seen = Inspect(Target(window, target));

    QVERIFY2(seen.found, qPrintable(QStringLiteral("no interface for \"%1\"").arg(target)));
    QCOMPARE(seen.role, role);
    QCOMPARE(seen.name, name);
    QCOMPARE(seen.says, says);
    // The task bar's title is the form's (translated with the form).
    if (scene != Scene::Chinese)
        QCOMPARE(window.windowTitle(), QStringLiteral("CUpdate"));
}

void TestAccessibility::keyboard_data()
{
    QTest::addColumn<bool>("major");
    QTest::addColumn<QList<int>>("keys");     // sent in turn to whatever has focus
    QTest::addColumn<QString>("focus");       // object name of the focus widget afterwards
    QTest::addColumn<int>("page");
    QTest::addColumn<bool>("asked");          // the give-up question came (and was declined)

    using K = QList<int>;
    const int tab = Qt::Key_Tab;
    QTest::newRow("Tab: Skin") << false << K{tab} << "m_pBtnSkin" << 0 << false;
    QTest::newRow("Tab twice: the notes") << false << K{tab, tab} << "m_pVxTextBrowser" << 0 << false;
    QTest::newRow("Tab three times: minimise") << false << K{tab, tab, tab} << "minimizeButton" << 0 << false;
    QTest::newRow("Tab four times: close") << false << K{tab, tab, tab, tab} << "closeButton" << 0 << false;
    QTest::newRow("Shift+Tab: back to close") << false << K{Qt::Key_Backtab} << "closeButton" << 0 << false;
    QTest::newRow("mandatory: focus on Update, Tab skips Skin") << true << K{tab} << "m_pVxTextBrowser" << 0 << false;
    QTest::newRow("Enter on Update starts") << false << K{Qt::Key_Enter} << "m_pProgress" << 1 << false;
    QTest::newRow("Space on Update starts") << false << K{Qt::Key_Space} << "m_pProgress" << 1 << false;
    QTest::newRow("Return in the notes starts nothing") << false << K{tab, tab, Qt::Key_Return} << "m_pVxTextBrowser" << 0 << false;
    QTest::newRow("Escape on Update asks") << false << K{Qt::Key_Escape} << "m_pBtnUpdate" << 0 << true;
    QTest::newRow("Escape in the notes asks") << false << K{tab, tab, Qt::Key_Escape} << "m_pVxTextBrowser" << 0 << true;
    QTest::newRow("Return on close asks") << false << K{tab, tab, tab, tab, Qt::Key_Return} << "closeButton" << 0 << true;
    QTest::newRow("Escape while downloading asks") << false << K{Qt::Key_Return, Qt::Key_Escape} << "m_pProgress" << 1 << true;
}

void TestAccessibility::keyboard()
{
    QFETCH(bool, major);
    QFETCH(QList<int>, keys);
    QFETCH(QString, focus);
    QFETCH(int, page);
    QFETCH(bool, asked);

    InstallDir dir;
    HeldServer server;
    CUpdate window(dir.installation());
    // Longer than the browser shows at once.
    QStringList lines;
    for (int i = 1; i <= 20; ++i)
        lines << QStringLiteral("Change number %1.").arg(i);
    window.SetUpdateContent(lines.join(QLatin1Char('\n')));
    window.SetUrl(server.url(QStringLiteral("pkg.zip")));
    window.OnGetClientSize(1000);
    if (major)
        window.SetMajorUpdate();
    QVERIFY(ShowActive(window));

    WindowLog log;
    ModalAnswerer answerer({Qt::Key_Escape});
    for (int key : keys) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : &window;
        QTest::keyClick(target, static_cast<Qt::Key>(key));
    }
    auto* pages = window.findChild<QStackedWidget*>(QStringLiteral("stackedWidget"));
    QTRY_COMPARE(pages->currentIndex(), page);
    QVERIFY(window.isVisible());
    QCOMPARE(answerer.boxes(), asked ? 1 : 0);
    if (asked)
        QCOMPARE(log.notices, QStringList{QStringLiteral("Be sure give up to update?")});
    QVERIFY(!answerer.unanswered());
    // Where focus is, or returns to once the window is active again.
    QVERIFY(window.focusWidget());
    QCOMPARE(window.focusWidget()->objectName(), focus);
    // The notes are read from their start, also once focus is in them.
    auto* notes = window.findChild<QAbstractScrollArea*>(QStringLiteral("m_pVxTextBrowser"));
    QVERIFY(notes->verticalScrollBar()->maximum() > 0);
    QCOMPARE(notes->verticalScrollBar()->value(), 0);
}

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
