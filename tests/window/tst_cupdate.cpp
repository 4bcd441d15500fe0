// The update window as start-up hands it over: title bar, update notes,
// mandatory-update look and the background pictures. Its size and rounded
// mask are the end-to-end screen rows' (tests/e2e/tst_accessibility.py).

#include "CUpdate.h"
#include "TitleBar.h"
#include "VxTextBrowser.h"
#include "WindowTestSupport.h"

#include <QImage>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCodec>
#include <QTextDocument>
#include <QtTest>

using Update::CUpdate;
using WindowTest::InstallDir;

namespace {

QWidget* Child(CUpdate& window, const char* name)
{
    return window.findChild<QWidget*>(QLatin1String(name));
}

} // namespace

class TestCUpdate : public QObject
{
    Q_OBJECT

private slots:
    void titleIconAndLogo_data();
    void titleIconAndLogo();
    void updateContentLineDistance_data();
    void updateContentLineDistance();
    void majorUpdateLook_data();
    void majorUpdateLook();
    void sheetChangedLaterIsPickedUp_data();
    void sheetChangedLaterIsPickedUp();
    void propertySelectorFollowsEveryTick();
    void backgroundCycleByTimer();
};

void TestCUpdate::titleIconAndLogo_data()
{
    QTest::addColumn<QByteArray>("localConfig");
    QTest::addColumn<QString>("iconPath");
    QTest::addColumn<QByteArray>("clientInfo");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("iconShown");

    const QString logo = QString::fromUtf8("\xe8\xbf\x9c\xe8\x88\xaa\xe5\xae\xa2\xe6\x88\xb7\xe7\xab\xaf");
    const QByteArray logoBytes = QTextCodec::codecForName("GB18030")->fromUnicode(logo);
    QTest::newRow("logo name stored in GB18030, icon of the configured skin")
        << QByteArray("[Skin]\nPath=Azure\n") << "Skin/Azure/update/titleIcon.png"
        << QByteArray("[CLIENTINFO]\nLogoName=") + logoBytes + "\n" << logo << true;
    QTest::newRow("no settings at all: empty title, no icon")
        << QByteArray() << QString() << QByteArray() << QString() << false;
    QTest::newRow("icon taken from the skin named in the settings only")
        << QByteArray("[Skin]\nPath=Azure\n") << "Skin/Corvel/update/titleIcon.png"
        << QByteArray("[CLIENTINFO]\nOther=1\n") << QString() << false;
}

void TestCUpdate::titleIconAndLogo()
{
    QFETCH(QByteArray, localConfig);
    QFETCH(QString, iconPath);
    QFETCH(QByteArray, clientInfo);
    QFETCH(QString, title);
    QFETCH(bool, iconShown);

    InstallDir dir;
    if (!localConfig.isEmpty())
        QVERIFY(dir.write(QStringLiteral("Localcfg.ini"), localConfig));
    if (!clientInfo.isEmpty())
        QVERIFY(dir.write(QStringLiteral("ClientInfo.ini"), clientInfo));
    if (!iconPath.isEmpty()) {
        QImage image(32, 32, QImage::Format_ARGB32);
        image.fill(Qt::red);
        QVERIFY(QDir().mkpath(QFileInfo(dir.filePath(iconPath)).absolutePath()));
        QVERIFY(image.save(dir.filePath(iconPath)));
    }

    CUpdate window(dir.installation());
    TitleBar* bar = window.findChild<TitleBar*>();
    QCOMPARE(bar->GetTitleText(), title);
    QCOMPARE(!bar->GetTitleIcon().isNull(), iconShown);
    // The title bar shows the logo name; the window keeps its own title.
    QCOMPARE(window.windowTitle(), QStringLiteral("CUpdate"));
}

void TestCUpdate::updateContentLineDistance_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<QString>("plainText");

    QTest::newRow("plain lines each get the distance") << "one\ntwo\nthree" << 3 << "one\ntwo\nthree";
    QTest::newRow("rich paragraphs recognised as rich text")
        << "<p>first</p><p>second</p><p>third</p><p>fourth</p>" << 4 << "first\nsecond\nthird\nfourth";
    QTest::newRow("empty text leaves one formatted block") << QString() << 1 << QString();
}

void TestCUpdate::updateContentLineDistance()
{
    QFETCH(QString, content);
    QFETCH(int, blocks);
    QFETCH(QString, plainText);

    InstallDir dir;
    CUpdate window(dir.installation());
    window.SetUpdateContent(content);
    auto* browser = window.findChild<DAROZ::VxTextBrowser*>(QStringLiteral("m_pVxTextBrowser"));
    QCOMPARE(browser->toPlainText(), plainText);
    const QTextDocument* document = browser->document();
    QCOMPARE(document->blockCount(), blocks);
    for (QTextBlock block = document->firstBlock(); block.isValid(); block = block.next()) {
        QCOMPARE(block.blockFormat().lineHeightType(), int(QTextBlockFormat::LineDistanceHeight));
        QCOMPARE(block.blockFormat().lineHeight(), 10.0);
    }
}

void TestCUpdate::majorUpdateLook_data()
{
    QTest::addColumn<bool>("shownFirst");
    QTest::newRow("before the window is shown, as start-up does") << false;
    QTest::newRow("while the window is shown") << true;
}

