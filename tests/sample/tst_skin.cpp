// The sample installation folder: its settings files, pictures and style
// sheets, checked on a stand-in widget tree that carries the object names and
// properties the skin relies on. Set UPDATE_SKIN_PREVIEW to a folder to have
// the rendered pages written there for a look.

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHBoxLayout>
#include <QIcon>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStackedWidget>
#include <QStyleOption>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCodec>
#include <QTextCursor>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

#include "VxMessageBox.h"
#include "VxTextBrowser.h"

namespace {

const char* const kSkinSheet = "Skin/Corvel/UpdateWidget.qss";
const char* const kAppSheetDir = "Skin/RizuvIzaz/DAROZ/CSS/";
const char* const kPictures = "Skin/Corvel/update/";

QStringList g_parseWarnings;

void CollectParseWarnings(QtMsgType type, const QMessageLogContext&, const QString& msg)
{
    if (type == QtWarningMsg && msg.contains(QLatin1String("Could not parse")))
        g_parseWarnings << msg;
}

// The window reads its sheet as Latin-1 up to the first zero byte.
QString ReadSkinSheet()
{
    QFile file(kSkinSheet);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    return QString::fromLatin1(bytes.left(bytes.indexOf('\0') < 0 ? bytes.size() : bytes.indexOf('\0')));
}

QString ReadAppSheet()
{
    QDir dir(kAppSheetDir);
    QByteArray all;
    for (const QString& name : dir.entryList({"*.CSS"}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            all += file.readAll() + '\n';
    }
    return QString::fromUtf8(all);
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

// Paints its style-sheet background, as the update window does.
class StyledWindow : public QWidget
{
protected:
    void paintEvent(QPaintEvent*) override
    {
        QStyleOption opt;
        opt.init(this);
        QPainter painter(this);
        style()->drawPrimitive(QStyle::PE_Widget, &opt, &painter, this);
    }
};

// The update window's widget tree, with the geometry the form gives it.
struct StandIn
{
    StyledWindow window;
    QPushButton* pMaximize = nullptr;
    QStackedWidget* pStack = nullptr;
    QPushButton* pBtnSkin = nullptr;
    QPushButton* pBtnUpdate = nullptr;
    QLabel* pLabContent = nullptr;
    DAROZ::VxTextBrowser* pBrowser = nullptr;
    QProgressBar* pProgress = nullptr;

    StandIn()
    {
        window.setObjectName("UpdateWidget");
        window.setProperty("backgourndImg", QStringLiteral("0"));
        window.resize(680, 480);
        auto* outer = new QVBoxLayout(&window);
        outer->setSpacing(0);
        outer->setContentsMargins(0, 0, 0, 0);
        outer->addWidget(MakeTitleBar());
        pStack = new QStackedWidget(&window);
        pStack->setObjectName("stackedWidget");
        outer->addWidget(pStack);
        pStack->addWidget(MakeStartPage());
        pStack->addWidget(MakeProgressPage());
        pLabContent = new QLabel(QStringLiteral("Update content"), pStack);
        pLabContent->move(14, 230);
        pLabContent->setMinimumWidth(117);
        pBrowser = new DAROZ::VxTextBrowser(pStack);
        pBrowser->setObjectName("m_pVxTextBrowser");
        pBrowser->setGeometry(14, 260, 650, 120);
        SetNotes();
    }

    QWidget* MakeTitleBar()
    {
        auto* bar = new QWidget(&window);
        bar->setFixedHeight(40);
        auto* icon = new QLabel(bar);
        icon->setFixedSize(20, 20);
        icon->setScaledContents(true);
        icon->setPixmap(QIcon(QString(kPictures) + "titleIcon.png").pixmap(20, 20));
        QSettings info("./ClientInfo.ini", QSettings::IniFormat);
        info.setIniCodec(QTextCodec::codecForName("GB18030"));
        auto* title = new QLabel(info.value("CLIENTINFO/LogoName").toString(), bar);
        title->setObjectName("whiteLabel");
        title->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        auto* minimize = MakeCaptionButton(bar, "minimizeButton");
        pMaximize = MakeCaptionButton(bar, "maximizeButton");
        pMaximize->setProperty("maximizeProperty", QStringLiteral("maximize"));
        auto* close = MakeCaptionButton(bar, "closeButton");
        auto* row = new QHBoxLayout(bar);
        row->addSpacing(15);
        row->addWidget(icon);
        row->addSpacing(5);
        row->addWidget(title);
        row->addWidget(minimize);
        row->addSpacing(5);
        row->addWidget(pMaximize);
        row->addWidget(close);
        row->setSpacing(0);
        row->setContentsMargins(5, 0, 10, 0);
        return bar;
    }

    static QPushButton* MakeCaptionButton(QWidget* bar, const char* name)
    {
        auto* button = new QPushButton(bar);
        button->setObjectName(name);
        button->setFixedSize(27, 27);
        return button;
    }

    QWidget* MakeStartPage()
    {
        auto* page = new QWidget;
        page->setObjectName("page_3");
        pBtnSkin = new QPushButton(QStringLiteral("Skin"), page);
        pBtnSkin->setObjectName("m_pBtnSkin");
        pBtnSkin->setGeometry(470, 390, 86, 30);
        pBtnUpdate = new QPushButton(QStringLiteral("Update"), page);
        pBtnUpdate->setObjectName("m_pBtnUpdate");
        pBtnUpdate->setGeometry(570, 390, 86, 30);
        pBtnUpdate->setProperty("isMajor", false);
        return page;
    }

    QWidget* MakeProgressPage()
    {
        auto* page = new QWidget;
        page->setObjectName("page_4");
        auto* holder = new QWidget(page);
        holder->setObjectName("verticalLayoutWidget_2");
        holder->setGeometry(60, 320, 561, 80);
        auto* column = new QVBoxLayout(holder);
        column->setSpacing(0);
        column->setContentsMargins(0, 0, 0, 0);
        auto* row = new QHBoxLayout;
        row->setSpacing(0);
        row->setContentsMargins(-1, -1, -1, 10);
        auto* labUpdate = new QLabel(
            QStringLiteral("<html><head/><body><p>downloading...</p></body></html>"), holder);
        labUpdate->setObjectName("m_pLabUpdate");
        labUpdate->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
        auto* labProgress = new QLabel(QStringLiteral("37%"), holder);
        labProgress->setObjectName("m_pLabProgress");
        labProgress->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
        row->addWidget(labUpdate);
        row->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
        row->addWidget(labProgress);
        column->addLayout(row);
        pProgress = new QProgressBar(holder);
        pProgress->setObjectName("m_pProgress");
        pProgress->setValue(37);
        pProgress->setTextVisible(false);
        column->addWidget(pProgress);
        return page;
    }

    // Several paragraphs with the window's 10-pixel line distance.
    void SetNotes()
    {
        pBrowser->setText(QStringLiteral(
            "<p><b>Version 3.2</b> brings a faster start and a clearer layout.</p>"
            "<p>1. Opening large projects takes half the time.</p>"
            "<p>2. Settings are kept when you move to a new computer.</p>"
            "<p>3. Many small fixes to printing and export.</p>"));
        for (QTextBlock block = pBrowser->document()->begin(); block.isValid(); block = block.next()) {
            QTextBlockFormat format = block.blockFormat();
            format.setLineHeight(10.0, QTextBlockFormat::LineDistanceHeight);
            QTextCursor cursor = pBrowser->textCursor();
            cursor.setPosition(block.position());
            cursor.setBlockFormat(format);
            pBrowser->setTextCursor(cursor);
        }
    }

    void ApplySkin() { window.setStyleSheet(ReadSkinSheet()); }

    void ShowProgressPage()
    {
        pStack->setCurrentIndex(1);
        pLabContent->hide();
        pBrowser->hide();
    }

    QImage Grab() { return window.grab().toImage().convertToFormat(QImage::Format_RGB32); }
};

// The notice box as the GUI library builds it: the object names are the hooks.
struct NoticeStandIn
{
    QDialog box;
    QLabel* pText = nullptr;
    QPushButton* pOk = nullptr;
    QPushButton* pCancel = nullptr;

    NoticeStandIn()
    {
        box.setObjectName("VxMessageBox");
        auto* column = new QVBoxLayout(&box);
        pText = new QLabel(QStringLiteral("Be sure give up to update?"), &box);
        pText->setObjectName("VxMessageBoxText");
        column->addWidget(pText);
        auto* row = new QHBoxLayout;
        row->addStretch();
        pOk = new QPushButton(QStringLiteral("OK"), &box);
        pOk->setObjectName("VxMessageBoxOkButton");
        pCancel = new QPushButton(QStringLiteral("Cancel"), &box);
        pCancel->setObjectName("VxMessageBoxCancelButton");
        row->addWidget(pOk);
        row->addWidget(pCancel);
        column->addLayout(row);
    }
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
    void settingsFiles();
    void applicationIcon();
    void backgroundFollowsProperty_data();
    void backgroundFollowsProperty();
    void progressPicturesDiffer();
    void updateButtonLook_data();
    void updateButtonLook();
    void maximizeButtonFollowsProperty_data();
    void maximizeButtonFollowsProperty();
    void progressChunk();
    void noticeBoxLook();
    void textBrowserClassLook();

private:
    void SavePreview(const QString& name, const QImage& image);

    QTemporaryDir m_tempDir;
    QString m_strOldCurrent;
    QtMessageHandler m_pOldHandler = nullptr;
};

void TestSampleSkin::initTestCase()
{
    QVERIFY(m_tempDir.isValid());
    const QString source = qEnvironmentVariable("UPDATE_SOURCE_DIR") + "/sample";
    QVERIFY2(QFileInfo(source).isDir(), qPrintable(source));
    // Work on a copy, with the copy as the current folder as the updater has it.
    QDirIterator it(source, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString from = it.next();
        const QString to = m_tempDir.filePath(QDir(source).relativeFilePath(from));
        QVERIFY(QDir().mkpath(QFileInfo(to).path()));
        QVERIFY(QFile::copy(from, to));
    }
    m_strOldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_tempDir.path()));
    m_pOldHandler = qInstallMessageHandler(CollectParseWarnings);
    qApp->setStyleSheet(ReadAppSheet());
}

void TestSampleSkin::cleanupTestCase()
{
    qInstallMessageHandler(m_pOldHandler);
    qApp->setStyleSheet(QString());
    QDir::setCurrent(m_strOldCurrent);
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
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    const QByteArray bytes = file.readAll();
    QVERIFY(!bytes.isEmpty());
    QVERIFY2(!bytes.contains('\0'), "a zero byte cuts the sheet short");
    if (asciiOnly) {
        for (char c : bytes)
            QVERIFY2(static_cast<unsigned char>(c) < 0x80, "non-ASCII byte in the window sheet");
    }
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    QCOMPARE(state.invalidChars, 0);

    // Qt parses a sheet only when it polishes a widget that carries it.
    StandIn standIn;
    NoticeStandIn notice;
    standIn.window.setStyleSheet(QString::fromUtf8(bytes));
    notice.box.setStyleSheet(QString::fromUtf8(bytes));
    standIn.pBtnUpdate->setProperty("isMajor", true);
    standIn.Grab();
    notice.box.grab();
    QVERIFY2(g_parseWarnings.isEmpty(), qPrintable(g_parseWarnings.join('\n')));
}

void TestSampleSkin::sheetPictures_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QSize>("size");
    const QString sheet = ReadSkinSheet() + ReadAppSheet();
    const QStringList urls = SheetUrls(sheet);
    QVERIFY(urls.size() >= 20);
    // Every picture a sheet names must exist beside the updater, or that
    // state of the window silently loses its look.
    for (const QString& url : urls) {
        const QString name = QFileInfo(url).fileName();
        QSize size;
        if (name.startsWith("bg"))
            size = QSize(680, 480);
        else if (name.startsWith("btn_"))
            size = QSize(86, 30);
        else if (name.startsWith("title_"))
            size = QSize(27, 27);
        QTest::newRow(qPrintable(url)) << url << size;
    }
    QTest::newRow("title icon shown at 20x20")
        << QString("./Skin/Corvel/update/titleIcon.png") << QSize(20, 20);
}

