#pragma once

// The process's own memory, as the system counts it; kept free of Qt.

#include <cstdint>

namespace Update {
namespace Platform {

// Bytes of this process held in physical memory now (its resident set, on
// Windows its working set); -1 where the system does not tell.
int64_t ResidentBytes();

} // namespace Platform
} // namespace Update
