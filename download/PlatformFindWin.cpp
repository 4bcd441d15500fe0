#include "PlatformFind.h"

#include <io.h>

namespace Update {
namespace Platform {

// The C runtime's search matches "*.exe" without regard to case and yields
// entries in the file system's own order; only the first one is wanted.
bool FindFirstExeFile(const std::string& dir, std::string& name)
{
    const std::string pattern = dir + "\\*.exe";
    _finddata64i32_t info {};
    const intptr_t search = _findfirst64i32(pattern.c_str(), &info);
    if (search == -1)
        return false;
    _findclose(search);
    name = info.name;
    return true;
}

} // namespace Platform
} // namespace Update
