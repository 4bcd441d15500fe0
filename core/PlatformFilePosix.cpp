#include "PlatformFile.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Update {
namespace Platform {

namespace {

// A name taken again between its removal and the exclusive create is
// removed again, a few times: someone racing for it never wins the name.
constexpr int kCreateAttempts = 4;

// Written by its owner alone: nobody else changes the bytes between the
// write and the check.
constexpr mode_t kNewFileMode = 0644;

long long Nanoseconds(const timespec& time)
{
    return static_cast<long long>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

FileIdentity IdentityFrom(const struct stat& info)
{
    FileIdentity identity;
    identity.valid = S_ISREG(info.st_mode);
    identity.device = static_cast<unsigned long long>(info.st_dev);
    identity.index = static_cast<unsigned long long>(info.st_ino);
    identity.size = static_cast<long long>(info.st_size);
    identity.modified = Nanoseconds(info.st_mtim);
    identity.changed = Nanoseconds(info.st_ctim);
    return identity;
}

bool SameObject(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Ours alone: a plain file of this user with no second name.
bool IsOwnPlainFile(int fd)
{
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 && info.st_uid == geteuid();
}

// Frees the name unless a folder holds it.
bool FreeName(int dir, const char* name)
{
    struct stat info {};
    if (fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return false;
    }
    return unlinkat(dir, name, 0) == 0 || errno == ENOENT;
}

int CreateExclusively(int dir, const char* name, int access)
{
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        if (!FreeName(dir, name))
            return -1;
        const int fd = openat(dir, name, access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

FileIdentity IdentityOf(FileDescriptor file)
{
    struct stat info {};
    if (file < 0 || fstat(file, &info) != 0)
        return FileIdentity();
    return IdentityFrom(info);
}

FileIdentity IdentityAt(const NativePath& path)
{
    struct stat info {};
    if (lstat(path.bytes.c_str(), &info) != 0)
        return FileIdentity();
    return IdentityFrom(info);
}

FileDescriptor OpenPackageFile(const NativePath& path, bool keepBytes)
{
    if (keepBytes) {
        const int fd = open(path.bytes.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 && IsOwnPlainFile(fd)) {
            struct stat info {};
            // Bytes of an earlier run stay; others lose the right to change them.
            if (fstat(fd, &info) == 0 && (info.st_mode & 022))
                fchmod(fd, info.st_mode & 07755);
            return fd;
        }
        if (fd >= 0)
            close(fd);
    }
    return CreateExclusively(AT_FDCWD, path.bytes.c_str(), O_RDWR);
}

long long ReadAt(FileDescriptor file, long long offset, char* data, long long size)
{
    for (;;) {
        const ssize_t got = pread(file, data, static_cast<size_t>(size), static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

bool MakeOwnerExecutable(FileDescriptor file)
{
    struct stat info {};
    if (fstat(file, &info) != 0)
        return false;
    return (info.st_mode & S_IXUSR) || fchmod(file, (info.st_mode & 07777) | S_IXUSR) == 0;
}

// execve refuses a file that any process holds open for writing.
bool HoldForStart(FileDescriptor& file, const NativePath& path, const Patience&)
{
    const int reading = open(path.bytes.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (reading < 0)
        return false;
    struct stat held {};
    struct stat named {};
    if (fstat(file, &held) != 0 || fstat(reading, &named) != 0 || !SameObject(held, named)) {
        close(reading);
        return false;
    }
    close(file);
    file = reading;
    return true;
}

bool RemoveHeldFile(FileDescriptor& file, const NativePath& path)
{
    struct stat held {};
    struct stat named {};
    const bool same = file >= 0 && fstat(file, &held) == 0 && lstat(path.bytes.c_str(), &named) == 0
        && SameObject(held, named);
    const bool removed = same && unlink(path.bytes.c_str()) == 0;
    CloseFile(file);
    file = -1;
    return removed;
}

void CloseFile(FileDescriptor file)
{
    if (file >= 0)
        close(file);
}

FolderHandle OpenFolder(const NativePath& path, const Patience&)
{
    const int fd = open(path.bytes.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd < 0 ? kNoFolder : fd;
}

bool IsFolderAt(FolderHandle folder, const NativePath& path)
{
    struct stat held {};
    struct stat named {};
    return folder != kNoFolder && fstat(static_cast<int>(folder), &held) == 0
        && lstat(path.bytes.c_str(), &named) == 0 && S_ISDIR(named.st_mode) && SameObject(held, named);
}

FolderHandle MakeFolderAt(FolderHandle parent, const NativePath& name, const Patience&)
{
    const int dir = static_cast<int>(parent);
    if (mkdirat(dir, name.bytes.c_str(), 0777) != 0 && errno != EEXIST)
        return kNoFolder;
    // O_NOFOLLOW: a link planted at the step, now or before, is refused.
    const int fd = openat(dir, name.bytes.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd < 0 ? kNoFolder : fd;
}

FileDescriptor CreateFileAt(FolderHandle parent, const NativePath& name, const Patience&)
{
    return CreateExclusively(static_cast<int>(parent), name.bytes.c_str(), O_WRONLY);
}

bool RemoveNameAt(FolderHandle parent, const NativePath& name, const FileIdentity* only)
{
    const int dir = static_cast<int>(parent);
    struct stat named {};
    if (fstatat(dir, name.bytes.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(named.st_mode))
        return false;
    if (only && (static_cast<unsigned long long>(named.st_dev) != only->device
                 || static_cast<unsigned long long>(named.st_ino) != only->index))
        return false;
    return unlinkat(dir, name.bytes.c_str(), 0) == 0;
}

void CloseFolder(FolderHandle folder)
{
    if (folder != kNoFolder)
        close(static_cast<int>(folder));
}

} // namespace Platform
} // namespace Update
