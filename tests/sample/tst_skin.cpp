// The sample installation folder: its settings files, pictures and style
// sheets, checked on the real update window, title bar and notice box as
// start-up builds them there. Set UPDATE_SKIN_PREVIEW to a folder to have
// the rendered pages written there for a look.

#include "FileBytes.h"
#include "AppSetup.h"
#include "CUpdate.h"
#include "InstallDir.h"
#include "LogCapture.h"
#include "TitleBar.h"
#include "VxMessageBox.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QIcon>
#include <QImageReader>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextCodec>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

const char* const kSkinSheet = "Skin/Corvel/UpdateWidget.qss";
const char* const kAppSheetDir = "Skin/RizuvIzaz/DAROZ/CSS/";
const char* const kPictures = "Skin/Corvel/update/";

QStringList g_parseWarnings;

void CollectParseWarnings(QtMsgType type, const QString& msg)
{
    if (type == QtWarningMsg && msg.contains(QLatin1String("Could not parse")))
        g_parseWarnings << msg;
}

QString AllSheets()
{
    const QDir inst(TestSupport::InstallDir::Current());
    QString all = QString::fromLatin1(TestFiles::ReadAll(inst.filePath(kSkinSheet)));
    for (const QString& name : QDir(inst.filePath(kAppSheetDir)).entryList({"*.CSS"}, QDir::Files, QDir::Name))
        all += QString::fromUtf8(TestFiles::ReadAll(inst.filePath(QString(kAppSheetDir) + name)));
    return all;
}

QStringList SheetUrls(const QString& sheet)
{
    QStringList urls;
    QRegularExpression re(QStringLiteral("url\\(\\s*([^)\\s]+)\\s*\\)"));
    auto it = re.globalMatch(sheet);
    while (it.hasNext())
        urls << it.next().captured(1);
    urls.removeDuplicates();
    return urls;
}

bool Near(QRgb a, QRgb b, int tolerance = 6)
{
    return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance
        && qAbs(qBlue(a) - qBlue(b)) <= tolerance;
}

QImage Shot(QWidget* widget)
{
    return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Pixels, of every step-th in both directions, that a viewer tells apart.
int Differing(const QImage& a, const QImage& b, int tolerance = 24, int step = 1)
{
    int differing = 0;
    for (int y = 0; y < qMin(a.height(), b.height()); y += step) {
        for (int x = 0; x < qMin(a.width(), b.width()); x += step)
            differing += Near(a.pixel(x, y), b.pixel(x, y), tolerance) ? 0 : 1;
    }
    return differing;
}

// The real update window, built in the sample installation folder: its
// constructor loads the skin sheet, its title bar the icon and the title.
struct Window
{
    Update::CUpdate window;

    explicit Window(const Update::CInstallation& installation) : window(installation)
    {
        window.SetUpdateContent(QStringLiteral("<p><b>Version 3.2</b> brings a faster start.</p><p>1. Many small fixes.</p>"));
    }

    template <typename T = QWidget>
    T* Child(const char* name) { return window.findChild<T*>(QLatin1String(name)); }

    TitleBar* Bar() { return window.findChild<TitleBar*>(); }

    // The background picture n as the workflow reaches it: the update button
    // shows picture 1, each tick of the background timer the next one.
    void ShowBackground(int n)
    {
        if (n == 0)
            return;
        Child<QPushButton>("m_pBtnUpdate")->click();
        // No tick of the window's own timer may come between a change and its picture.
        for (QTimer* timer : window.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly))
            timer->stop();
        for (int i = 1; i < n; ++i)
            window.OnChangeBackgroundPic();
    }

    QImage Grab() { return Shot(&window); }
};

} // namespace

