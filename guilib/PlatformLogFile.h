#pragma once

// Opens a file for appending without following a link at its path; kept
// free of Qt.

#include <string>

namespace Update {
namespace Platform {

// A descriptor of the C runtime (POSIX: the file descriptor) for appending
// to the regular file at path, made when missing; -1 when something else is
// there (a folder, a pipe, a device) or it cannot be opened. A link found at
// path is removed first and a real file takes its place: what it points to
// is never opened. bytes is the path for the POSIX calls, utf16 for the
// Windows wide calls; each backend reads only its own.
int OpenAppendNoFollow(const std::string& bytes, const std::u16string& utf16);

} // namespace Platform
} // namespace Update
