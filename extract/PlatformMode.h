#pragma once

// File permission bits of the operating system, kept free of Qt.

namespace Update {
namespace Platform {

// Gives the open file (a descriptor as Qt's QFile::open(int) takes it) the
// read/write/execute bits for owner, group and others that bits holds (0777
// at most). Where the system has no such bits it does nothing and returns
// true.
bool SetPermissionBits(int file, unsigned bits);

} // namespace Platform
} // namespace Update
