#include "PlatformProcess.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>
#include <cwchar>
#include <memory>

namespace Update {
namespace Platform {

namespace {

struct HandleCloser
{
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// Names are compared byte for byte with local 8-bit text, so they are handed
// over in the ANSI code page. With exactOnly, text that the code page cannot
// hold comes back empty rather than with stand-in characters.
std::string ToAnsiCodePage(const wchar_t* name, size_t capacity, bool exactOnly = false)
{
    const int length = static_cast<int>(wcsnlen(name, capacity));
    // The UTF-8 code page holds everything and refuses the used-default flag.
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultFlag = exactOnly && GetACP() != CP_UTF8 ? &usedDefault : nullptr;
    const int size = WideCharToMultiByte(CP_ACP, 0, name, length, nullptr, 0, nullptr, usedDefaultFlag);
    if (size <= 0 || usedDefault)
        return std::string();
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, name, length, &text[0], size, nullptr, nullptr);
    return text;
}

// Empty when the process cannot be asked (another user's, a protected one),
// and when its path does not fit the ANSI code page: a changed path would
// name another folder.
std::string ExecutablePath(DWORD pid)
{
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process)
        return std::string();
    wchar_t path[32768];
    DWORD size = sizeof(path) / sizeof(path[0]);
    if (!QueryFullProcessImageNameW(process.get(), 0, path, &size))
        return std::string();
    return ToAnsiCodePage(path, size, true);
}

} // namespace

std::vector<ProcessEntry> ListProcesses()
{
    std::vector<ProcessEntry> processes;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return processes;
    UniqueHandle owner(snapshot);

    PROCESSENTRY32W entry;
    std::memset(&entry, 0, sizeof(entry));
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        ProcessEntry process;
        process.pid = entry.th32ProcessID;
        process.exeName = ToAnsiCodePage(entry.szExeFile, MAX_PATH);
        process.exePath = ExecutablePath(entry.th32ProcessID);
        processes.push_back(process);
    }
    return processes;
}

std::string ExecutablePathOf(long long pid)
{
    if (pid <= 0 || pid > static_cast<long long>(MAXDWORD))
        return std::string();
    return ExecutablePath(static_cast<DWORD>(pid));
}

// The process is ended with the exit code it reports at that moment, which is
// STILL_ACTIVE for one that runs.
bool TerminateProcessById(long long pid)
{
    // Process ids are 32-bit: a larger value would wrap onto some other process.
    if (pid <= 0 || pid > static_cast<long long>(MAXDWORD))
        return false;
    UniqueHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(pid)));
    if (!process)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return TerminateProcess(process.get(), code) != FALSE;
}

} // namespace Platform
} // namespace Update
