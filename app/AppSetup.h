#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

namespace Update {

class CInstallation;

// Scales the window with the screen: sizes stay logical pixels, pictures
// take their "@2x" versions, and fractional scales (125 %, 150 %) stay
// exact. Only takes effect before the QApplication exists.
void EnableHighDpiScaling();

// Installs the translators of the installation's language ("Type/Language").
void LoadTranslations(const CInstallation& installation);

// Installs the GUI library's *.CSS files of the "RizuvIzaz" skin as the
// application style sheet.
void LoadAppStyleSheet(const CInstallation& installation);

// The organisation and application name: the word for upgrade.
QString ApplicationIdentityName();

// Sets ApplicationIdentityName() as organisation and application name.
void SetApplicationIdentity();


// The installation folder's lock, or why it was not taken.
struct CInstallationLock
{
    std::unique_ptr<QLockFile> pLock; // null when refused
    QString strRefusal;               // then the notice's text
};

// Takes the installation folder's lock; whoever keeps the result alone works
// on the folder until it lets go. Refused while a live updater of this
// installation (a process of our own executable file) holds the lock ("An
// update is already running."); a lock left by a process that has ended, or
// naming a process that runs another executable, is taken over once it is
// 2 s old. A link, or an empty folder, where the
// lock file belongs is removed first; anything else there that is not a
// regular file is refused with a text that names it. Where no lock file can
// be made at all (a folder we may not write), nothing is refused: the update
// then fails with its own message.
CInstallationLock LockInstallation(const CInstallation& installation);

} // namespace Update
