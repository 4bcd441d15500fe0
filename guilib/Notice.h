#pragma once

#include <QString>
#include <Qt>

namespace Update {

// Every message of the updater: the library's notice box with no parent, the
// caller's translated "Notice" title, and its confirm and cancel buttons.
// True when it was confirmed. A text that carries what a server said is
// shown as Qt::PlainText, never as markup.
bool ShowNotice(const QString& title, const QString& text, Qt::TextFormat format = Qt::AutoText);

} // namespace Update
