#include "InstallDir.h"
#include "VxDir.h"
#include "VxFile.h"
#include "VxMessageBox.h"
#include "VxTextBrowser.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <functional>

using DAROZ::VxMessageBox;
using Answer = std::function<void(VxMessageBox*)>;
Q_DECLARE_METATYPE(Answer)

class TestVxMessageBox : public QObject
{
    Q_OBJECT
private:
    // Runs the modal box and answers it once it is on screen. A box still
    // open after 5 s is rejected so that a failure cannot hang the run.
    static VxMessageBox::StandardButton ShowAndAnswer(const Answer& answer)
    {
        QTimer poll;
        QElapsedTimer clock;
        clock.start();
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* pBox = qobject_cast<VxMessageBox*>(QApplication::activeModalWidget());
            if (pBox && pBox->isVisible()) {
                poll.stop();
                answer(pBox);
            } else if (clock.elapsed() > 5000) {
                poll.stop();
                if (pBox)
                    pBox->reject();
            }
        });
        poll.start(10);
        return VxMessageBox::ShowInformation(nullptr, "Notice", "Text",
                                             VxMessageBox::Ok | VxMessageBox::Cancel);
    }

    static void Type(VxMessageBox* pBox, Qt::Key key)
    {
        QWidget* pTarget = pBox->focusWidget() ? pBox->focusWidget() : pBox;
        QTest::keyClick(pTarget, key);
    }

    static void Click(VxMessageBox* pBox, const char* name)
    {
        QTest::mouseClick(pBox->findChild<QPushButton*>(name), Qt::LeftButton);
    }

private slots:
    void answers_data()
    {
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<int>("result");
        QTest::newRow("Enter confirms") << Answer([](VxMessageBox* b) { Type(b, Qt::Key_Return); })
                                        << int(VxMessageBox::Ok);
        QTest::newRow("keypad Enter confirms")
            << Answer([](VxMessageBox* b) { Type(b, Qt::Key_Enter); }) << int(VxMessageBox::Ok);
        QTest::newRow("clicking OK confirms")
            << Answer([](VxMessageBox* b) { Click(b, "VxMessageBoxOkButton"); })
            << int(VxMessageBox::Ok);
        QTest::newRow("clicking Cancel is not a confirmation")
            << Answer([](VxMessageBox* b) { Click(b, "VxMessageBoxCancelButton"); })
            << int(VxMessageBox::Cancel);
        QTest::newRow("Esc answers no button")
            << Answer([](VxMessageBox* b) { Type(b, Qt::Key_Escape); })
            << int(VxMessageBox::NoButton);
        QTest::newRow("closing the box answers no button")
            << Answer([](VxMessageBox* b) { b->close(); }) << int(VxMessageBox::NoButton);
        QTest::newRow("Enter after Tab takes the focused Cancel")
            << Answer([](VxMessageBox* b) { Type(b, Qt::Key_Tab); Type(b, Qt::Key_Return); })
            << int(VxMessageBox::Cancel);
    }

    void answers()
    {
        QFETCH(Answer, answer);
        QFETCH(int, result);
        QCOMPARE(int(ShowAndAnswer(answer)), result);
    }

    void showsTitleTextAndButtons_data()
    {
        QTest::addColumn<int>("buttons");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("both buttons") << int(VxMessageBox::Ok | VxMessageBox::Cancel)
                                      << QStringList{"OK", "Cancel"};
        QTest::newRow("OK alone") << int(VxMessageBox::Ok) << QStringList{"OK"};
        QTest::newRow("no button asked still lets the box be answered")
            << int(VxMessageBox::NoButton) << QStringList{"OK"};
    }

    void showsTitleTextAndButtons()
    {
        QFETCH(int, buttons);
        QFETCH(QStringList, shown);
        const QString text = "<b>Be sure</b> overlay install? A long line that has to wrap.";
        VxMessageBox box(nullptr, "Notice", text, VxMessageBox::StandardButtons(buttons));
        QCOMPARE(box.windowTitle(), QString("Notice"));
        auto* pLabel = box.findChild<QLabel*>("VxMessageBoxText");
        QVERIFY(pLabel && pLabel->wordWrap() && pLabel->textFormat() != Qt::PlainText);
        QCOMPARE(pLabel->text(), text);
        QStringList texts;
        for (QPushButton* pButton : box.findChildren<QPushButton*>())
            texts << pButton->text();
        QCOMPARE(texts, shown);
        QVERIFY(box.findChild<QPushButton*>("VxMessageBoxOkButton")->isDefault());
    }
};

