#include "CProxyAuth.h"

#include <QAuthenticator>
#include <QNetworkProxyFactory>

#include <utility>

namespace Update {

void UseSystemProxies()
{
    // Said here rather than left to how Qt was built or configured.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

CProxyAuth::CProxyAuth(Asker asker, QObject* parent) : QObject(parent), m_asker(std::move(asker))
{
}

CProxyAuth::~CProxyAuth() = default;

QString CProxyAuth::ProxyName(const QNetworkProxy& proxy)
{
    return QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
}

void CProxyAuth::OnProxyAuthenticationRequired(const QNetworkProxy& proxy, QAuthenticator* authenticator)
{
    m_strProxy = ProxyName(proxy);
    if (!m_bGiven) {
        if (m_bAsked)
            return; // declined: the request fails
        m_bAsked = true;
        QString user;
        QString password;
        if (!m_asker || !m_asker(proxy, &user, &password))
            return;
        m_strUser = user;
        m_strPassword = password;
        m_bGiven = true;
    }
    // Handed to every new connection that asks. When the proxy refuses them,
    // Qt asks again with them already in place; setting the same values
    // changes nothing, and Qt then fails the request.
    authenticator->setUser(m_strUser);
    authenticator->setPassword(m_strPassword);
}

CFailure CProxyAuth::Failure(QNetworkReply::NetworkError error) const
{
    const bool refused = error == QNetworkReply::ProxyAuthenticationRequiredError
        || (m_bGiven
            && (error == QNetworkReply::AuthenticationRequiredError || error == QNetworkReply::UnknownNetworkError));
    return refused ? CFailure(EFailure::ProxyRefused, {m_strProxy}) : CFailure();
}

} // namespace Update
