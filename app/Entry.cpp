#include "PlatformArgs.h"
#include "UpdateMain.h"

#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    if (!Update::Platform::GetProcessArguments(argc, argv, args))
        return -1;

    std::vector<char*> argvLocal;
    argvLocal.reserve(args.size() + 1);
    for (std::string& arg : args)
        argvLocal.push_back(&arg[0]);
    argvLocal.push_back(nullptr);
    return Update::UpdateMain(static_cast<int>(args.size()), argvLocal.data());
}
