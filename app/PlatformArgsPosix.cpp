#include "PlatformArgs.h"

namespace Update {
namespace Platform {

// The C runtime already hands us the arguments as bytes of the locale's encoding.
bool GetProcessArguments(int argc, char** argv, std::vector<std::string>& args)
{
    args.assign(argv, argv + argc);
    return true;
}

} // namespace Platform
} // namespace Update
