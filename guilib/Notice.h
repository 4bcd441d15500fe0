#pragma once

#include <QString>
#include <Qt>

namespace Update {

// Every message of the updater: the library's notice box with no parent, the
// caller's translated "Notice" title, and its confirm and cancel buttons.
// True when it was confirmed. The support log keeps its text and the answer.
// A text that carries what a server said is shown as Qt::PlainText, never as
// markup.
bool ShowNotice(const QString& title, const QString& text, Qt::TextFormat format = Qt::AutoText);

// The same for a text that is not the updater's own (the client's notice
// at launch): the support log keeps only that it was shown, and the answer.
bool ShowUnloggedNotice(const QString& title, const QString& text);

} // namespace Update
