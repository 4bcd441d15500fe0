#pragma once

#include <QNetworkRequest>

class QString;

namespace Update {

// The one GET (or HEAD) of the update, for the package and for its
// signature alike: redirects are followed, never from https to http; https
// URLs (any letter case) go without certificate checks.
QNetworkRequest MakePackageRequest(const QString& url);

} // namespace Update
