#pragma once

#include <QString>
#include <QtGlobal>

namespace Update {

// The percentage shown for `received` bytes of an announced `size`:
// truncated, never below 0, and in 64 bits without overflow, so a package far
// larger than announced shows a large number, never a wrapped one. -1 when
// there is no size to divide by.
qint64 ProgressPercent(qint64 received, qint64 size);

// What is shown instead when the client did not know the size: the bytes
// received in megabytes of 1,000,000 bytes, truncated to one decimal
// ("12.4 MB"), never below 0.
QString ReceivedMegabytes(qint64 received);

} // namespace Update
