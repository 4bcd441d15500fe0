#pragma once

#include <QString>

namespace Update {

// Every message of the updater: the library's notice box with no parent, the
// caller's translated "Notice" title, and its confirm and cancel buttons.
// True when it was confirmed.
bool ShowNotice(const QString& title, const QString& text);

} // namespace Update
