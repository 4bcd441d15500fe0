// Writes the arguments it receives through the process-entry backend to the
// file named by ARGDUMP_OUT: each argument's bytes, ended by a NUL.

#include "PlatformArgs.h"

#include <windows.h>

#include <cstdio>

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    if (!Update::Platform::GetProcessArguments(argc, argv, args))
        return 2;

    wchar_t path[MAX_PATH] {};
    if (GetEnvironmentVariableW(L"ARGDUMP_OUT", path, MAX_PATH) == 0)
        return 3;
    FILE* out = _wfopen(path, L"wb");
    if (!out)
        return 3;
    for (const std::string& arg : args)
        std::fwrite(arg.c_str(), 1, arg.size() + 1, out);
    return std::fclose(out) == 0 ? 0 : 3;
}
