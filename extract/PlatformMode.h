#pragma once

// File permission bits of the operating system, kept free of Qt.

#include <string>

namespace Update {
namespace Platform {

// Gives the file at path (local 8-bit) the read/write/execute bits for owner,
// group and others that bits holds (0777 at most). Where the system has no
// such bits it does nothing and returns true.
bool SetPermissionBits(const std::string& path, unsigned bits);

} // namespace Platform
} // namespace Update
