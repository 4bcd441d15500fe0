#include "PlatformMemory.h"

#include <windows.h>
#include <psapi.h>

namespace Update {
namespace Platform {

int64_t ResidentBytes()
{
    PROCESS_MEMORY_COUNTERS counters {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        return -1;
    return static_cast<int64_t>(counters.WorkingSetSize);
}

} // namespace Platform
} // namespace Update
