#include "PlatformFile.h"

#include <windows.h>
#include <winternl.h>

#include <fcntl.h>
#include <io.h>

#include <string>
#include <vector>

namespace Update {
namespace Platform {

namespace {

// A name taken again between its removal and the exclusive create is
// removed again, a few times.
constexpr int kCreateAttempts = 4;

constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035L); // STATUS_OBJECT_NAME_COLLISION

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

// What a held folder is opened for: listing, adding to and walking through
// it. Its share mode leaves out deleting, so the folder can be neither
// renamed nor removed while it is held.
constexpr ACCESS_MASK kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
// A held file is shared for reading alone: nobody else writes, renames or
// deletes it. It asks for no delete access itself, so that readers who
// share no deleting (most do not) can still open it.
constexpr ACCESS_MASK kFileAccess = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;

const wchar_t* Wide(const NativePath& path)
{
    return reinterpret_cast<const wchar_t*>(path.utf16.c_str());
}

HANDLE HandleOf(FileDescriptor file)
{
    return file < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(file));
}

HANDLE FolderOf(FolderHandle folder)
{
    return reinterpret_cast<HANDLE>(folder);
}

FileDescriptor Adopt(HANDLE handle, bool readOnly)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | (readOnly ? _O_RDONLY : 0));
    if (fd < 0)
        CloseHandle(handle);
    return fd;
}

bool Attributes(HANDLE handle, DWORD& attributes)
{
    FILE_ATTRIBUTE_TAG_INFO tag {};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)))
        return false;
    attributes = tag.FileAttributes;
    return true;
}

bool IsPlainFolder(HANDLE handle)
{
    DWORD attributes = 0;
    return Attributes(handle, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY)
        && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

FileIdentity IdentityOfHandle(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info {};
    FILE_BASIC_INFO basic {};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)
        || !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic)))
        return FileIdentity();
    FileIdentity identity;
    identity.valid = !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    identity.device = info.dwVolumeSerialNumber;
    identity.index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    identity.size = static_cast<long long>((static_cast<unsigned long long>(info.nFileSizeHigh) << 32)
                                           | info.nFileSizeLow);
    identity.modified = basic.LastWriteTime.QuadPart;
    identity.changed = basic.ChangeTime.QuadPart;
    return identity;
}

bool SameObject(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION x {};
    BY_HANDLE_FILE_INFORMATION y {};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y)
        && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh
        && x.nFileIndexLow == y.nFileIndexLow;
}

// What path itself names, for its attributes alone: no share mode is asked
// for, so it opens whoever holds it.
HANDLE OpenForAttributes(const NativePath& path)
{
    return CreateFileW(Wide(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Deletes what the handle names (a link as a link), a read-only file too.
bool DeleteByHandle(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition {};
    disposition.DeleteFile = TRUE;
    if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)))
        return true;
    FILE_BASIC_INFO basic {};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic))
        || !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return false;
    basic.FileAttributes &= ~DWORD(FILE_ATTRIBUTE_READONLY);
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic))
        && SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition));
}

