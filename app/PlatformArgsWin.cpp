#include "PlatformArgs.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>

namespace Update {
namespace Platform {

namespace {

struct LocalFreer
{
    void operator()(LPWSTR* block) const { LocalFree(block); }
};

// The argument in the ANSI code page; characters it lacks become the code
// page's default character, as the rest of the program expects local 8-bit text.
std::string ToAnsiCodePage(const wchar_t* wide)
{
    const int size = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, -1, &text[0], size, nullptr, nullptr);
    text.resize(static_cast<size_t>(size) - 1); // the size counted the terminator
    return text;
}

} // namespace

// The C runtime's argv may already be mangled by its own code page handling,
// so the wide command line is split again here.
bool GetProcessArguments(int, char**, std::vector<std::string>& args)
{
    int count = 0;
    std::unique_ptr<LPWSTR, LocalFreer> wide(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!wide)
        return false;
    std::vector<std::string> converted;
    converted.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        converted.push_back(ToAnsiCodePage(wide.get()[i]));
    args.swap(converted);
    return true;
}

} // namespace Platform
} // namespace Update