void TestSampleSkin::sheetPictures()
{
    QFETCH(QString, url);
    QFETCH(QSize, size);
    QVERIFY2(url.startsWith("./Skin/Corvel/update/"), "pictures resolve from the installation folder");
    QImage image(url);
    QVERIFY2(!image.isNull(), qPrintable(url));
    if (size.isValid())
        QCOMPARE(image.size(), size);
}

void TestSampleSkin::settingsFiles()
{
    QSettings local("./Localcfg.ini", QSettings::IniFormat);
    QCOMPARE(local.value("Skin/Path").toString(), QString("Corvel"));
    QCOMPARE(local.value("Type/Language").toString(), QString("en_US"));
    QVERIFY(QFileInfo::exists("./Skin/Corvel/UpdateWidget.qss"));

    QSettings info("./ClientInfo.ini", QSettings::IniFormat);
    info.setIniCodec(QTextCodec::codecForName("GB18030"));
    QCOMPARE(info.value("CLIENTINFO/LogoName").toString(),
             QString::fromUtf8("Corvel \xe5\xae\xa2\xe6\x88\xb7\xe7\xab\xaf\xe6\x9b\xb4\xe6\x96\xb0"));

    // Stored as GB18030, not UTF-8: an editor that re-saved it as UTF-8
    // would garble the title.
    QFile file("./ClientInfo.ini");
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    QVERIFY(state.invalidChars > 0);
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
        QCOMPARE(image.width(), image.height());
        sizes << image.width();
    }
    for (int wanted : {16, 24, 32, 48, 64, 256})
        QVERIFY2(sizes.contains(wanted), qPrintable(QString("no %1 px image").arg(wanted)));
    QVERIFY(!QIcon(path).pixmap(32, 32).isNull());
}

