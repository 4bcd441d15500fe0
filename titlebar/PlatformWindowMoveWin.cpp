#include "PlatformWindowMove.h"

#include <windows.h>

#include <cstdint>

namespace Update {
namespace Platform {

// The system's own caption drag: it moves the window with the pointer and
// returns once the button is released. It only gets the mouse once Qt's
// capture is released; if that fails the press is simply not turned into a move.
bool StartWindowMove(unsigned long long nativeWindowId)
{
    if (!ReleaseCapture())
        return true;
    const HWND window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(nativeWindowId));
    SendMessageW(window, WM_SYSCOMMAND, SC_MOVE + HTCAPTION, 0);
    return true;
}

} // namespace Platform
} // namespace Update
