#pragma once

// Reads a small file of the installation whole, never waiting on it; kept
// free of Qt.

#include "PlatformLink.h"

#include <cstddef>
#include <string>

namespace Update {
namespace Platform {

enum class FileRead {
    Read,     // bytes holds the whole file
    Missing,  // nothing there (a link is followed: a broken one is missing)
    NotAFile, // a folder, a pipe, a socket, a device: never read
    TooLong,  // more than maxBytes bytes
    Failed,   // there, but it could not be opened or read
};

// The file at path, a link followed, read into bytes when it is a regular
// file of at most maxBytes bytes. Neither the open nor the read can block:
// what is not a plain file on a disk is told before a byte is read, and
// again on what was actually opened. bytes is empty unless Read.
FileRead ReadSmallFile(const NativePath& path, std::size_t maxBytes, std::string& bytes);

} // namespace Platform
} // namespace Update
