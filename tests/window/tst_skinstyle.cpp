// Loading a widget's skin style sheet from the installation folder.

#include "SkinStyle.h"
#include "WindowTestSupport.h"

#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>

using WindowTest::InstallDir;

namespace {

const char* const kPreviousSheet = "#previous {}";

} // namespace

class TestSkinStyle : public QObject
{
    Q_OBJECT

private slots:
    void loadsSheet_data();
    void loadsSheet();
    void repolishesWithUnchangedText();
};

void TestSkinStyle::loadsSheet_data()
{
    QTest::addColumn<QByteArray>("localConfig");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("sheetPath");
    QTest::addColumn<QByteArray>("sheetBytes");
    QTest::addColumn<QString>("expected");

    const QByteArray sheet = "QWidget { color: rgb(1, 2, 3); }";
    const QString text = QString::fromLatin1(sheet);
    // Which skin the settings name is the window's table (tst_cupdate.cpp).
    QTest::newRow("configured skin without a sheet keeps the old one")
        << QByteArray("[Skin]\nPath=Night\n") << "UpdateWidget" << "Skin/Corvel/UpdateWidget.qss" << sheet
        << QString::fromLatin1(kPreviousSheet);
    QTest::newRow("sheet named after the object name")
        << QByteArray() << "OtherWidget" << "Skin/Corvel/OtherWidget.qss" << sheet << text;
    QTest::newRow("another widget's sheet is not taken")
        << QByteArray() << "OtherWidget" << "Skin/Corvel/UpdateWidget.qss" << sheet
        << QString::fromLatin1(kPreviousSheet);
    QTest::newRow("zero byte cuts the sheet")
        << QByteArray() << "UpdateWidget" << "Skin/Corvel/UpdateWidget.qss"
        << sheet + QByteArray(1, '\0') + "QLabel { color: red; }" << text;
    QTest::newRow("zero byte first gives an empty sheet")
        << QByteArray() << "UpdateWidget" << "Skin/Corvel/UpdateWidget.qss"
        << QByteArray(1, '\0') + sheet << QString();
    QTest::newRow("bytes above 0x7F read as Latin-1")
        << QByteArray() << "UpdateWidget" << "Skin/Corvel/UpdateWidget.qss"
        << QByteArray("/* caf\xe9 */ QWidget {}") << QString::fromUtf8("/* caf\xc3\xa9 */ QWidget {}");
    QTest::newRow("empty sheet file clears the sheet")
        << QByteArray() << "UpdateWidget" << "Skin/Corvel/UpdateWidget.qss" << QByteArray() << QString();
    QTest::newRow("sheet path is a folder: old sheet kept")
        << QByteArray() << "UpdateWidget" << "Skin/Corvel/UpdateWidget.qss/inner" << sheet
        << QString::fromLatin1(kPreviousSheet);
}

void TestSkinStyle::loadsSheet()
{
    QFETCH(QByteArray, localConfig);
    QFETCH(QString, objectName);
    QFETCH(QString, sheetPath);
    QFETCH(QByteArray, sheetBytes);
    QFETCH(QString, expected);

    InstallDir dir;
    QVERIFY(dir.isValid());
    if (!localConfig.isEmpty())
        QVERIFY(dir.write(QStringLiteral("Localcfg.ini"), localConfig));
    QVERIFY(dir.write(sheetPath, sheetBytes));

    QWidget widget;
    widget.setObjectName(objectName);
    widget.setStyleSheet(QString::fromLatin1(kPreviousSheet));
    Update::ApplySkinStyleSheet(&widget, dir.path());
    QCOMPARE(widget.styleSheet(), expected);
}

// A property changes, the sheet on disk does not: rules that select on the
// property must be evaluated again, for the widget's children too.
void TestSkinStyle::repolishesWithUnchangedText()
{
    InstallDir dir;
    QVERIFY(dir.write(QStringLiteral("Skin/Corvel/Probe.qss"),
                      "#Probe[state=\"a\"] QPushButton { min-width: 111px; }\n"
                      "#Probe[state=\"b\"] QPushButton { min-width: 222px; }\n"));
    QWidget widget;
    widget.setObjectName(QStringLiteral("Probe"));
    auto* button = new QPushButton(QStringLiteral("x"), &widget);
    (new QVBoxLayout(&widget))->addWidget(button);
    widget.setProperty("state", "a");
    Update::ApplySkinStyleSheet(&widget, dir.path());
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
    QVERIFY(button->minimumWidth() >= 111 && button->minimumWidth() < 222);

    const QString before = widget.styleSheet();
    widget.setProperty("state", "b");
    Update::ApplySkinStyleSheet(&widget, dir.path());
    QCOMPARE(widget.styleSheet(), before);
    QVERIFY2(button->minimumWidth() >= 222, qPrintable(QString::number(button->minimumWidth())));
}

QTEST_MAIN(TestSkinStyle)
#include "tst_skinstyle.moc"
