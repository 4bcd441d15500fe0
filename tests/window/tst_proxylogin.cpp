#include "CProxyAuth.h"
#include "CProxyLoginDialog.h"
#include "NginxServer.h"
#include "TestCertificates.h"
#include "TinyProxy.h"
#include "TlsTrust.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

#include <functional>

using namespace Update;

namespace {

const int kShowWaitMs = 10000; // the dialog shows up at once; this bounds the wait for it

// While it lives, runs act on the proxy dialog once it is the modal window,
// and closes the dialog if act left it open, so no test hangs in exec().
class DialogDriver
{
public:
    explicit DialogDriver(std::function<void(CProxyLoginDialog*)> act) : m_act(std::move(act))
    {
        m_waited.start();
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { OnTick(); });
        m_timer.start();
    }

private:
    void OnTick()
    {
        auto* dialog = qobject_cast<CProxyLoginDialog*>(QApplication::activeModalWidget());
        if (dialog && dialog->isVisible()) {
            m_timer.stop();
            m_act(dialog);
            if (dialog->isVisible())
                dialog->reject();
        } else if (m_waited.elapsed() > kShowWaitMs) {
            m_timer.stop();
        }
    }

    std::function<void(CProxyLoginDialog*)> m_act;
    QTimer m_timer;
    QElapsedTimer m_waited;
};

QString g_log;
void CaptureLog(QtMsgType, const QMessageLogContext&, const QString& message)
{
    g_log += message + '\n';
}

} // namespace

class TestProxyLogin : public QObject
{
    Q_OBJECT

private slots:
    void answer_data();
    void answer();
    void translated();
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
    DialogDriver driver([&](CProxyLoginDialog* dialog) {
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

    g_log.clear();
    const QtMessageHandler previous = qInstallMessageHandler(CaptureLog);
    QString givenUser = "untouched";
    QString givenPassword = "untouched";
    const bool result =
        CProxyLoginDialog::Ask(QNetworkProxy(QNetworkProxy::HttpProxy, "proxy.example.test", 3128), &givenUser,
                               &givenPassword);
    qInstallMessageHandler(previous);

    QCOMPARE(result, accepted);
    QCOMPARE(givenUser, accepted ? user : QString("untouched"));
    QCOMPARE(givenPassword, accepted ? password : QString("untouched"));
    QCOMPARE(text, QString("The proxy server proxy.example.test:3128 asks for a user name and password."));
    QVERIFY(!okBeforeTyping);
    QCOMPARE(echo, QLineEdit::Password);
    QVERIFY2(g_log.contains("proxy login[proxy.example.test:3128]"), qPrintable(g_log));
    if (!password.isEmpty())
        QVERIFY2(!g_log.contains(password), qPrintable(g_log));
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

// The dialog as the proxy's question reaches it: tinyproxy asks, the user
// types, the package comes; the dialog is shown once for two requests.
void TestProxyLogin::askedThroughRealProxy()
{
    if (TinyProxy::Program().isEmpty())
        QSKIP("tinyproxy is not installed (scripts/deps.sh installs tinyproxy-bin)");
    if (NginxServer::Program().isEmpty())
        QSKIP("nginx is not installed (scripts/deps.sh installs nginx-light)");
    const QByteArray package = QByteArray(50000, 'z');
    NginxServer nginx;
    QVERIFY(nginx.AddFile("client_v2.zip", package));
    QVERIFY2(nginx.Start(), qPrintable(nginx.ErrorText()));
    TinyProxy proxy("updater", "Pr0xyPass");
    QVERIFY2(proxy.Start(), qPrintable(proxy.ErrorText()));
    UseSystemProxies();
    ProxyEnvironment env(proxy.Url());

    int shown = 0;
    CProxyAuth auth(&CProxyLoginDialog::Ask);
    for (int i = 0; i < 2; ++i) {
        DialogDriver driver([&shown](CProxyLoginDialog* dialog) {
            ++shown;
            QTest::keyClicks(dialog->findChild<QLineEdit*>("ProxyLoginUser"), "updater");
            QTest::keyClicks(dialog->findChild<QLineEdit*>("ProxyLoginPassword"), "Pr0xyPass");
            dialog->findChild<QPushButton*>("ProxyLoginOkButton")->click();
        });
        QNetworkAccessManager manager;
        connect(&manager, SIGNAL(proxyAuthenticationRequired(QNetworkProxy,QAuthenticator*)), &auth,
                SLOT(OnProxyAuthenticationRequired(QNetworkProxy,QAuthenticator*)));
        QNetworkRequest request{QUrl(nginx.Url("/client_v2.zip", TestCertificates::TestHostName()))};
        CTlsTrust().Apply(request);
        QNetworkReply* reply = manager.get(request);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(20000));
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QVERIFY(reply->readAll() == package);
        delete reply;
    }
    QCOMPARE(shown, 1);
    QVERIFY(!proxy.Tunnels().isEmpty());
}

QTEST_MAIN(TestProxyLogin)
#include "tst_proxylogin.moc"