// Frees path as a name unless a real folder holds it.
bool FreePath(const NativePath& path)
{
    const HANDLE there = CreateFileW(Wide(path), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (there == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    const bool folder = IsPlainFolder(there);
    const bool freed = !folder && DeleteByHandle(there);
    CloseHandle(there);
    if (folder)
        SetLastError(ERROR_DIRECTORY);
    return freed;
}

// One step as the Win32 calls read it: trailing dots and spaces dropped.
std::wstring Win32Step(std::wstring step)
{
    while (!step.empty() && (step.back() == L'.' || step.back() == L' '))
        step.pop_back();
    return step;
}

// The steps of a name relative to a held folder; "." steps drop out. False
// for a name that would climb.
bool Steps(const NativePath& name, std::vector<std::wstring>& steps)
{
    const std::wstring whole(name.utf16.begin(), name.utf16.end());
    size_t start = 0;
    for (size_t i = 0; i <= whole.size(); ++i) {
        if (i < whole.size() && whole[i] != L'\\' && whole[i] != L'/')
            continue;
        const std::wstring raw = whole.substr(start, i - start);
        start = i + 1;
        const std::wstring step = Win32Step(raw);
        if (raw.empty() || raw == L".")
            continue;
        if (step.empty())
            return false;
        steps.push_back(step);
    }
    return !steps.empty();
}

NTSTATUS OpenRelative(HANDLE& handle, HANDLE parent, const std::wstring& step, ACCESS_MASK access, ULONG share,
                      ULONG disposition, ULONG options)
{
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(step.c_str());
    text.Length = static_cast<USHORT>(step.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status {};
    handle = INVALID_HANDLE_VALUE;
    // FILE_OPEN_REPARSE_POINT: the step itself, never what a link there names.
    const NTSTATUS result = NtCreateFile(&handle, access, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                                         disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT,
                                         nullptr, 0);
    if (!Succeeded(result)) {
        handle = INVALID_HANDLE_VALUE;
        SetLastError(RtlNtStatusToDosError(result));
    }
    return result;
}

// The folder step directly in parent, made first when create is set; a
// reparse point there is refused.
HANDLE FolderStep(HANDLE parent, const std::wstring& step, bool create)
{
    HANDLE folder = INVALID_HANDLE_VALUE;
    NTSTATUS opened = kNameCollision;
    if (create)
        opened = OpenRelative(folder, parent, step, kFolderAccess, kFolderShare, FILE_CREATE, FILE_DIRECTORY_FILE);
    if (opened == kNameCollision)
        OpenRelative(folder, parent, step, kFolderAccess, kFolderShare, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (folder == INVALID_HANDLE_VALUE)
        return folder;
    if (!IsPlainFolder(folder)) {
        CloseHandle(folder);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    return folder;
}

// Walks all steps but the last from parent, each held until the caller is
// done with the last; the last one's parent is returned (or parent itself).
class StepWalk
{
public:
    StepWalk(HANDLE parent, const std::vector<std::wstring>& steps) : m_last(parent)
    {
        for (size_t i = 0; i + 1 < steps.size(); ++i) {
            const HANDLE next = FolderStep(m_last, steps[i], false);
            if (next == INVALID_HANDLE_VALUE) {
                m_bOk = false;
                return;
            }
            m_held.push_back(next);
            m_last = next;
        }
    }
    ~StepWalk()
    {
        for (HANDLE held : m_held)
            CloseHandle(held);
    }
    StepWalk(const StepWalk&) = delete;
    StepWalk& operator=(const StepWalk&) = delete;

    bool Ok() const { return m_bOk; }
    HANDLE Last() const { return m_last; }

private:
    std::vector<HANDLE> m_held;
    HANDLE m_last;
    bool m_bOk = true;
};

enum class EFreed { Freed, Missing, Refused };

bool IsIdentity(HANDLE handle, const FileIdentity* only)
{
    if (!only)
        return true;
    const FileIdentity there = IdentityOfHandle(handle);
    return there.device == only->device && there.index == only->index;
}

// Frees the step directly in parent unless a real folder holds it; with only
// given, only while the step is that file.
EFreed FreeStep(HANDLE parent, const std::wstring& step, const FileIdentity* only = nullptr)
{
    HANDLE there = INVALID_HANDLE_VALUE;
    OpenRelative(there, parent, step, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0);
    if (there == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? EFreed::Missing : EFreed::Refused;
    }
    const bool folder = IsPlainFolder(there);
    const bool freed = !folder && IsIdentity(there, only) && DeleteByHandle(there);
    CloseHandle(there);
    if (folder)
        SetLastError(ERROR_DIRECTORY);
    return freed ? EFreed::Freed : EFreed::Refused;
}

} // namespace

FileIdentity IdentityOf(FileDescriptor file)
{
    return IdentityOfHandle(HandleOf(file));
}

FileIdentity IdentityAt(const NativePath& path)
{
    const HANDLE there = OpenForAttributes(path);
    if (there == INVALID_HANDLE_VALUE)
        return FileIdentity();
    const FileIdentity identity = IdentityOfHandle(there);
    CloseHandle(there);
    return identity;
}

FileDescriptor OpenPackageFile(const NativePath& path, bool keepBytes)
{
    if (keepBytes) {
        const HANDLE kept = CreateFileW(Wide(path), kFileAccess, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        BY_HANDLE_FILE_INFORMATION info {};
        if (kept != INVALID_HANDLE_VALUE && GetFileInformationByHandle(kept, &info) && info.nNumberOfLinks == 1
            && !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            return Adopt(kept, false);
        if (kept != INVALID_HANDLE_VALUE)
            CloseHandle(kept);
    }
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        if (!FreePath(path))
            return -1;
        const HANDLE made = CreateFileW(Wide(path), kFileAccess, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (made != INVALID_HANDLE_VALUE)
            return Adopt(made, false);
        if (GetLastError() != ERROR_FILE_EXISTS)
            return -1;
    }
    return -1;
}

long long ReadAt(FileDescriptor file, long long offset, char* data, long long size)
{
    OVERLAPPED at {};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFLL);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const DWORD wanted = static_cast<DWORD>(size > (1 << 30) ? (1 << 30) : size);
    if (ReadFile(HandleOf(file), data, wanted, &got, &at))
        return got;
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

bool MakeOwnerExecutable(FileDescriptor)
{
    return true;
}

// The system starts no program that someone holds open for writing, ourselves
// included. A second handle, which shares writing and so can be opened beside
// ours, keeps the name from being renamed or deleted while ours goes; the
// read-only hold that follows shares no writing, so it cannot be had while
// another writer got in.
bool HoldForStart(FileDescriptor& file, const NativePath& path)
{
    const HANDLE held = HandleOf(file);
    const HANDLE bridge = CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (bridge == INVALID_HANDLE_VALUE)
        return false;
    if (!SameObject(bridge, held)) {
        CloseHandle(bridge);
        return false;
    }
    _close(file);
    file = -1;
    const HANDLE reading = CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const bool same = reading != INVALID_HANDLE_VALUE && SameObject(reading, bridge);
    CloseHandle(bridge);
    if (!same) {
        if (reading != INVALID_HANDLE_VALUE)
            CloseHandle(reading);
        return false;
    }
    file = Adopt(reading, true);
    return file >= 0;
}

// Let go first: the hold shares no deleting. The name goes only while it
// still names the file that was held.
bool RemoveHeldFile(FileDescriptor& file, const NativePath& path)
{
    const FileIdentity held = IdentityOf(file);
    CloseFile(file);
    file = -1;
    if (!held.valid)
        return false;
    const HANDLE there = CreateFileW(Wide(path), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (there == INVALID_HANDLE_VALUE)
        return false;
    const bool removed = IsIdentity(there, &held) && DeleteByHandle(there);
    CloseHandle(there);
    return removed;
}

void CloseFile(FileDescriptor file)
{
    if (file >= 0)
        _close(file);
}

FolderHandle OpenFolder(const NativePath& path)
{
    const HANDLE folder = CreateFileW(Wide(path), kFolderAccess, kFolderShare, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return kNoFolder;
    if (!IsPlainFolder(folder)) {
        CloseHandle(folder);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return kNoFolder;
    }
    return reinterpret_cast<FolderHandle>(folder);
}

bool IsFolderAt(FolderHandle folder, const NativePath& path)
{
    const HANDLE there = OpenForAttributes(path);
    if (there == INVALID_HANDLE_VALUE)
        return false;
    const bool same = IsPlainFolder(there) && SameObject(there, FolderOf(folder));
    CloseHandle(there);
    return same;
}

FolderHandle MakeFolderAt(FolderHandle parent, const NativePath& name)
{
    std::vector<std::wstring> steps;
    if (!Steps(name, steps))
        return kNoFolder;
    HANDLE current = FolderOf(parent);
    for (size_t i = 0; i < steps.size(); ++i) {
        const HANDLE next = FolderStep(current, steps[i], true);
        if (current != FolderOf(parent))
            CloseHandle(current);
        if (next == INVALID_HANDLE_VALUE)
            return kNoFolder;
        current = next;
    }
    return reinterpret_cast<FolderHandle>(current);
}

FileDescriptor CreateFileAt(FolderHandle parent, const NativePath& name)
{
    std::vector<std::wstring> steps;
    if (!Steps(name, steps))
        return -1;
    const StepWalk walk(FolderOf(parent), steps);
    if (!walk.Ok())
        return -1;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        if (FreeStep(walk.Last(), steps.back()) == EFreed::Refused)
            return -1;
        HANDLE made = INVALID_HANDLE_VALUE;
        const NTSTATUS result = OpenRelative(made, walk.Last(), steps.back(), kFileAccess, FILE_SHARE_READ,
                                             FILE_CREATE, FILE_NON_DIRECTORY_FILE);
        if (made != INVALID_HANDLE_VALUE)
            return Adopt(made, false);
        if (result != kNameCollision)
            return -1;
    }
    return -1;
}

bool RemoveNameAt(FolderHandle parent, const NativePath& name, const FileIdentity* only)
{
    std::vector<std::wstring> steps;
    if (!Steps(name, steps))
        return false;
    const StepWalk walk(FolderOf(parent), steps);
    return walk.Ok() && FreeStep(walk.Last(), steps.back(), only) == EFreed::Freed;
}

void CloseFolder(FolderHandle folder)
{
    if (folder != kNoFolder)
        CloseHandle(FolderOf(folder));
}

} // namespace Platform
} // namespace Update
