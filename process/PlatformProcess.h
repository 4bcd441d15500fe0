#pragma once

// Process control of the operating system, kept free of Qt so that each
// platform's side is plain C++ over the system's own interface.

#include <string>
#include <vector>

namespace Update {
namespace Platform {

struct ProcessEntry
{
    long long pid = 0;
    std::string exeName; // executable file name without folder, local 8-bit
    // Full path of the executable, local 8-bit; empty where the system does
    // not tell (another user's process, no rights to ask).
    std::string exePath;
};

// Running processes in the order the system lists them.
std::vector<ProcessEntry> ListProcesses();

// The full path of the executable that process pid runs, local 8-bit; empty
// when there is no such process or the system does not tell (another user's
// process, no rights to ask).
std::string ExecutablePathOf(long long pid);

// Ends the process at once (no chance to clean up). Ids of 0 or less name a
// whole group of processes on some systems and are refused: returns false.
bool TerminateProcessById(long long pid);

} // namespace Platform
} // namespace Update
