#pragma once

#include <QtGlobal>

namespace Update {

// The percentage shown for `received` bytes of an announced `size`:
// truncated, never below 0, and in 64 bits without overflow, so a package far
// larger than announced shows a large number, never a wrapped one. -1 when
// there is no size to divide by.
qint64 ProgressPercent(qint64 received, qint64 size);

} // namespace Update
