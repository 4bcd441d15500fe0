#pragma once

#include <QString>

namespace Update {

// Installs the translators of the configured language ("Type/Language").
void LoadTranslations();

// Installs the GUI library's *.CSS files of the "RizuvIzaz" skin as the
// application style sheet.
void LoadAppStyleSheet();

// The organisation and application name: the word for upgrade.
QString ApplicationIdentityName();

// Sets ApplicationIdentityName() as organisation and application name.
void SetApplicationIdentity();

} // namespace Update
