#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

namespace Update {

// Scales the window with the screen: sizes stay logical pixels, pictures
// take their "@2x" versions, and fractional scales (125 %, 150 %) stay
// exact. Only takes effect before the QApplication exists.
void EnableHighDpiScaling();

// Installs the translators of the configured language ("Type/Language").
void LoadTranslations();

// Installs the GUI library's *.CSS files of the "RizuvIzaz" skin as the
// application style sheet.
void LoadAppStyleSheet();

// The organisation and application name: the word for upgrade.
QString ApplicationIdentityName();

// Sets ApplicationIdentityName() as organisation and application name.
void SetApplicationIdentity();

// The lock file of the installation folder: "<installation>/update.lock".
QString InstallationLockPath();

// Takes the installation folder's lock; whoever keeps the result alone works
// on the folder until it lets go. Null only while another live process holds
// the lock; a lock left by a process that has ended is taken over at once.
// Where no lock file can be made at all (a folder we may not write), nothing
// is refused: the update then fails with its own message.
std::unique_ptr<QLockFile> LockInstallation();

} // namespace Update