void TestSampleSkin::backgroundFollowsProperty_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("picture");
    QTest::newRow("start page") << "0" << "bg0.png";
    QTest::newRow("first progress picture") << "1" << "bg1.png";
    QTest::newRow("second progress picture") << "2" << "bg2.png";
    QTest::newRow("third progress picture") << "3" << "bg3.png";
}

void TestSampleSkin::backgroundFollowsProperty()
{
    QFETCH(QString, value);
    QFETCH(QString, picture);
    StandIn standIn;
    if (value != "0")
        standIn.ShowProgressPage();
    standIn.ApplySkin();
    standIn.Grab();
    // The window sets the property and then the same sheet text again.
    standIn.window.setProperty("backgourndImg", value);
    standIn.ApplySkin();
    const QImage shot = standIn.Grab();
    SavePreview(value == "0" ? "start" : "progress" + value, shot);
    const QImage expected(QString(kPictures) + picture);
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
        pictures << QImage(QString(kPictures) + QString("bg%1.png").arg(n));
    // The cycle must show a visible change every tick, not the same picture.
    for (int a = 0; a < pictures.size(); ++a) {
        for (int b = a + 1; b < pictures.size(); ++b) {
            int differing = 0;
            for (int y = 0; y < 480; y += 4)
                for (int x = 0; x < 680; x += 4)
                    differing += Near(pictures[a].pixel(x, y), pictures[b].pixel(x, y), 12) ? 0 : 1;
            QVERIFY2(differing > 680 * 480 / 16 / 10,
                     qPrintable(QString("bg%1 and bg%2 look alike").arg(a).arg(b)));
        }
    }
}

