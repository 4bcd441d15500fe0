#pragma once

// Shared by the stand-in programs: plain C++ and POSIX, no Qt, so they start
// fast and behave the same under every build of the project.

#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace Standin {

inline std::string SelfPath()
{
    char buffer[4096];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

inline std::string DirName(const std::string& path)
{
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

inline std::string BaseName(const std::string& path)
{
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One write() in append mode, so lines of stand-ins running side by side
// never interleave.
inline void AppendToLog(int argc, char** argv)
{
    const char* logPath = getenv("STANDIN_LOG");
    if (!logPath || !*logPath)
        return;
    std::string line = std::to_string(getpid()) + "\t" + BaseName(SelfPath());
    for (int i = 1; i < argc; ++i)
        line += std::string("\t") + argv[i];
    line += "\n";
    const int fd = open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, line.data(), line.size()) < 0) {
        // Nothing to tell anyone: the test that reads the log will notice.
    }
    close(fd);
}

} // namespace Standin
