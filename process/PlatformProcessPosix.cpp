#include "PlatformProcess.h"

namespace Update {
namespace Platform {

std::vector<ProcessEntry> ListProcesses() { return {}; }

bool TerminateProcessById(long long) { return false; }

} // namespace Platform
} // namespace Update
