#pragma once

// Files and folders that the update holds open while it uses them, so that
// another user of the installation folder can neither change nor swap them,
// and folders walked one step at a time from a folder held open, never
// through a link; kept free of Qt.

#include "PlatformLink.h"

#include <atomic>
#include <cstdint>

namespace Update {
namespace Platform {

// A file held open, as Qt's QFile::open(int) takes it: a POSIX descriptor, on
// Windows a C runtime descriptor over the system's handle. -1: none.
using FileDescriptor = int;
// A folder held open: a POSIX descriptor, on Windows the system's handle.
using FolderHandle = std::intptr_t;
constexpr FolderHandle kNoFolder = -1;

// What tells one file from another, and a changed file from the same one
// unchanged. Nothing of it can be set back by another user: a write moves
// the modification time, any change of the file the change time.
struct FileIdentity
{
    bool valid = false;
    unsigned long long device = 0;
    unsigned long long index = 0; // inode; on Windows the file id
    long long size = 0;
    long long modified = 0;
    long long changed = 0;
};

// The same file, and nothing of it changed in between.
inline bool SameFile(const FileIdentity& a, const FileIdentity& b)
{
    return a.valid && b.valid && a.device == b.device && a.index == b.index && a.size == b.size
        && a.modified == b.modified && a.changed == b.changed;
}

// The same file with the same bytes; its mode may have changed.
inline bool SameBytes(const FileIdentity& a, const FileIdentity& b)
{
    return a.valid && b.valid && a.device == b.device && a.index == b.index && a.size == b.size
        && a.modified == b.modified;
}

// How long an open waits while another program holds what it opens (on
// Windows a sharing or lock violation: a scanner or an indexer reading what
// was just written lets go within moments) before it fails as it would have
// at once. A stop request ends the wait at the next pause. POSIX has no such
// holds and never waits.
struct Patience
{
    static constexpr int kDefaultBoundMs = 10000;
    int boundMs = kDefaultBoundMs;
    const std::atomic<bool>* stop = nullptr;
    // When given, counts the pauses made.
    int* pauses = nullptr;
};

FileIdentity IdentityOf(FileDescriptor file);
// Of what path itself names: a link is not followed, and is no file.
FileIdentity IdentityAt(const NativePath& path);

// The package file at path, for reading and writing. With keepBytes, a file
// already there is continued if it is a plain file of this user with no
// other name. Anything else there (a link, a file with a second name, one of
// another user) is removed as a name and a new file is made in its place,
// exclusively; a folder there fails. Windows shares it for reading only, so
// no other program writes, renames or deletes it while it is held; POSIX
// makes it writable by its owner only. -1 on failure (errno or the last
// error tells why).
FileDescriptor OpenPackageFile(const NativePath& path, bool keepBytes);

// Up to size bytes at offset, without moving what other readers of the
// descriptor go by. The count read, 0 at the end, -1 on failure.
long long ReadAt(FileDescriptor file, long long offset, char* data, long long size);

// Gives the owner the right to run it (POSIX); Windows has no such bit.
bool MakeOwnerExecutable(FileDescriptor file);

// Goes on holding the file that path names, now for reading alone: a system
// starts no program that is open for writing. On Windows the new hold still
// refuses writes, renames and deletes. The old descriptor is closed and file
// is the new one. False, with file untouched or -1, when path no longer
// names the held file or another writer holds it. Waits with patience while
// another program holds it without letting readers in; a writer is refused
// at once.
bool HoldForStart(FileDescriptor& file, const NativePath& path, const Patience& patience = Patience());

// Lets go of the held file (file becomes -1) and removes the name path
// while it still names that file.
bool RemoveHeldFile(FileDescriptor& file, const NativePath& path);

void CloseFile(FileDescriptor file);

// The folder at path, refusing a link there (on Windows also a junction or
// another reparse point). On Windows the hold refuses the folder's rename
// and delete. kNoFolder on failure. Waits with patience while another
// program holds the folder.
FolderHandle OpenFolder(const NativePath& path, const Patience& patience = Patience());

// Whether path (not followed if a link) names the held folder.
bool IsFolderAt(FolderHandle folder, const NativePath& path);

// The folder name directly in parent, made if missing, then held; a link
// there is refused. kNoFolder on failure. Waits with patience while another
// program holds a step.
FolderHandle MakeFolderAt(FolderHandle parent, const NativePath& name, const Patience& patience = Patience());

// A new file name directly in parent, for writing. Anything there but a
// folder (a file, a hard link, a link of any kind) is removed as a name
// first, never written through; the new file is made exclusively. Windows
// reads a backslash in name as a step, walked without following a link.
// -1 on failure, also where a folder stands. Waits with patience while
// another program holds what stands there or a step.
FileDescriptor CreateFileAt(FolderHandle parent, const NativePath& name, const Patience& patience = Patience());

// Removes name directly in parent unless it is a folder: a link goes as a
// link, whatever it names. With only given, only while name is that file
// (its device and index). A file held open is let go first: on Windows the
// hold refuses deletes. Never waits.
bool RemoveNameAt(FolderHandle parent, const NativePath& name, const FileIdentity* only = nullptr);

void CloseFolder(FolderHandle folder);

} // namespace Platform
} // namespace Update
