#include "PlatformMode.h"

#include <sys/stat.h>

namespace Update {
namespace Platform {

bool SetPermissionBits(const std::string& path, unsigned bits)
{
    return chmod(path.c_str(), static_cast<mode_t>(bits & 0777u)) == 0;
}

} // namespace Platform
} // namespace Update
