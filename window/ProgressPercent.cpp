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

} // namespace Update
