#pragma once

// Directory search of the operating system, kept free of Qt.

#include <string>

namespace Update {
namespace Platform {

// First entry of dir (local 8-bit path) whose name matches "*.exe", in the
// order the system's search yields them. False when none matches or the
// folder cannot be read.
bool FindFirstExeFile(const std::string& dir, std::string& name);

} // namespace Platform
} // namespace Update