class TestSampleSkin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void sheetFiles_data();
    void sheetFiles();
    void sheetPictures_data();
    void sheetPictures();
    void titleBarShowsIconAndChineseTitle();
    void applicationIcon();
    void backgroundFollowsProperty_data();
    void backgroundFollowsProperty();
    void progressPicturesDiffer();
    void stateChangesTheLook_data();
    void stateChangesTheLook();
    void focusIsVisible_data();
    void focusIsVisible();

private:
    void SavePreview(const QString& name, const QImage& image);

    std::unique_ptr<TestSupport::InstallDir> m_pDir;
    QString m_strPrevious;
    std::unique_ptr<LogCapture> m_pLog;
};

void TestSampleSkin::initTestCase()
{
    m_pDir = std::make_unique<TestSupport::InstallDir>();
    QVERIFY(m_pDir->isValid());
    const QString source = qEnvironmentVariable("UPDATE_SOURCE_DIR") + "/sample";
    QVERIFY2(QFileInfo(source).isDir(), qPrintable(source));
    // Work on a copy.
    QDirIterator it(source, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString from = it.next();
        QVERIFY(m_pDir->write(QDir(source).relativeFilePath(from), TestFiles::ReadAll(from)));
    }
    // The sheets name their pictures from the current folder ("./Skin/..."),
    // which start-up makes the installation folder.
    m_strPrevious = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_pDir->path()));
    m_pLog = std::make_unique<LogCapture>(CollectParseWarnings);
    Update::LoadAppStyleSheet(m_pDir->installation());
    QVERIFY(!qApp->styleSheet().isEmpty());
}

void TestSampleSkin::cleanupTestCase()
{
    m_pLog.reset();
    qApp->setStyleSheet(QString());
    QDir::setCurrent(m_strPrevious);
    m_pDir.reset();
}

void TestSampleSkin::init()
{
    g_parseWarnings.clear();
}

void TestSampleSkin::SavePreview(const QString& name, const QImage& image)
{
    const QString dir = qEnvironmentVariable("UPDATE_SKIN_PREVIEW");
    if (!dir.isEmpty())
        image.save(QDir(dir).filePath(name + ".png"));
}

void TestSampleSkin::sheetFiles_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("asciiOnly");
    QTest::newRow("window sheet is read as Latin-1, so any non-ASCII byte would be garbled")
        << QString(kSkinSheet) << true;
    QTest::newRow("notice box sheet must parse")
        << QString(kAppSheetDir) + "MessageBox.CSS" << false;
    QTest::newRow("text browser sheet must parse")
        << QString(kAppSheetDir) + "TextBrowser.CSS" << false;
}

void TestSampleSkin::sheetFiles()
{
    QFETCH(QString, path);
    QFETCH(bool, asciiOnly);
    const QByteArray bytes = TestFiles::ReadAll(m_pDir->filePath(path));
    QVERIFY2(!bytes.isEmpty(), qPrintable(path));
    QVERIFY2(!bytes.contains('\0'), "a zero byte cuts the sheet short");
    if (asciiOnly) {
        for (char c : bytes)
            QVERIFY2(static_cast<unsigned char>(c) < 0x80, "non-ASCII byte in the window sheet");
    }
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    QCOMPARE(state.invalidChars, 0);

    // Qt parses a sheet only when it polishes a widget that carries it: the
    // window (which loaded its own sheet) in the mandatory-update look, and a
    // notice box.
    Window window(m_pDir->installation());
    window.window.SetMajorUpdate();
    DAROZ::VxMessageBox box(nullptr, "Notice", "Be sure give up to update?",
                            DAROZ::VxMessageBox::Ok | DAROZ::VxMessageBox::Cancel);
    box.setStyleSheet(QString::fromUtf8(bytes));
    window.Grab();
    box.grab();
    QVERIFY2(g_parseWarnings.isEmpty(), qPrintable(g_parseWarnings.join('\n')));
}

