#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QNetworkProxy;
class QPushButton;
class QShowEvent;

namespace Update {

// Asks for the user name and password of a proxy server that wants them. It
// looks like the notice boxes: the application style sheet reaches it by its
// object names (CProxyLoginDialog, ProxyLoginText, ProxyLoginUser,
// ProxyLoginPassword, ProxyLoginOkButton, ProxyLoginCancelButton).
class CProxyLoginDialog : public QDialog
{
    Q_OBJECT
public:
    explicit CProxyLoginDialog(const QNetworkProxy& proxy, QWidget* parent = nullptr);

    QString User() const;
    QString Password() const;

    // Modal, without a parent; true with *user and *password filled when the
    // user pressed OK. Fits CProxyAuth::Asker.
    static bool Ask(const QNetworkProxy& proxy, QString* user, QString* password);

private slots:
    void OnUserEdited();

private:
    void showEvent(QShowEvent* event) override;

    QLineEdit* m_pEditUser = nullptr;
    QLineEdit* m_pEditPassword = nullptr;
    QPushButton* m_pBtnOk = nullptr;
};

} // namespace Update
