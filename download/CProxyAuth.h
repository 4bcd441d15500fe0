#pragma once

// Proxies: the system's settings, and the user name and password a proxy asks
// for. Credentials stay in memory: never on disk, never in the debug log.

#include "UpdateFailure.h"

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QObject>
#include <QString>

#include <functional>

class QAuthenticator;

namespace Update {

// Start-up calls this once, before the first request: every request then
// goes the way the system says. On Windows that is the system's proxy
// configuration; elsewhere http_proxy, https_proxy (http_proxy for https when
// it is missing) and no_proxy, with any user:password@ in the proxy URL used
// as the proxy's credentials. Qt itself never sends requests for 127.* or
// localhost through a proxy.
void UseSystemProxies();

// The credentials of a proxy that asks for them (407), for one run:
//
//     CProxyAuth auth(&CProxyLoginDialog::Ask);
//     connect(&manager, SIGNAL(proxyAuthenticationRequired(QNetworkProxy,QAuthenticator*)),
//             &auth, SLOT(OnProxyAuthenticationRequired(QNetworkProxy,QAuthenticator*)));
//
// The connection must be direct (the default on one thread): Qt reads the
// authenticator when the slot returns.
//
// Credentials in the proxy URL are Qt's to use; it asks only when there are
// none (or, with a proxy that answers refused ones with 407, when they were
// refused). Then the asker is called once per run, and what it gave is handed
// to every later question of a new connection. When the asker declines, or
// the proxy refuses what it gave, the request fails; Failure() names the
// proxy.
class CProxyAuth : public QObject
{
    Q_OBJECT
public:
    // Fills *user and *password for proxy; false when the user declined.
    using Asker = std::function<bool(const QNetworkProxy& proxy, QString* user, QString* password)>;

    explicit CProxyAuth(Asker asker, QObject* parent = nullptr);
    ~CProxyAuth() override;

    // Whether the asker was called in this run.
    bool Asked() const { return m_bAsked; }

    // The failure of a request that ended with error: ProxyRefused naming the
    // proxy when the proxy wants credentials it did not get (407), or when it
    // refused the ones handed to it in this run (some proxies, tinyproxy among
    // them, answer refused credentials with 401, which Qt reports as
    // AuthenticationRequiredError, or cut a CONNECT short with
    // UnknownNetworkError). None for any other error.
    CFailure Failure(QNetworkReply::NetworkError error) const;

    // "host:port" of a proxy, as the failure names it.
    static QString ProxyName(const QNetworkProxy& proxy);

public slots:
    void OnProxyAuthenticationRequired(const QNetworkProxy& proxy, QAuthenticator* authenticator);

private:
    Asker m_asker;
    QString m_strProxy;     // the last proxy that asked
    QString m_strUser;
    QString m_strPassword;
    bool m_bAsked = false;
    bool m_bGiven = false; // the asker gave credentials, handed to the proxy
};

} // namespace Update
