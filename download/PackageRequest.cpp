#include "PackageRequest.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QString>
#include <QUrl>

namespace Update {

namespace {

// Qt 5.15 takes this as "TLS 1.0 or later", so it still meets servers that
// OpenSSL 3 allows (TLS 1.2 and 1.3).
const QSsl::SslProtocol kTlsProtocol = QSsl::TlsV1SslV3;

} // namespace

QNetworkRequest MakePackageRequest(const QString& url)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    // A 3xx answer is a hop, never the package; Qt bounds the number of hops.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    if (!url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        return request;
    QSslConfiguration ssl = request.sslConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
    ssl.setProtocol(kTlsProtocol);
    request.setSslConfiguration(ssl);
    return request;
}

} // namespace Update
