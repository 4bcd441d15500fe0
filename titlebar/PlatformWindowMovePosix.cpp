#include "PlatformWindowMove.h"

namespace Update {
namespace Platform {

// X11 and Wayland moves go through Qt's own startSystemMove on the Qt side.
bool StartWindowMove(unsigned long long)
{
    return false;
}

} // namespace Platform
} // namespace Update
