#include "ProcessControl.h"

namespace Update {

const char* const kClientExeName = "Corvel.exe";
const char* const kNotifierExeName = "ZoRezivirArerur.exe";
const char* const kClientStartArgument = "StopQueryVer";

bool KillProcessById(int) { return false; }
bool KillFirstProcessByName(const QString&) { return false; }
bool IsProcessRunning(const QString&, int) { return false; }
bool StartClientUnlessRunning(int) { return false; }

} // namespace Update
