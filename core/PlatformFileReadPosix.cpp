#include "PlatformFileRead.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Update {
namespace Platform {

FileRead ReadSmallFile(const NativePath& path, std::size_t maxBytes, std::string& bytes)
{
    bytes.clear();
    struct stat info {};
    // Looked at before it is opened: opening a device can do something, and
    // a pipe opened without O_NONBLOCK waits for a writer.
    if (stat(path.bytes.c_str(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? FileRead::Missing : FileRead::Failed;
    if (!S_ISREG(info.st_mode))
        return FileRead::NotAFile;
    const int fd = open(path.bytes.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT ? FileRead::Missing : FileRead::Failed;
    // Something else may have taken its place in between: what counts is
    // what was opened.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return FileRead::NotAFile;
    }
    std::string text(maxBytes + 1, '\0');
    std::size_t size = 0;
    FileRead result = FileRead::Read;
    while (size < text.size()) {
        const ssize_t got = read(fd, &text[size], text.size() - size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            result = FileRead::Failed;
            break;
        }
        if (got == 0)
            break;
        size += std::size_t(got);
    }
    close(fd);
    if (result != FileRead::Read)
        return result;
    if (size > maxBytes)
        return FileRead::TooLong;
    text.resize(size);
    bytes.swap(text);
    return FileRead::Read;
}

} // namespace Platform
} // namespace Update
