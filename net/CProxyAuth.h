#pragma once

// Proxies: the system's settings, and the user name and password a proxy asks
// for. Credentials stay in memory: never on disk, never in the debug log.

#include "UpdateFailure.h"

#include <QHash>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

class QAuthenticator;
class QNetworkProxyFactory;
class QUrl;

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
//     manager.setProxyFactory(auth.NewProxyFactory());
//     connect(&manager, SIGNAL(proxyAuthenticationRequired(QNetworkProxy,QAuthenticator*)),
//             &auth, SLOT(OnProxyAuthenticationRequired(QNetworkProxy,QAuthenticator*)));
//
// (CDownloadClient::SetProxyAuth does both.) Only a proxy that the factory
// handed out is answered, and only when that proxy itself asks: a 407 from a
// server (a direct connection, or one from inside a CONNECT tunnel, which Qt
// reports without a proxy) opens no dialog and gets nothing.
//
// What the user typed is never put into Qt's authenticator: Qt would copy it
// onto every channel of the connection and send it with the next 407 that
// arrives there, from whoever sent it. It goes into the proxy the factory
// hands out instead, which Qt uses only in answer to that proxy: the request
// that asked fails, and Judge() tells the client to ask again at once.
//
// Credentials in the proxy URL are Qt's to use; the asker is called only when
// there are none (or, with a proxy that answers refused ones with 407, when
// they were refused), at most once per proxy and run. When the asker
// declines, or the proxy refuses what it gave, the request fails with
// ProxyRefused naming the proxy.
class CProxyAuth : public QObject
{
    Q_OBJECT
public:
    // Fills *user and *password for proxy; false when the user declined.
    using Asker = std::function<bool(const QNetworkProxy& proxy, QString* user, QString* password)>;

    explicit CProxyAuth(Asker asker, QObject* parent = nullptr);
    ~CProxyAuth() override;

    // Whether the asker was called in this run.
    bool Asked() const { return !m_asked.isEmpty(); }
    // The asker is being called now (its dialog is open).
    bool Asking() const { return m_bAsking; }

    // The system's proxies, with what the user typed for each of them; owned
    // by the manager it is given to. It stays usable after this object goes.
    QNetworkProxyFactory* NewProxyFactory();

    // What a failed or refused answer to a request for reply->url() means
    // for its proxy. NotTheProxy: the proxy did not refuse (no proxy, or the
    // answer came from the server, through a tunnel or directly). AskAgain:
    // the proxy asked and the user has just typed credentials for it; the
    // request goes again at once, and they go with it. Refused: the proxy
    // refused, and nothing more will be given to it in this run.
    //
    // Its own refusals reach us as a failed CONNECT (407, or, from tinyproxy,
    // a connection cut short), or for plain http, where every answer comes
    // from the proxy, as a 407 (or, from tinyproxy, a 401 after credentials).
    enum class EVerdict { NotTheProxy, AskAgain, Refused };
    EVerdict Judge(const QNetworkReply* reply);
    // ProxyRefused, naming the proxy that requests for url go through.
    CFailure Refusal(const QUrl& url) const;

    // "host:port" of a proxy, as the failure names it.
    static QString ProxyName(const QNetworkProxy& proxy);

signals:
    // True before the asker is called, false once it has returned: no time
    // limit of a transfer should run out while the user types.
    void SignalAsking(bool asking);

public slots:
    void OnProxyAuthenticationRequired(const QNetworkProxy& proxy, QAuthenticator* authenticator);

private:
    friend class CProxyFactory;
    struct Credentials
    {
        QString user;
        QString password;
    };

    QList<QNetworkProxy> ProxiesFor(const QNetworkProxyQuery& query);
    static QString Key(const QNetworkProxy& proxy);

    Asker m_asker;
    QSet<QString> m_handedOut; // proxies the factory gave to a request
    QSet<QString> m_asked;     // proxies whose question went to the asker
    QHash<QString, Credentials> m_credentials; // what the asker gave, per proxy
    bool m_bFresh = false; // credentials were given that no request has carried yet
    bool m_bAsking = false;
};

} // namespace Update