void TestSampleSkin::updateButtonLook_data()
{
    QTest::addColumn<bool>("major");
    QTest::addColumn<QString>("picture");
    QTest::newRow("ordinary update") << false << "btn_update.png";
    QTest::newRow("mandatory update stands out at once") << true << "btn_major.png";
}

void TestSampleSkin::updateButtonLook()
{
    QFETCH(bool, major);
    QFETCH(QString, picture);
    StandIn standIn;
    standIn.ApplySkin();
    standIn.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&standIn.window, 5000));
    if (major) {
        // What the window does: property, then the button's own style polishes it again.
        standIn.pBtnSkin->hide();
        standIn.pBtnUpdate->setProperty("isMajor", true);
        standIn.pBtnUpdate->style()->polish(standIn.pBtnUpdate);
        standIn.pBtnUpdate->update();
        SavePreview("start_major", standIn.Grab());
    }
    const QImage shot = standIn.pBtnUpdate->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage expected(QString(kPictures) + picture);
    QCOMPARE(shot.size(), expected.size());
    // Left of the centred text, both edges and the fill.
    for (const QPoint& p : {QPoint(6, 15), QPoint(1, 15), QPoint(43, 1), QPoint(43, 28)})
        QVERIFY2(Near(shot.pixel(p), QColor::fromRgba(expected.pixel(p)).rgb()),
                 qPrintable(QString("at %1,%2").arg(p.x()).arg(p.y())));
}

void TestSampleSkin::maximizeButtonFollowsProperty_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("picture");
    QTest::newRow("normal window offers maximise") << "maximize" << "title_max.png";
    QTest::newRow("maximised window offers restore") << "restore" << "title_restore.png";
}

