#include "CProxyAuth.h"

#include <QAuthenticator>
#include <QNetworkProxyFactory>
#include <QPointer>
#include <QUrl>

#include <utility>

namespace Update {

namespace {

bool IsProxy(const QNetworkProxy& proxy)
{
    switch (proxy.type()) {
    case QNetworkProxy::HttpProxy:
    case QNetworkProxy::HttpCachingProxy:
    case QNetworkProxy::Socks5Proxy:
        return true;
    default:
        return false;
    }
}

// The proxy a request for url goes through, as the system says; NoProxy when none.
QNetworkProxy ProxyFor(const QUrl& url)
{
    return QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url)).value(0, QNetworkProxy::NoProxy);
}

// Qt sends plain http to such a proxy as a request of its own, not through a
// tunnel: every answer on that connection comes from the proxy.
bool CarriesRequests(const QNetworkProxy& proxy, const QUrl& url)
{
    return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0
        && (proxy.type() == QNetworkProxy::HttpProxy || proxy.type() == QNetworkProxy::HttpCachingProxy)
        && proxy.capabilities().testFlag(QNetworkProxy::CachingCapability);
}

} // namespace

void UseSystemProxies()
{
    // Said here rather than left to how Qt was built or configured.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

// The manager's factory: the system's answer, with the credentials typed for
// each proxy in it.
class CProxyFactory : public QNetworkProxyFactory
{
public:
    explicit CProxyFactory(CProxyAuth* auth) : m_pAuth(auth) {}

    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override
    {
        if (!m_pAuth)
            return QNetworkProxyFactory::proxyForQuery(query);
        return m_pAuth->ProxiesFor(query);
    }

private:
    QPointer<CProxyAuth> m_pAuth;
};

CProxyAuth::CProxyAuth(Asker asker, QObject* parent) : QObject(parent), m_asker(std::move(asker))
{
}

CProxyAuth::~CProxyAuth() = default;

QString CProxyAuth::ProxyName(const QNetworkProxy& proxy)
{
    return QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
}

QString CProxyAuth::Key(const QNetworkProxy& proxy)
{
    return QStringLiteral("%1|%2|%3").arg(int(proxy.type())).arg(proxy.hostName().toLower()).arg(proxy.port());
}

QNetworkProxyFactory* CProxyAuth::NewProxyFactory()
{
    return new CProxyFactory(this);
}

QList<QNetworkProxy> CProxyAuth::ProxiesFor(const QNetworkProxyQuery& query)
{
    // The application's factory (the system's settings), never a manager's:
    // no way back here.
    QList<QNetworkProxy> proxies = QNetworkProxyFactory::proxyForQuery(query);
    for (QNetworkProxy& proxy : proxies) {
        if (!IsProxy(proxy))
            continue;
        const QString key = Key(proxy);
        m_handedOut.insert(key);
        const auto typed = m_credentials.constFind(key);
        if (typed == m_credentials.constEnd())
            continue;
        proxy.setUser(typed->user);
        proxy.setPassword(typed->password);
    }
    return proxies;
}

void CProxyAuth::OnProxyAuthenticationRequired(const QNetworkProxy& proxy, QAuthenticator* authenticator)
{
    Q_UNUSED(authenticator) // left empty: the request fails and goes again with the factory's proxy
    const QString key = Key(proxy);
    // A server's 407 comes without a proxy; a proxy we never used is not ours to answer.
    if (!IsProxy(proxy) || !m_handedOut.contains(key))
        return;
    // Declined, or refused what was given: the request fails.
    if (m_asked.contains(key) || !m_asker)
        return;
    m_asked.insert(key);
    QString user;
    QString password;
    m_bAsking = true;
    emit SignalAsking(true);
    const bool given = m_asker(proxy, &user, &password);
    m_bAsking = false;
    emit SignalAsking(false);
    if (!given)
        return;
    m_credentials.insert(key, Credentials{user, password});
    m_bFresh = true;
}

CProxyAuth::EVerdict CProxyAuth::Judge(const QNetworkReply* reply)
{
    const QUrl url = reply->url();
    const QNetworkProxy proxy = ProxyFor(url);
    if (!IsProxy(proxy))
        return EVerdict::NotTheProxy;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QNetworkReply::NetworkError error = reply->error();
    const bool given = m_credentials.contains(Key(proxy));
    bool refused = false;
    if (status == 0)
        refused = error == QNetworkReply::ProxyAuthenticationRequiredError
            || (given && error == QNetworkReply::UnknownNetworkError);
    else if (CarriesRequests(proxy, url))
        refused = status == 407 || (given && status == 401);
    // Any other status came through a tunnel, from the server.
    if (!refused)
        return EVerdict::NotTheProxy;
    if (given && m_bFresh) {
        m_bFresh = false;
        return EVerdict::AskAgain;
    }
    return EVerdict::Refused;
}

CFailure CProxyAuth::Refusal(const QUrl& url) const
{
    return CFailure(EFailure::ProxyRefused, {ProxyName(ProxyFor(url))});
}

} // namespace Update
