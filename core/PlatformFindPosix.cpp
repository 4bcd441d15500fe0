#include "PlatformFind.h"

#include <dirent.h>
#include <fnmatch.h>
#include <strings.h>
#include <sys/stat.h>

namespace Update {
namespace Platform {

namespace {

bool IsRegularFile(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

// Matches "*.exe" without regard to case and takes the smallest name, as the
// Windows search does on its file systems; readdir's own order is arbitrary.
bool FindFirstExeFile(const std::string& dir, std::string& name)
{
    DIR* folder = opendir(dir.c_str());
    if (!folder)
        return false;
    std::string best;
    while (const dirent* entry = readdir(folder)) {
        const std::string candidate = entry->d_name;
        if (fnmatch("*.exe", candidate.c_str(), FNM_CASEFOLD) != 0)
            continue;
        if (!IsRegularFile(dir + "/" + candidate))
            continue;
        if (best.empty() || strcasecmp(candidate.c_str(), best.c_str()) < 0)
            best = candidate;
    }
    closedir(folder);
    if (best.empty())
        return false;
    name = best;
    return true;
}

} // namespace Platform
} // namespace Update