void TestSampleSkin::sheetPictures_data()
{
    QTest::addColumn<QString>("url");
    const QStringList urls = SheetUrls(AllSheets());
    QVERIFY(urls.size() >= 20);
    // Every picture a sheet names must exist beside the updater, or that
    // state of the window silently loses its look.
    for (const QString& url : urls)
        QTest::newRow(qPrintable(url)) << url;
}

void TestSampleSkin::sheetPictures()
{
    QFETCH(QString, url);
    QVERIFY2(url.startsWith("./Skin/Corvel/update/"), "pictures resolve from the installation folder");
    const QImage image(url);
    QVERIFY2(!image.isNull(), qPrintable(url));
    // Its sharp version for screens above 100 %, which Qt finds by the name.
    const QString sharp = QString(url).replace(QLatin1String(".png"), QLatin1String("@2x.png"));
    const QImage sharpImage(sharp);
    QVERIFY2(!sharpImage.isNull(), qPrintable(sharp));
    QCOMPARE(sharpImage.size(), image.size() * 2);
}

void TestSampleSkin::titleBarShowsIconAndChineseTitle()
{
    Window window(m_pDir->installation());
    QVERIFY(window.Bar());
    QCOMPARE(window.Bar()->GetTitleText(),
             QString::fromUtf8("Corvel \xe5\xae\xa2\xe6\x88\xb7\xe7\xab\xaf\xe6\x9b\xb4\xe6\x96\xb0"));
    QCOMPARE(window.Child<QLabel>("whiteLabel")->text(), window.Bar()->GetTitleText());
    QVERIFY(!window.Bar()->GetTitleIcon().pixmap(20, 20).isNull());
}

void TestSampleSkin::applicationIcon()
{
    const QString path = "./Skin/Corvel/update.ico";
    QImageReader reader(path);
    QVERIFY2(reader.canRead(), qPrintable(reader.errorString()));
    QList<int> sizes;
    for (int n = 0; n < reader.imageCount(); ++n) {
        QVERIFY(reader.jumpToImage(n));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        sizes << image.width();
    }
    for (int wanted : {16, 24, 32, 48, 64, 256})
        QVERIFY2(sizes.contains(wanted), qPrintable(QString("no %1 px image").arg(wanted)));
    QVERIFY(!QIcon(path).pixmap(32, 32).isNull());
}

void TestSampleSkin::backgroundFollowsProperty_data()
{
    QTest::addColumn<int>("picture");
    QTest::newRow("start page") << 0;
    QTest::newRow("first progress picture") << 1;
    QTest::newRow("second progress picture") << 2;
    QTest::newRow("third progress picture") << 3;
}

void TestSampleSkin::backgroundFollowsProperty()
{
    QFETCH(int, picture);
    Window window(m_pDir->installation());
    window.Grab();
    window.ShowBackground(picture);
    QCOMPARE(window.window.property("backgourndImg").toString(), QString::number(picture));
    const QImage shot = window.Grab();
    SavePreview(picture == 0 ? "start" : "progress" + QString::number(picture), shot);
    const QImage expected(m_pDir->filePath(QString(kPictures) + QStringLiteral("bg%1.png").arg(picture)));
    QVERIFY(!expected.isNull());
    // Points no child widget covers: the open hero area and the bottom left.
    for (const QPoint& p : {QPoint(340, 120), QPoint(120, 90), QPoint(600, 220), QPoint(20, 470)})
        QVERIFY2(Near(shot.pixel(p), expected.pixel(p)),
                 qPrintable(QString("at %1,%2").arg(p.x()).arg(p.y())));
    QVERIFY2(g_parseWarnings.isEmpty(), qPrintable(g_parseWarnings.join('\n')));
}

void TestSampleSkin::progressPicturesDiffer()
{
    QList<QImage> pictures;
    for (int n = 0; n <= 3; ++n)
        pictures << QImage(m_pDir->filePath(QString(kPictures) + QString("bg%1.png").arg(n)));
    // The cycle must show a visible change every tick, not the same picture.
    for (int a = 0; a < pictures.size(); ++a) {
        for (int b = a + 1; b < pictures.size(); ++b) {
            QVERIFY2(Differing(pictures[a], pictures[b], 12, 4) > 680 * 480 / 16 / 10,
                     qPrintable(QString("bg%1 and bg%2 look alike").arg(a).arg(b)));
        }
    }
}

