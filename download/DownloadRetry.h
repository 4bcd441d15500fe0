#pragma once

// When a failed download is tried again, and how long to wait first. Off
// unless the installation asks for it with "Update/Retries" in its
// "Localcfg.ini" (CLocalSettings::retries): a download then survives a
// dropped connection or a busy server instead of ending the update.

#include "UpdateFailure.h"

#include <QByteArray>
#include <QNetworkReply>

class QDateTime;

namespace Update {

// The longest wait between two attempts, and the longest Retry-After we honour.
const int kMaxRetryWaitMs = 30000;

// What is known about one failed attempt: what the user is told if it is the
// last, and what the network said.
struct CDownloadFailure
{
    CFailure failure;
    QNetworkReply::NetworkError networkError = QNetworkReply::NoError;
    int httpStatus = 0; // of the answer, 0 when none came
};

// Transient failures are worth another attempt: connection refused, reset or
// closed early, the server gone quiet, a refused resume, HTTP 408, 429, 500,
// 502, 503, 504. Everything else fails the update at once, and so does every
// failure of our own (the address, the disk, the file).
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
