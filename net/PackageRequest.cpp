#include "PackageRequest.h"
#include "HttpAnswer.h"
#include "TlsTrust.h"

#include <QString>
#include <QUrl>

namespace Update {

QNetworkRequest MakePackageRequest(const QString& url, const CTlsTrust& trust)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    // A 3xx answer is a hop, never the package; Qt bounds the number of hops.
    // Each hop goes out with this request's TLS configuration and headers.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    trust.Apply(request);
    AskForIdentityEncoding(request);
    return request;
}

} // namespace Update
