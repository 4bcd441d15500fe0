#include "CDownloadClient.h"
#include "CProxyAuth.h"
#include "CProxyLoginDialog.h"
#include "LogCapture.h"
#include "NginxServer.h"
#include "TestCertificates.h"
#include "TinyProxy.h"
#include "TlsTrust.h"
#include "WindowTestSupport.h"

#include <QDir>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkProxy>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>


using namespace Update;

using WindowTest::ModalAnswerer;

// The dialog open now, for a ModalAnswerer's hook; the answerer presses
// Escape on it if the hook left it open, so no test hangs in exec().
CProxyLoginDialog* OpenDialog()
{
    return qobject_cast<CProxyLoginDialog*>(QApplication::activeModalWidget());
}

class TestProxyLogin : public QObject
{
    Q_OBJECT

private slots:
    void answer_data();
    void answer();
    void translated();
    void askedThroughRealProxy_data();
    void askedThroughRealProxy();
};

void TestProxyLogin::answer_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("action"); // "ok", "enter", "cancel", "escape", "close"
    QTest::addColumn<bool>("accepted");

    QTest::newRow("OK") << "alice" << "s3cret pass" << "ok" << true;
    QTest::newRow("Enter") << "DOMAIN\\alice" << "p@ss:word" << "enter" << true;
    QTest::newRow("empty password") << "alice" << "" << "ok" << true;
    QTest::newRow("Enter without a user name does nothing") << "" << "pw" << "enter" << false;
    QTest::newRow("Cancel") << "alice" << "s3cret pass" << "cancel" << false;
    QTest::newRow("Esc") << "alice" << "s3cret pass" << "escape" << false;
    QTest::newRow("closed by the window system") << "alice" << "s3cret pass" << "close" << false;
}

void TestProxyLogin::answer()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, action);
    QFETCH(bool, accepted);

    QString text;
    bool okBeforeTyping = true;
    QLineEdit::EchoMode echo = QLineEdit::Normal;
    ModalAnswerer driver({Qt::Key_Escape});
    driver.setOnBox([&]() {
        CProxyLoginDialog* dialog = OpenDialog();
        text = dialog->findChild<QLabel*>("ProxyLoginText")->text();
        auto* ok = dialog->findChild<QPushButton*>("ProxyLoginOkButton");
        auto* edit = dialog->findChild<QLineEdit*>("ProxyLoginPassword");
        okBeforeTyping = ok->isEnabled();
        echo = edit->echoMode();
        QTest::keyClicks(dialog->findChild<QLineEdit*>("ProxyLoginUser"), user);
        QTest::keyClicks(edit, password);
        if (action == "ok")
            ok->click();
        else if (action == "enter")
            QTest::keyClick(dialog, Qt::Key_Return);
        else if (action == "cancel")
            dialog->findChild<QPushButton*>("ProxyLoginCancelButton")->click();
        else if (action == "escape")
            QTest::keyClick(dialog, Qt::Key_Escape);
        else
            dialog->close();
    });

    LogCapture log;
    QString givenUser = "untouched";
    QString givenPassword = "untouched";
    const bool result =
        CProxyLoginDialog::Ask(QNetworkProxy(QNetworkProxy::HttpProxy, "proxy.example.test", 3128), &givenUser,
                               &givenPassword);
    const QString logged = log.Text();

    QCOMPARE(result, accepted);
    QCOMPARE(givenUser, accepted ? user : QString("untouched"));
    QCOMPARE(givenPassword, accepted ? password : QString("untouched"));
    QCOMPARE(text, QString("The proxy server proxy.example.test:3128 asks for a user name and password."));
    QVERIFY(!okBeforeTyping);
    QCOMPARE(echo, QLineEdit::Password);
    QVERIFY2(logged.contains("proxy login[proxy.example.test:3128]"), qPrintable(logged));
    if (!password.isEmpty())
        QVERIFY2(!logged.contains(password), qPrintable(logged));
}

