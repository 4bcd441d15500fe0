#include "DownloadRetry.h"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

namespace Update {

namespace {

bool IsTransientStatus(int status)
{
    switch (status) {
    case 408: case 429: case 500: case 502: case 503: case 504:
        return true;
    default:
        return false;
    }
}

// The three forms an HTTP date may take: IMF-fixdate, the obsolete RFC 850
// form and asctime's (whose padded day the simplified text loses). The day of
// the week is left out: it says nothing the date does not, and a two-digit
// year would make it disagree.
QDateTime ParseHttpDate(const QByteArray& value)
{
    QString text = QString::fromLatin1(value).simplified();
    const int comma = text.indexOf(QLatin1String(", "));
    text = comma >= 0 ? text.mid(comma + 2) : text.mid(text.indexOf(' ') + 1);
    static const char* const formats[] = {
        "dd MMM yyyy HH:mm:ss 'GMT'",
        "dd-MMM-yy HH:mm:ss 'GMT'",
        "MMM d HH:mm:ss yyyy",
    };
    for (const char* format : formats) {
        QDateTime date = QLocale::c().toDateTime(text, QLatin1String(format));
        if (!date.isValid())
            continue;
        date.setTimeSpec(Qt::UTC);
        // A two-digit year is read as 19xx; dates that far back were never
        // meant: a sender's 25 is 2025.
        if (date.date().year() < 1970)
            date = date.addYears(100);
        return date;
    }
    return QDateTime();
}

} // namespace

bool IsTransientFailure(const CDownloadFailure& failure)
{
    switch (failure.failure.kind) {
    case EFailure::Stalled:
    case EFailure::ClosedEarly:
    case EFailure::ResumeRefused:
        return true;
    case EFailure::Network:
    case EFailure::HttpStatus:
        break;
    default:
        return false;
    }
    switch (failure.networkError) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
        return true;
    default:
        break;
    }
    return IsTransientStatus(failure.httpStatus);
}

int RetryBackoffMs(int attempt)
{
    // 1 s doubled per attempt reaches the cap at the sixth; stop shifting
    // before an int would overflow.
    const int doublings = qBound(0, attempt - 1, 15);
    return qMin(1000 << doublings, kMaxRetryWaitMs);
}

int RetryAfterMs(const QByteArray& value, const QDateTime& nowUtc)
{
    const QByteArray text = value.trimmed();
    if (text.isEmpty())
        return -1;
    static const QRegularExpression seconds(QStringLiteral("^[0-9]+$"));
    if (seconds.match(QString::fromLatin1(text)).hasMatch()) {
        QByteArray digits = text;
        while (digits.size() > 1 && digits.startsWith('0'))
            digits.remove(0, 1);
        // Past five digits it is longer than the cap whatever it says.
        if (digits.size() > 5)
            return -1;
        const int ms = digits.toInt() * 1000;
        return ms > kMaxRetryWaitMs ? -1 : ms;
    }
    const QDateTime date = ParseHttpDate(text);
    if (!date.isValid())
        return -1;
    const qint64 ms = nowUtc.msecsTo(date);
    if (ms > kMaxRetryWaitMs)
        return -1;
    return int(qMax<qint64>(0, ms));
}

int RetryWaitMs(int attempt, const QByteArray& retryAfter, const QDateTime& nowUtc)
{
    const int serverWait = RetryAfterMs(retryAfter, nowUtc);
    return serverWait >= 0 ? serverWait : RetryBackoffMs(attempt);
}

} // namespace Update
