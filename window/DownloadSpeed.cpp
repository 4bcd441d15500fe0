#include "DownloadSpeed.h"

#include <QCoreApplication>

#include <cmath>

namespace Update {

namespace {

// Counts closer together than this replace the newest one, so that a fast
// download keeps a few dozen counts, not one per chunk.
const qint64 kCountSpacingMs = 200;

QString Tr(const char* text)
{
    return QCoreApplication::translate("Update::CUpdate", text);
}

const char* const kSpeedUnits[] = {
    QT_TRANSLATE_NOOP("Update::CUpdate", "%1 B/s"), QT_TRANSLATE_NOOP("Update::CUpdate", "%1 KB/s"),
    QT_TRANSLATE_NOOP("Update::CUpdate", "%1 MB/s"), QT_TRANSLATE_NOOP("Update::CUpdate", "%1 GB/s")};

} // namespace

void CDownloadSpeed::Reset()
{
    m_counts.clear();
}

void CDownloadSpeed::Sample(qint64 nowMs, qint64 received)
{
    if (!m_counts.empty() && (received < m_counts.back().bytes || nowMs < m_counts.back().ms))
        m_counts.clear();
    if (m_counts.size() > 1 && nowMs - m_counts[m_counts.size() - 2].ms < kCountSpacingMs)
        m_counts.back() = {nowMs, received};
    else
        m_counts.push_back({nowMs, received});
    // The newest count at least a window old is where the speed is taken from.
    while (m_counts.size() > 1 && m_counts[1].ms <= nowMs - kWindowMs)
        m_counts.pop_front();
}

double CDownloadSpeed::BytesPerSecond(qint64 nowMs) const
{
    if (m_counts.empty() || nowMs - m_counts.front().ms < kFirstMs)
        return -1;
    const CCount* from = &m_counts.front();
    for (const CCount& count : m_counts) {
        if (count.ms > nowMs - kWindowMs)
            break;
        from = &count;
    }
    const qint64 span = nowMs - from->ms;
    return span > 0 ? double(m_counts.back().bytes - from->bytes) * 1000.0 / double(span) : -1;
}

QString CDownloadSpeed::Text(qint64 nowMs, qint64 total) const
{
    const double speed = BytesPerSecond(nowMs);
    if (speed < 0)
        return QCoreApplication::translate("Update::CUpdate", "calculating...");
    const QString pace = SpeedText(speed);
    const qint64 left = total - m_counts.back().bytes;
    if (total <= 0 || left < 0 || speed < 1)
        return pace;
    const qint64 seconds = qint64(std::ceil(double(left) / speed));
    return QCoreApplication::translate("Update::CUpdate", "%1, %2 left").arg(pace, TimeLeftText(seconds));
}

QString SpeedText(double bytesPerSecond)
{
    double value = qMax(0.0, bytesPerSecond);
    int unit = 0;
    while (unit < 3 && value >= 1024) {
        value /= 1024;
        ++unit;
    }
    const bool withTenths = unit > 0 && value < 9.95;
    return Tr(kSpeedUnits[unit]).arg(withTenths ? QString::number(value, 'f', 1) : QString::number(std::llround(value)));
}

QString TimeLeftText(qint64 seconds)
{
    seconds = qMax<qint64>(0, seconds);
    if (seconds < 60)
        return QCoreApplication::translate("Update::CUpdate", "%1 s").arg(seconds);
    if (seconds < 3600)
        return QCoreApplication::translate("Update::CUpdate", "%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    return QCoreApplication::translate("Update::CUpdate", "%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60);
}

} // namespace Update
