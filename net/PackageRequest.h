#pragma once

#include <QNetworkRequest>

class QString;

namespace Update {

class CTlsTrust;

// The one GET (or HEAD) of the update, for the package, its signature and
// every redirect hop alike: redirects are followed, never from https to http;
// the server's certificate is verified against trust; the body is asked for as
// stored (identity encoding).
QNetworkRequest MakePackageRequest(const QString& url, const CTlsTrust& trust);

} // namespace Update
