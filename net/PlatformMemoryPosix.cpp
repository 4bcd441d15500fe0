#include "PlatformMemory.h"

#include <cstdio>
#include <unistd.h>

namespace Update {
namespace Platform {

// Linux tells it in /proc/self/statm (pages: total, resident, ...); other
// systems without it get -1.
int64_t ResidentBytes()
{
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm)
        return -1;
    long long total = 0;
    long long resident = -1;
    const int read = std::fscanf(statm, "%lld %lld", &total, &resident);
    std::fclose(statm);
    const long page = sysconf(_SC_PAGESIZE);
    if (read != 2 || resident < 0 || page <= 0)
        return -1;
    return static_cast<int64_t>(resident) * page;
}

} // namespace Platform
} // namespace Update