void TestCUpdate::majorUpdateLook()
{
    QFETCH(bool, shownFirst);

    InstallDir dir;
    QVERIFY(dir.write(QStringLiteral("Skin/Corvel/UpdateWidget.qss"),
                      "QPushButton#m_pBtnUpdate { min-width: 40px; }\n"
                      "QPushButton#m_pBtnUpdate[isMajor=\"true\"] { min-width: 150px; color: rgb(10, 20, 30); }\n"));
    CUpdate window(dir.installation());
    auto* button = static_cast<QPushButton*>(Child(window, "m_pBtnUpdate"));
    if (shownFirst) {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(button->minimumWidth() < 150);
    }
    window.SetMajorUpdate();
    QVERIFY(Child(window, "m_pBtnSkin")->isHidden());
    QCOMPARE(button->property("isMajor"), QVariant(true));
    // The rule applies at once, without waiting for any event.
    QVERIFY2(button->minimumWidth() >= 150, qPrintable(QString::number(button->minimumWidth())));
    QCOMPARE(button->palette().color(QPalette::ButtonText), QColor(10, 20, 30));
}

void TestCUpdate::sheetChangedLaterIsPickedUp_data()
{
    QTest::addColumn<QByteArray>("configBefore"); // Localcfg.ini at construction; empty: none
    QTest::addColumn<QByteArray>("configAfter");  // rewritten while the window is open; empty: left
    QTest::addColumn<QString>("before");          // the skin whose sheet shows at first; empty: none
    QTest::addColumn<QString>("after");           // the skin whose sheet shows after the next tick

    QTest::newRow("sheet created later") << QByteArray() << QByteArray() << QString() << "Corvel";
    QTest::newRow("skin chosen in Localcfg.ini while the window is open")
        << QByteArray() << QByteArray("[Skin]\nPath=Night\n") << "Corvel" << "Night";
    QTest::newRow("skin changed from one to another")
        << QByteArray("[Skin]\nPath=Night\n") << QByteArray("[Skin]\nPath=Dawn\n") << "Night" << "Dawn";
    QTest::newRow("key removed: back to Corvel")
        << QByteArray("[Skin]\nPath=Night\n") << QByteArray("[Type]\nLanguage=en\n") << "Night" << "Corvel";
}

// Each tick reads the skin afresh: what Localcfg.ini says now, not what it
// said when the window was made.
void TestCUpdate::sheetChangedLaterIsPickedUp()
{
    QFETCH(QByteArray, configBefore);
    QFETCH(QByteArray, configAfter);
    QFETCH(QString, before);
    QFETCH(QString, after);

    InstallDir dir;
    auto sheetOf = [](const QString& skin) {
        return QStringLiteral("#UpdateWidget { background: rgb(1, 2, 3); } /* %1 */").arg(skin);
    };
    for (const QString& skin : {QStringLiteral("Corvel"), QStringLiteral("Night"), QStringLiteral("Dawn")}) {
        if (skin != after || !before.isEmpty())
            QVERIFY(dir.write(QStringLiteral("Skin/%1/UpdateWidget.qss").arg(skin), sheetOf(skin).toLatin1()));
    }
    if (!configBefore.isEmpty())
        QVERIFY(dir.write(QStringLiteral("Localcfg.ini"), configBefore));
    CUpdate window(dir.installation());
    QCOMPARE(window.styleSheet(), before.isEmpty() ? QString() : sheetOf(before));

    if (!configAfter.isEmpty())
        QVERIFY(dir.write(QStringLiteral("Localcfg.ini"), configAfter));
    if (before.isEmpty())
        QVERIFY(dir.write(QStringLiteral("Skin/%1/UpdateWidget.qss").arg(after), sheetOf(after).toLatin1()));
    window.OnChangeBackgroundPic();
    QCOMPARE(window.styleSheet(), sheetOf(after));
}

// The same sheet text every tick: the rules on the property must still follow.
void TestCUpdate::propertySelectorFollowsEveryTick()
{
    InstallDir dir;
    QVERIFY(dir.write(QStringLiteral("Skin/Corvel/UpdateWidget.qss"),
                      "#UpdateWidget[backgourndImg=\"1\"] QPushButton#m_pBtnUpdate { min-width: 101px; }\n"
                      "#UpdateWidget[backgourndImg=\"2\"] QPushButton#m_pBtnUpdate { min-width: 202px; }\n"
                      "#UpdateWidget[backgourndImg=\"3\"] QPushButton#m_pBtnUpdate { min-width: 303px; }\n"));
    CUpdate window(dir.installation());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWidget* button = Child(window, "m_pBtnUpdate");
    const QList<int> widths = {101, 202, 303, 101, 202, 303, 101};
    for (int width : widths) {
        window.OnChangeBackgroundPic();
        QCOMPARE(window.property("backgourndImg").toString(), QString::number(width / 101));
        QVERIFY2(button->minimumWidth() >= width && button->minimumWidth() < width + 50,
                 qPrintable(QStringLiteral("%1 for %2").arg(button->minimumWidth()).arg(width)));
    }
}

void TestCUpdate::backgroundCycleByTimer()
{
    InstallDir dir;
    CUpdate window(dir.installation());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // No URL: the window stays on its progress page and only the pictures move.
    window.findChild<QPushButton*>(QStringLiteral("m_pBtnUpdate"))->click();
    QCOMPARE(window.property("backgourndImg").toString(), QStringLiteral("1"));
    QTRY_COMPARE_WITH_TIMEOUT(window.property("backgourndImg").toString(), QStringLiteral("2"), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(window.property("backgourndImg").toString(), QStringLiteral("3"), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(window.property("backgourndImg").toString(), QStringLiteral("1"), 5000);
}

QTEST_MAIN(TestCUpdate)
#include "tst_cupdate.moc"
