#pragma once

#include <QString>

#include <deque>

namespace Update {

// What the status label says of a running download's pace: the speed over
// the last kWindowMs of byte counts, so that it does not jump with every
// chunk, and the time left when the size is known. It reads no clock: the
// caller passes the milliseconds of a monotonic clock of its own.
class CDownloadSpeed
{
public:
    static const qint64 kWindowMs = 5000;
    // "calculating..." until the first count is this old.
    static const qint64 kFirstMs = 1000;

    // Forgets every count: the next one starts the measurement again.
    void Reset();
    // The bytes received so far at nowMs. A count below the last one (the
    // file started over) starts the measurement again.
    void Sample(qint64 nowMs, qint64 received);
    // A count has come since the last Reset.
    bool IsMeasuring() const { return !m_counts.empty(); }
    // "calculating...", "3.2 MB/s", or with a total above 0 also the time
    // left: "3.2 MB/s, 1 min 12 s left".
    QString Text(qint64 nowMs, qint64 total) const;

private:
    struct CCount
    {
        qint64 ms;
        qint64 bytes;
    };

    // Bytes per second from the newest count at least kWindowMs old (or
    // the first one) to now; negative while calculating.
    double BytesPerSecond(qint64 nowMs) const;

    std::deque<CCount> m_counts; // oldest first; kept for kWindowMs
};

// 512 B/s, 9.5 KB/s, 850 KB/s, 3.2 MB/s, 1.1 GB/s (units of 1024).
QString SpeedText(double bytesPerSecond);
// 45 s, 1 min 12 s, 2 h 5 min.
QString TimeLeftText(qint64 seconds);

} // namespace Update