void TestProxyLogin::translated()
{
    const QString binDir = qEnvironmentVariable("UPDATE_BIN_DIR");
    if (binDir.isEmpty())
        QSKIP("UPDATE_BIN_DIR is not set (run through ctest)");
    QTranslator translator;
    QVERIFY(translator.load(binDir + "/Language/Language_zh_CN/update_zh_CN.qm"));
    QVERIFY(QCoreApplication::installTranslator(&translator));
    CProxyLoginDialog dialog(QNetworkProxy(QNetworkProxy::HttpProxy, "10.0.0.8", 8080));
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("代理服务器"));
    QVERIFY(dialog.findChild<QLabel*>("ProxyLoginText")->text().contains("10.0.0.8:8080"));
    QVERIFY(!dialog.findChild<QLabel*>("ProxyLoginText")->text().contains("asks"));
    for (const char* name : {"ProxyLoginUserLabel", "ProxyLoginPasswordLabel"})
        QVERIFY(!dialog.findChild<QLabel*>(name)->text().contains(':'));
    QCOMPARE(dialog.findChild<QPushButton*>("ProxyLoginOkButton")->text(), QString::fromUtf8("确定"));
    QCOMPARE(dialog.findChild<QPushButton*>("ProxyLoginCancelButton")->text(), QString::fromUtf8("取消"));
}

void TestProxyLogin::askedThroughRealProxy_data()
{
    QTest::addColumn<int>("stallMs");  // the download's stall time
    QTest::addColumn<int>("heldMs");   // how long the dialog stays open before it is answered
    QTest::addColumn<int>("downloads"); // each by a client of its own, one run

    QTest::newRow("answered at once: asked once for two downloads") << 20000 << 0 << 2;
    QTest::newRow("left open past the stall time: the download goes on, nothing fails") << 300 << 1500 << 1;
}

// The dialog as the proxy's question reaches it: tinyproxy asks, the user
// types, the package comes through the download client. While the dialog is
// open no time limit of the download runs out.
void TestProxyLogin::askedThroughRealProxy()
{
    if (TinyProxy::Program().isEmpty())
        QSKIP("tinyproxy is not installed (scripts/deps.sh installs tinyproxy-bin)");
    if (NginxServer::Program().isEmpty())
        QSKIP("nginx is not installed (scripts/deps.sh installs nginx-light)");
    QFETCH(int, stallMs);
    QFETCH(int, heldMs);
    QFETCH(int, downloads);
    const QByteArray package = QByteArray(50000, 'z');
    NginxServer nginx;
    QVERIFY(nginx.AddFile("client_v2.zip", package));
    QVERIFY2(nginx.Start(), qPrintable(nginx.ErrorText()));
    TinyProxy proxy("updater", "Pr0xyPass");
    QVERIFY2(proxy.Start(), qPrintable(proxy.ErrorText()));
    UseSystemProxies();
    ProxyEnvironment env(proxy.Url());
    QTemporaryDir installation;
    QVERIFY(installation.isValid());

    int shown = 0;
    int failedWhileOpen = 0;
    CProxyAuth auth(&CProxyLoginDialog::Ask);
    for (int i = 0; i < downloads; ++i) {
        CDownloadClient client{TestSupport::InstallDir::Current()};
        client.SetStallTimeout(stallMs);
        client.SetProxyAuth(&auth);
        QStringList errors;
        int finishes = 0;
        connect(&client, &CDownloadClient::SgnDownloadError, &client, [&errors](QString& text) { errors << text; });
        connect(&client, &CDownloadClient::SignalFinishDownload, &client, [&finishes] { ++finishes; });
        ModalAnswerer driver({Qt::Key_Escape});
        driver.setOnBox([&]() {
            CProxyLoginDialog* dialog = OpenDialog();
            ++shown;
            QTest::qWait(heldMs);
            failedWhileOpen += errors.size();
            QTest::keyClicks(dialog->findChild<QLineEdit*>("ProxyLoginUser"), "updater");
            QTest::keyClicks(dialog->findChild<QLineEdit*>("ProxyLoginPassword"), "Pr0xyPass");
            dialog->findChild<QPushButton*>("ProxyLoginOkButton")->click();
        });
        const QString url = nginx.Url("/client_v2.zip", TestCertificates::TestHostName());
        client.StartDownload(CPackage(url, installation.path()));
        QTRY_VERIFY_WITH_TIMEOUT(finishes + errors.size() > 0, 20000);
        QCOMPARE(errors, QStringList());
        QCOMPARE(finishes, 1);
        QFile file(installation.filePath("client_v2.zip"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == package);
    }
    QCOMPARE(shown, 1);
    QCOMPARE(failedWhileOpen, 0);
    QVERIFY(!proxy.Tunnels().isEmpty());
}

QTEST_MAIN(TestProxyLogin)
#include "tst_proxylogin.moc"
