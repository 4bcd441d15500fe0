#include "PlatformWindowMove.h"

namespace Update {
namespace Platform {

// X11 and Wayland moves go through Qt's own startSystemMove (Qt 5.15 and
// later) on the Qt side, or follow the pointer by hand.
bool StartWindowMove(unsigned long long)
{
    return false;
}

} // namespace Platform
} // namespace Update
