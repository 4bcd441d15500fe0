#include "PlatformFind.h"

#include <io.h>

namespace Update {
namespace Platform {

// The C runtime's search matches "*.exe" without regard to case and yields
// entries in the file system's own order; only the first file is wanted: a
// folder named like an installer cannot be started.
bool FindFirstExeFile(const std::string& dir, std::string& name)
{
    const std::string pattern = dir + "\\*.exe";
    _finddata64i32_t info {};
    const intptr_t search = _findfirst64i32(pattern.c_str(), &info);
    if (search == -1)
        return false;
    bool found = false;
    do {
        found = (info.attrib & _A_SUBDIR) == 0;
    } while (!found && _findnext64i32(search, &info) == 0);
    _findclose(search);
    if (found)
        name = info.name;
    return found;
}

} // namespace Platform
} // namespace Update
