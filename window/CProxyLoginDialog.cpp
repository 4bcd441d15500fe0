#include "CProxyLoginDialog.h"
#include "UpdateLog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkProxy>
#include <QPushButton>
#include <QVBoxLayout>

namespace Update {

CProxyLoginDialog::CProxyLoginDialog(const QNetworkProxy& proxy, QWidget* parent) : QDialog(parent)
{
    const QString proxyName = QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
    setObjectName("CProxyLoginDialog");
    setWindowTitle(tr("Proxy server"));
    setModal(true);
    setMinimumWidth(360);

    auto* pLabText = new QLabel(tr("The proxy server %1 asks for a user name and password.").arg(proxyName), this);
    pLabText->setObjectName("ProxyLoginText");
    pLabText->setTextFormat(Qt::PlainText);
    pLabText->setWordWrap(true);

    m_pEditUser = new QLineEdit(this);
    m_pEditUser->setObjectName("ProxyLoginUser");
    m_pEditPassword = new QLineEdit(this);
    m_pEditPassword->setObjectName("ProxyLoginPassword");
    m_pEditPassword->setEchoMode(QLineEdit::Password);
    m_pEditPassword->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);

    auto* pLabUser = new QLabel(tr("User name:"), this);
    pLabUser->setObjectName("ProxyLoginUserLabel");
    pLabUser->setBuddy(m_pEditUser);
    auto* pLabPassword = new QLabel(tr("Password:"), this);
    pLabPassword->setObjectName("ProxyLoginPasswordLabel");
    pLabPassword->setBuddy(m_pEditPassword);

    m_pBtnOk = new QPushButton(tr("OK"), this);
    m_pBtnOk->setObjectName("ProxyLoginOkButton");
    m_pBtnOk->setDefault(true);
    m_pBtnOk->setEnabled(false);
    auto* pBtnCancel = new QPushButton(tr("Cancel"), this);
    pBtnCancel->setObjectName("ProxyLoginCancelButton");
    connect(m_pBtnOk, SIGNAL(clicked()), this, SLOT(accept()));
    connect(pBtnCancel, SIGNAL(clicked()), this, SLOT(reject()));
    connect(m_pEditUser, SIGNAL(textChanged(QString)), this, SLOT(OnUserEdited()));

    auto* pFields = new QFormLayout;
    pFields->addRow(pLabUser, m_pEditUser);
    pFields->addRow(pLabPassword, m_pEditPassword);
    auto* pButtons = new QHBoxLayout;
    pButtons->addStretch();
    pButtons->addWidget(m_pBtnOk);
    pButtons->addWidget(pBtnCancel);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(pLabText);
    pLayout->addLayout(pFields);
    pLayout->addLayout(pButtons);
    m_pEditUser->setFocus();
}

QString CProxyLoginDialog::User() const
{
    return m_pEditUser->text();
}

QString CProxyLoginDialog::Password() const
{
    return m_pEditPassword->text();
}

bool CProxyLoginDialog::Ask(const QNetworkProxy& proxy, QString* user, QString* password)
{
    // The proxy, never what was typed, goes to the log.
    qDebug("proxy login[%s:%d]", qUtf8Printable(proxy.hostName()), int(proxy.port()));
    CUpdateLog::Write(QStringLiteral("proxy %1:%2 asks for a user name and password").arg(proxy.hostName()).arg(proxy.port()));
    CProxyLoginDialog dialog(proxy);
    const bool answered = dialog.exec() == QDialog::Accepted;
    CUpdateLog::Write(answered ? QStringLiteral("proxy dialog answered") : QStringLiteral("proxy dialog cancelled"));
    if (!answered)
        return false;
    *user = dialog.User();
    *password = dialog.Password();
    return true;
}

// A proxy user always has a name; OK waits for one.
void CProxyLoginDialog::OnUserEdited()
{
    m_pBtnOk->setEnabled(!m_pEditUser->text().isEmpty());
}

// Shown without a parent, the dialog must still take the keyboard from
// whatever window was active.
void CProxyLoginDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    raise();
    activateWindow();
}

} // namespace Update
