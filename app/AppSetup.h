#pragma once

namespace Update {

// Installs the translators of the configured language ("Type/Language").
void LoadTranslations();

// Installs the GUI library's *.CSS files of the "RizuvIzaz" skin as the
// application style sheet.
void LoadAppStyleSheet();

} // namespace Update
