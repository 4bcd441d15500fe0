#pragma once

// Tiny checks for the Windows backend test: each check names the risk it
// covers, prints a line when it fails, and the run ends with a tally.

#include <cstdio>
#include <string>

namespace WinCheck {

inline int g_passed = 0;
inline int g_failed = 0;

// Bytes as text a reader can compare: printable ASCII as is, the rest as \xNN.
inline std::string Escaped(const std::string& bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            text += static_cast<char>(c);
            continue;
        }
        char hex[8];
        std::snprintf(hex, sizeof(hex), "\\x%02X", c);
        text += hex;
    }
    return text;
}

inline bool Check(bool ok, const std::string& risk, const std::string& detail = std::string())
{
    ++(ok ? g_passed : g_failed);
    if (ok)
        std::printf("PASS %s\n", risk.c_str());
    else
        std::printf("FAIL %s%s%s\n", risk.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stdout);
    return ok;
}

inline bool CheckBytes(const std::string& actual, const std::string& expected, const std::string& risk)
{
    return Check(actual == expected, risk,
                 "got \"" + Escaped(actual) + "\", expected \"" + Escaped(expected) + "\"");
}

inline int Finish()
{
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    std::fflush(stdout);
    return g_failed == 0 ? 0 : 1;
}

} // namespace WinCheck
