#pragma once

// When a failed download is tried again, and how long to wait first. Off
// unless the installation asks for it with "Update/Retries" in its
// "Localcfg.ini": a download then survives a dropped connection or a busy
// server instead of ending the update.

#include <QByteArray>
#include <QNetworkReply>
#include <QString>

#include "LocalSettings.h"

class QDateTime;

namespace Update {

// The longest wait between two attempts, and the longest Retry-After we honour.
const int kMaxRetryWaitMs = 30000;

// "Update/Retries" of the INI file at iniPath: how many further attempts a
// transient failure may use. 0 (no retry, the default) when the key is missing,
// not a whole number, 0 or negative; at most kMaxDownloadRetries.
int ReadDownloadRetries(const QString& iniPath = QStringLiteral("./Localcfg.ini"));


// What is known about one failed attempt.
struct CDownloadFailure
{
    QNetworkReply::NetworkError networkError = QNetworkReply::NoError;
    int httpStatus = 0;     // of the answer, 0 when none came
    bool stalled = false;   // our own time-out: the server stopped sending
    bool closedEarly = false; // the body ended short of its announced size;
                              // Qt may call such an answer a success
    bool local = false;     // our own failure: the disk, a refused signature
};

// Transient failures are worth another attempt: connection refused, reset or
// closed early, the stall time-out, HTTP 408, 429, 500, 502, 503, 504.
// Everything else fails the update at once.
bool IsTransientFailure(const CDownloadFailure& failure);

// The wait before retry number attempt (1 for the first retry): 1 s, 2 s,
// 4 s ..., never more than kMaxRetryWaitMs.
int RetryBackoffMs(int attempt);

// A Retry-After value (seconds, or an HTTP date measured from nowUtc) as a
// wait in ms; -1 when it is missing, unreadable or longer than kMaxRetryWaitMs.
// A date already past gives 0.
int RetryAfterMs(const QByteArray& value, const QDateTime& nowUtc);

// The wait before retry number attempt: the server's Retry-After where it is
// usable, else the backoff.
int RetryWaitMs(int attempt, const QByteArray& retryAfter, const QDateTime& nowUtc);

} // namespace Update
