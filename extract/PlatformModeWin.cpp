#include "PlatformMode.h"

namespace Update {
namespace Platform {

// The installer is started by its extension there; no bits to restore.
bool SetPermissionBits(const std::string&, unsigned)
{
    return true;
}

} // namespace Platform
} // namespace Update
