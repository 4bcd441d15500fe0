#include "PlatformMode.h"

#include <sys/stat.h>

namespace Update {
namespace Platform {

bool SetPermissionBits(int file, unsigned bits)
{
    return fchmod(file, static_cast<mode_t>(bits & 0777u)) == 0;
}

} // namespace Platform
} // namespace Update
