#include "PlatformLogFile.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Update {
namespace Platform {

namespace {

// Never through a link, never blocked by a pipe waiting for a reader.
int OpenOnce(const char* path)
{
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
}

} // namespace

int OpenAppendNoFollow(const std::string& bytes, const std::u16string&)
{
    const char* path = bytes.c_str();
    int fd = OpenOnce(path);
    struct stat info {};
    if (fd < 0 && errno == ELOOP && lstat(path, &info) == 0 && S_ISLNK(info.st_mode) && unlink(path) == 0)
        fd = OpenOnce(path);
    if (fd < 0)
        return -1;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

} // namespace Platform
} // namespace Update
