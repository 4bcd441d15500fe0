#pragma once

// The process's argument vector in the local 8-bit encoding, kept free of Qt.

#include <string>
#include <vector>

namespace Update {
namespace Platform {

// argc/argv are what the C runtime handed to main; a platform that has its
// own command line may ignore them. False when the command line cannot be split.
bool GetProcessArguments(int argc, char** argv, std::vector<std::string>& args);

} // namespace Platform
} // namespace Update