void TestSampleSkin::maximizeButtonFollowsProperty()
{
    QFETCH(QString, value);
    QFETCH(QString, picture);
    StandIn standIn;
    standIn.ApplySkin();
    standIn.Grab();
    standIn.pMaximize->setProperty("maximizeProperty", value);
    standIn.pMaximize->setStyle(QApplication::style());
    const QImage shot = standIn.Grab().copy(standIn.pMaximize->geometry().translated(
        standIn.pMaximize->parentWidget()->pos()));
    const QImage expected(QString(kPictures) + picture);
    const QImage other(QString(kPictures) + (value == "restore" ? "title_max.png" : "title_restore.png"));
    QCOMPARE(shot.size(), expected.size());
    // The expected glyph's strokes are drawn, and none of the other glyph's.
    int matching = 0;
    for (int y = 0; y < 27; ++y) {
        for (int x = 0; x < 27; ++x) {
            if (qAlpha(expected.pixel(x, y)) < 200)
                continue;
            matching += qGray(shot.pixel(x, y)) > 200 ? 1 : 0;
        }
    }
    int otherMatching = 0;
    for (int y = 0; y < 27; ++y) {
        for (int x = 0; x < 27; ++x) {
            if (qAlpha(other.pixel(x, y)) < 200 || qAlpha(expected.pixel(x, y)) >= 200)
                continue;
            otherMatching += qGray(shot.pixel(x, y)) > 200 ? 1 : 0;
        }
    }
    QVERIFY(matching > 10);
    QCOMPARE(otherMatching, 0);
}

void TestSampleSkin::progressChunk()
{
    StandIn standIn;
    standIn.ShowProgressPage();
    standIn.window.setProperty("backgourndImg", QStringLiteral("1"));
    standIn.ApplySkin();
    standIn.pProgress->setValue(50);
    const QImage bar = standIn.pProgress->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QVERIFY2(bar.height() == 10, "the bar is a slim 10 px line");
    const int y = bar.height() / 2;
    const QRgb done = bar.pixel(bar.width() / 4, y);
    const QRgb left = bar.pixel(bar.width() * 3 / 4, y);
    QVERIFY2(Near(left, qRgb(0xdd, 0xe5, 0xef)), "the rest of the groove is light grey-blue");
    QVERIFY2(qBlue(done) > qRed(done) + 60, "the done part is in the accent colours");
}

void TestSampleSkin::noticeBoxLook()
{
    NoticeStandIn notice;
    notice.box.resize(360, 150);
    notice.box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&notice.box, 5000));
    const QImage shot = notice.box.grab().toImage().convertToFormat(QImage::Format_RGB32);
    SavePreview("notice", shot);
    QVERIFY2(Near(shot.pixel(180, 1), qRgb(0x1f, 0x6f, 0xd1)), "blue top edge");
    QVERIFY2(Near(shot.pixel(340, 20), qRgb(0xff, 0xff, 0xff)), "white card");
    const QPoint ok = notice.pOk->geometry().topLeft() + QPoint(3, notice.pOk->height() / 2);
    QVERIFY2(qBlue(shot.pixel(ok)) > qRed(shot.pixel(ok)) + 60, "confirming button is blue");
    const QPoint cancel = notice.pCancel->geometry().topLeft() + QPoint(3, notice.pCancel->height() / 2);
    QVERIFY2(qGray(shot.pixel(cancel)) > 225, "second button is quiet");

    // The library's own class is styled too, whatever object name it uses.
    DAROZ::VxMessageBox box(nullptr, "Notice", "text", DAROZ::VxMessageBox::Ok);
    box.resize(300, 120);
    const QImage real = box.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QVERIFY2(Near(real.pixel(150, 1), qRgb(0x1f, 0x6f, 0xd1)), "class selector reaches the library's box");
    QVERIFY2(g_parseWarnings.isEmpty(), qPrintable(g_parseWarnings.join('\n')));
}

void TestSampleSkin::textBrowserClassLook()
{
    // Outside the update window only the application sheet applies.
    QWidget holder;
    holder.resize(300, 120);
    auto* browser = new DAROZ::VxTextBrowser(&holder);
    browser->setGeometry(0, 0, 300, 120);
    browser->setText("Readable notes");
    const QImage shot = holder.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QVERIFY2(Near(shot.pixel(150, 60), qRgb(0xff, 0xff, 0xff)), "light panel");
    QVERIFY2(Near(shot.pixel(150, 0), qRgb(0xd8, 0xe0, 0xea), 10), "thin light border");
    QCOMPARE(browser->palette().color(QPalette::Text), QColor(0x33, 0x40, 0x4f));
}

QTEST_MAIN(TestSampleSkin)
#include "tst_skin.moc"
