#include "PlatformLink.h"

#include <sys/stat.h>
#include <unistd.h>

namespace Update {
namespace Platform {

EntryKind EntryKindAt(const NativePath& path)
{
    struct stat info {};
    if (lstat(path.bytes.c_str(), &info) != 0)
        return EntryKind::Missing;
    if (S_ISLNK(info.st_mode))
        return EntryKind::Link;
    if (S_ISREG(info.st_mode))
        return EntryKind::File;
    if (S_ISDIR(info.st_mode))
        return EntryKind::Folder;
    return EntryKind::Other;
}

bool RemoveLink(const NativePath& path)
{
    if (EntryKindAt(path) != EntryKind::Link)
        return true;
    // unlink() removes the link itself, whether it names a file, a folder
    // or nothing.
    return unlink(path.bytes.c_str()) == 0;
}

std::u16string LongNameAt(const NativePath&)
{
    return std::u16string();
}

} // namespace Platform
} // namespace Update
