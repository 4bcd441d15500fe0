#pragma once

// Hands a window move to the window system, kept free of Qt.

namespace Update {
namespace Platform {

// From a mouse press, lets the window system move the top-level window with
// the pointer until the button is released. Returns false when this platform
// has no such call; the caller then moves the window itself.
bool StartWindowMove(unsigned long long nativeWindowId);

} // namespace Platform
} // namespace Update
