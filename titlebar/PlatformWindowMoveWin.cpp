#include "PlatformWindowMove.h"

#include <cstdint>

#include <windows.h>

namespace Update {
namespace Platform {

// The system moves the window with the pointer; SendMessageW returns once the
// button is released. When the capture cannot be released nothing is moved,
// and there is nothing for the caller to do either.
bool StartWindowMove(unsigned long long nativeWindowId)
{
    if (!ReleaseCapture())
        return true;
    SendMessageW(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(nativeWindowId)), WM_SYSCOMMAND,
                 SC_MOVE + HTCAPTION, 0);
    return true;
}

} // namespace Platform
} // namespace Update
