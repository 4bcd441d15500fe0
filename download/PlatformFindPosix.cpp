#include "PlatformFind.h"

namespace Update {
namespace Platform {

bool FindFirstExeFile(const std::string&, std::string&) { return false; }

} // namespace Platform
} // namespace Update
