#pragma once

// What lies at a path, told without following a link found there, and the
// removal of such a link; kept free of Qt.

#include <string>

namespace Update {
namespace Platform {

// One path as each system takes it: the bytes of the POSIX calls, the UTF-16
// text of the Windows wide calls. A backend reads only its own.
struct NativePath
{
    std::string bytes;
    std::u16string utf16;
};

enum class EntryKind {
    Missing, // nothing there, or nothing that can be looked at
    Link,    // a symbolic link; on Windows also a junction or another
             // reparse point that names something elsewhere
    File,    // a regular file
    Folder,  // a real folder
    Other,   // a pipe, a socket, a device
};

// The entry at path itself: a link is a link, whatever it points to.
EntryKind EntryKindAt(const NativePath& path);

// Removes the link at path, never what it points to. True when no link is
// left there (also when there was none).
bool RemoveLink(const NativePath& path);

// The long name of the item at path when the last step of path may be its
// 8.3 short name ("ZOREZI~1.EXE" for "ZoRezivirArerur.exe"); empty when
// nothing is there, and on systems without short names.
std::u16string LongNameAt(const NativePath& path);

} // namespace Platform
} // namespace Update