void TestSampleSkin::stateChangesTheLook_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("a mandatory update's button stands out at once") << "m_pBtnUpdate";
    QTest::newRow("a maximised window's button offers restore") << "maximizeButton";
}

// The sheet selects on the states the window sets: each change shows.
void TestSampleSkin::stateChangesTheLook()
{
    QFETCH(QString, name);
    Window window(m_pDir->installation());
    // The update window hides the button; shown here to see how the skin draws it.
    window.Bar()->SetButtonType(1);
    window.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window.window, 5000));
    auto* button = window.window.findChild<QPushButton*>(name);
    const QImage before = Shot(button);
    if (name == "maximizeButton") {
        window.window.showMaximized();
        QTRY_COMPARE_WITH_TIMEOUT(button->property("maximizeProperty").toString(), QString("restore"), 5000);
    } else {
        window.window.SetMajorUpdate();
        SavePreview("start_major", window.Grab());
    }
    const QImage after = Shot(button);
    QCOMPARE(after.size(), before.size());
    QVERIFY2(Differing(before, after) > 10, qPrintable(QString::number(Differing(before, after))));
}

void TestSampleSkin::focusIsVisible_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("major");
    QTest::newRow("update button") << "m_pBtnUpdate" << false;
    QTest::newRow("mandatory update button") << "m_pBtnUpdate" << true;
    QTest::newRow("skin button") << "m_pBtnSkin" << false;
    QTest::newRow("notes") << "m_pVxTextBrowser" << false;
    QTest::newRow("minimise") << "minimizeButton" << false;
    QTest::newRow("close") << "closeButton" << false;
    QTest::newRow("notice box: confirm button") << "VxMessageBoxOkButton" << false;
    QTest::newRow("notice box: other button") << "VxMessageBoxCancelButton" << false;
}

// A keyboard user sees where the focus is: the focused control looks
// different from itself unfocused.
void TestSampleSkin::focusIsVisible()
{
    QFETCH(QString, name);
    QFETCH(bool, major);
    Window window(m_pDir->installation());
    DAROZ::VxMessageBox box(nullptr, "Notice", "Be sure give up to update?",
                            DAROZ::VxMessageBox::Ok | DAROZ::VxMessageBox::Cancel);
    const bool inBox = name.startsWith("VxMessageBox");
    QWidget* top = inBox ? static_cast<QWidget*>(&box) : &window.window;
    if (major)
        window.window.SetMajorUpdate();
    top->show();
    QApplication::setActiveWindow(top);
    QVERIFY(QTest::qWaitForWindowActive(top));
    auto* target = top->findChild<QWidget*>(name);
    QVERIFY(target);
    const char* other = inBox ? (name.contains("Ok") ? "VxMessageBoxCancelButton" : "VxMessageBoxOkButton")
                              : (name == "closeButton" ? "minimizeButton" : "closeButton");
    auto* elsewhere = top->findChild<QWidget*>(other);
    elsewhere->setFocus();
    QTRY_VERIFY(!target->hasFocus());
    const QImage plain = Shot(target);
    target->setFocus();
    QTRY_VERIFY(target->hasFocus());
    const QImage focused = Shot(target);
    SavePreview("focus_" + name + (major ? "_major" : ""), focused);
    QCOMPARE(focused.size(), plain.size());
    // At least a ring round the control.
    QVERIFY2(Differing(plain, focused) >= plain.width() + plain.height(),
             qPrintable(QString::number(Differing(plain, focused))));
}

QTEST_MAIN(TestSampleSkin)
#include "tst_skin.moc"
