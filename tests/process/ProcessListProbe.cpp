#include "PlatformProcess.h"

#include <cstdio>

int main()
{
    for (const Update::Platform::ProcessEntry& entry : Update::Platform::ListProcesses())
        std::printf("%lld\t%s\t%s\n", entry.pid, entry.exeName.c_str(), entry.exePath.c_str());
    return 0;
}
