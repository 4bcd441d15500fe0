#pragma once

#include "InstallationItems.h"

#include <QString>

namespace Update {

// The argument the client is started with when the user leaves without updating.
extern const char* const kClientStartArgument; // "StopQueryVer"

// Terminates the process with this id at once; ids of 0 or less terminate
// nothing. Returns whether the process was signalled.
bool KillProcessById(int pid);

// Terminates the process under this id only while it is the client
// ("Corvel.exe", as IsProcessRunning compares it): an id the client passed
// long ago may name another program by now. Returns whether it was signalled.
bool KillClientProcess(int pid);

// Terminates the first listed process of this installation whose executable
// name equals exeName exactly (letter case counts); later matches keep
// running. Of this installation: its executable lies in the installation
// folder or in any folder below it, or its path cannot be read (another
// user's process), where the name alone has to do. Returns whether one was
// found and signalled.
bool KillFirstProcessByName(const QString& exeName, const QString& installDir);

// Whether a process with this executable name runs under this id. Zombies
// (ended, not yet reaped) do not count.
bool IsProcessRunning(const QString& exeName, int pid);

// Starts the client from the installation folder with "StopQueryVer" unless
// it runs under clientPid. Returns whether it was started.
bool StartClientUnlessRunning(int clientPid, const QString& installDir);

} // namespace Update
