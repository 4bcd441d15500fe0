#include "PlatformProcess.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

namespace Update {
namespace Platform {

namespace {

bool ParsePid(const char* text, long long* pid)
{
    if (*text < '1' || *text > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *pid = value;
    return true;
}

std::string BaseName(const std::string& path)
{
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ProcPath(long long pid, const char* leaf)
{
    return "/proc/" + std::to_string(pid) + "/" + leaf;
}

// Returns 0 or the errno of readlink: EACCES for another user's process,
// ENOENT for zombies and kernel threads, which have no executable.
int ReadExeLink(long long pid, std::string* target)
{
    const std::string link = ProcPath(pid, "exe");
    std::string buffer(PATH_MAX, '\0');
    const ssize_t length = readlink(link.c_str(), &buffer[0], buffer.size());
    if (length < 0)
        return errno;
    if (length == 0)
        return ENOENT;
    buffer.resize(static_cast<std::string::size_type>(length));
    // The link keeps working when the file was replaced or removed.
    static const std::string kDeleted = " (deleted)";
    if (buffer.size() > kDeleted.size()
        && buffer.compare(buffer.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
        buffer.resize(buffer.size() - kDeleted.size());
    *target = buffer;
    return 0;
}

// argv[0] up to its terminating zero; empty for zombies and kernel threads.
std::string ReadArgvZero(long long pid)
{
    std::ifstream file(ProcPath(pid, "cmdline"), std::ios::binary);
    std::string argvZero;
    std::getline(file, argvZero, '\0');
    return argvZero;
}

// The name from the executable's path; for another user's process, whose
// path we may not read, from its argv[0]. The path stays empty then.
void ReadExecutable(long long pid, ProcessEntry* entry)
{
    const int error = ReadExeLink(pid, &entry->exePath);
    if (error == 0) {
        entry->exeName = BaseName(entry->exePath);
        return;
    }
    if (error == EACCES || error == EPERM)
        entry->exeName = BaseName(ReadArgvZero(pid));
}

std::vector<long long> ListPids()
{
    std::vector<long long> pids;
    DIR* proc = opendir("/proc");
    if (!proc)
        return pids;
    while (const dirent* entry = readdir(proc)) {
        long long pid = 0;
        if (ParsePid(entry->d_name, &pid))
            pids.push_back(pid);
    }
    closedir(proc);
    std::sort(pids.begin(), pids.end());
    return pids;
}

} // namespace

std::vector<ProcessEntry> ListProcesses()
{
    std::vector<ProcessEntry> processes;
    for (long long pid : ListPids()) {
        ProcessEntry entry;
        entry.pid = pid;
        ReadExecutable(pid, &entry);
        // A process without a name could only ever match an empty name.
        if (!entry.exeName.empty())
            processes.push_back(entry);
    }
    return processes;
}

std::string ExecutablePathOf(long long pid)
{
    std::string path;
    if (pid <= 0 || pid > INT_MAX || ReadExeLink(pid, &path) != 0)
        return std::string();
    return path;
}

bool TerminateProcessById(long long pid)
{
    // kill() reads 0 and negative ids as process groups (-1: every process we
    // may signal); ids beyond pid_t would wrap into those.
    if (pid <= 0 || pid > INT_MAX)
        return false;
    return kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

} // namespace Platform
} // namespace Update
