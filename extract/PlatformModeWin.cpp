#include "PlatformMode.h"

namespace Update {
namespace Platform {

// The installer is started by its extension there; no bits to restore.
bool SetPermissionBits(int, unsigned)
{
    return true;
}

} // namespace Platform
} // namespace Update
