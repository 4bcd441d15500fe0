#include "ProgressPercent.h"

namespace Update {

qint64 ProgressPercent(qint64 received, qint64 size)
{
    if (size <= 0)
        return -1;
    received = qMax<qint64>(received, 0);
    // Split so that received * 100 cannot overflow.
    return received / size * 100 + received % size * 100 / size;
}

QString ReceivedMegabytes(qint64 received)
{
    // In whole tenths, so that the text never claims more than has come.
    const qint64 tenths = qMax<qint64>(received, 0) / 100000;
    return QStringLiteral("%1.%2 MB").arg(tenths / 10).arg(tenths % 10);
}

} // namespace Update