class TestVxFile : public QObject
{
    Q_OBJECT
private slots:
    void readAllConcatenates_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("in the order given") << QStringList{"b.CSS", "a.CSS"} << QByteArray("B\nA");
        QTest::newRow("missing file left out, no empty line")
            << QStringList{"a.CSS", "missing.CSS", "b.CSS"} << QByteArray("A\nB");
        QTest::newRow("folder among the names left out")
            << QStringList{"sub.CSS", "a.CSS"} << QByteArray("A");
        QTest::newRow("empty file still counts")
            << QStringList{"a.CSS", "empty.CSS", "b.CSS"} << QByteArray("A\n\nB");
        QTest::newRow("bytes kept as they are")
            << QStringList{"utf8.CSS"} << QByteArray("/* \xE5\xAD\x97 */\r\n");
        QTest::newRow("empty list") << QStringList{} << QByteArray();
        QTest::newRow("nothing readable") << QStringList{"missing.CSS"} << QByteArray();
    }

    void readAllConcatenates()
    {
        QFETCH(QStringList, names);
        QFETCH(QByteArray, expected);
        TestSupport::InstallDir dir;
        const QMap<QString, QByteArray> files{{"a.CSS", "A"},
                                              {"b.CSS", "B"},
                                              {"empty.CSS", ""},
                                              {"utf8.CSS", "/* \xE5\xAD\x97 */\r\n"}};
        for (auto it = files.begin(); it != files.end(); ++it)
            QVERIFY(dir.write(it.key(), it.value()));
        QVERIFY(QDir(dir.path()).mkdir("sub.CSS"));
        QCOMPARE(DAROZ::VxFile::ReadAll(names, dir.path() + "/"), expected);
        // A folder given without its separator names the same files.
        QCOMPARE(DAROZ::VxFile::ReadAll(names, dir.path()), expected);
    }
};

class TestVxDir : public QObject
{
    Q_OBJECT
private slots:
    void getCurrentPath_data()
    {
        QTest::addColumn<bool>("root");
        QTest::addColumn<bool>("worker");
        QTest::newRow("folder, no trailing separator") << false << false;
        QTest::newRow("root keeps its separator") << true << false;
        QTest::newRow("from a worker thread") << false << true;
    }

    void getCurrentPath()
    {
        QFETCH(bool, root);
        QFETCH(bool, worker);
        TestSupport::InstallDir dir; // gives the previous current folder back
        const QString expected = root ? "/" : QDir(dir.path()).canonicalPath();
        QVERIFY(QDir::setCurrent(root ? "/" : dir.path() + "/"));
        QString actual;
        if (worker) {
            QScopedPointer<QThread> pThread(
                QThread::create([&actual] { actual = DAROZ::VxDir::GetCurrentPath(); }));
            pThread->start();
            QVERIFY(pThread->wait(5000));
        } else {
            actual = DAROZ::VxDir::GetCurrentPath();
        }
        QCOMPARE(actual, expected);
    }
};

class TestVxTextBrowser : public QObject
{
    Q_OBJECT
private slots:
    void linksAreReportedNotFollowed_data()
    {
        QTest::addColumn<QString>("href");
        QTest::newRow("relative file") << "notes.html";
        QTest::newRow("web address") << "http://127.0.0.1/notes";
        QTest::newRow("anchor in the notes") << "#second";
    }

    void linksAreReportedNotFollowed()
    {
        QFETCH(QString, href);
        DAROZ::VxTextBrowser browser(nullptr);
        browser.setHtml(QString("<p>Fixes</p><p><a href=\"%1\">more</a></p><p><a "
                                "name=\"second\"></a>End</p>").arg(href));
        const QString before = browser.toHtml();
        QSignalSpy clicked(&browser, SIGNAL(anchorClicked(QUrl)));
        browser.show();
        QVERIFY(QTest::qWaitForWindowExposed(&browser));
        QTest::keyClick(&browser, Qt::Key_Tab);   // onto the link
        QTest::keyClick(&browser, Qt::Key_Return); // follow it
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(clicked.at(0).at(0).toUrl(), QUrl(href));
        QVERIFY(browser.source().isEmpty());
        QCOMPARE(browser.toHtml(), before);
    }
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    int failed = 0;
    TestVxMessageBox box;
    TestVxFile file;
    TestVxDir dir;
    TestVxTextBrowser browser;
    for (QObject* pTest : std::initializer_list<QObject*>{&box, &file, &dir, &browser})
        failed += QTest::qExec(pTest, argc, argv);
    return failed;
}

#include "tst_daroz.moc"
