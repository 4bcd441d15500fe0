#include "PlatformFile.h"

#include <windows.h>
#include <winternl.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace Update {
namespace Platform {

namespace {

// A name taken again between its removal and the exclusive create is
// removed again, a few times.
constexpr int kCreateAttempts = 4;

constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035L); // STATUS_OBJECT_NAME_COLLISION
constexpr NTSTATUS kSharingViolation = static_cast<NTSTATUS>(0xC0000043L); // STATUS_SHARING_VIOLATION
constexpr NTSTATUS kFileLockConflict = static_cast<NTSTATUS>(0xC0000054L); // STATUS_FILE_LOCK_CONFLICT
constexpr NTSTATUS kLockNotGranted = static_cast<NTSTATUS>(0xC0000055L);   // STATUS_LOCK_NOT_GRANTED
// A deleted name that another program still holds open: it goes when they let go.
constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056L); // STATUS_DELETE_PENDING

// Short pauses, growing a little, so a scanner that lets go is noticed soon.
constexpr DWORD kFirstPauseMs = 100;
constexpr DWORD kPauseStepMs = 25;
constexpr DWORD kLongestPauseMs = 250;

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

enum class EAttempt { Done, Held, Failed };

EAttempt OutcomeOf(NTSTATUS status)
{
    if (Succeeded(status))
        return EAttempt::Done;
    const bool held = status == kSharingViolation || status == kFileLockConflict || status == kLockNotGranted
        || status == kDeletePending;
    return held ? EAttempt::Held : EAttempt::Failed;
}

EAttempt OutcomeOf(HANDLE opened)
{
    if (opened != INVALID_HANDLE_VALUE)
        return EAttempt::Done;
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? EAttempt::Held : EAttempt::Failed;
}

// One call's patience, its deadline fixed as the call begins.
struct Waiting
{
    explicit Waiting(const Patience& patience)
        : deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(patience.boundMs, 0)))
        , stop(patience.stop)
        , pauses(patience.pauses)
    {
    }
    bool Stopped() const { return stop && stop->load(); }

    std::chrono::steady_clock::time_point deadline;
    const std::atomic<bool>* stop;
    int* pauses;
};

const Patience kNoWaiting {0};

// Tries once, and again after short pauses for as long as another program
// holds what the attempt opens, until the deadline or a stop request. The
// last attempt's error stays the last error.
template <typename Attempt>
bool RetryWhileShared(const Waiting& waiting, Attempt attempt)
{
    DWORD pause = kFirstPauseMs;
    for (;;) {
        const EAttempt outcome = attempt();
        if (outcome != EAttempt::Held)
            return outcome == EAttempt::Done;
        const DWORD error = GetLastError();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            waiting.deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || waiting.Stopped())
            return false;
        if (waiting.pauses)
            ++*waiting.pauses;
        Sleep(std::min<DWORD>(pause, static_cast<DWORD>(left.count())));
        pause = std::min(pause + kPauseStepMs, kLongestPauseMs);
        SetLastError(error);
        if (waiting.Stopped())
            return false;
    }
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
                      ULONG disposition, ULONG options, const Waiting& waiting)
{
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(step.c_str());
    text.Length = static_cast<USHORT>(step.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status {};
    NTSTATUS result = 0;
    RetryWhileShared(waiting, [&]() {
        handle = INVALID_HANDLE_VALUE;
        // FILE_OPEN_REPARSE_POINT: the step itself, never what a link there names.
        result = NtCreateFile(&handle, access, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                              disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT,
                              nullptr, 0);
        if (!Succeeded(result)) {
            handle = INVALID_HANDLE_VALUE;
            SetLastError(RtlNtStatusToDosError(result));
        }
        return OutcomeOf(result);
    });
    return result;
}

// The folder step directly in parent, made first when create is set; a
// reparse point there is refused.
HANDLE FolderStep(HANDLE parent, const std::wstring& step, bool create, const Waiting& waiting)
{
    HANDLE folder = INVALID_HANDLE_VALUE;
    NTSTATUS opened = kNameCollision;
    if (create)
        opened = OpenRelative(folder, parent, step, kFolderAccess, kFolderShare, FILE_CREATE, FILE_DIRECTORY_FILE,
                              waiting);
    if (opened == kNameCollision)
        OpenRelative(folder, parent, step, kFolderAccess, kFolderShare, FILE_OPEN, FILE_DIRECTORY_FILE, waiting);
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
    StepWalk(HANDLE parent, const std::vector<std::wstring>& steps, const Waiting& waiting) : m_last(parent)
    {
        for (size_t i = 0; i + 1 < steps.size(); ++i) {
            const HANDLE next = FolderStep(m_last, steps[i], false, waiting);
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
EFreed FreeStep(HANDLE parent, const std::wstring& step, const Waiting& waiting, const FileIdentity* only = nullptr)
{
    HANDLE there = INVALID_HANDLE_VALUE;
    OpenRelative(there, parent, step, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0, waiting);
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

// Whether a new reader of path would be let in: false while another holder
// shares no reading.
bool AdmitsReaders(const NativePath& path)
{
    const HANDLE reader = CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (reader == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(reader);
    return true;
}

// The system starts no program that someone holds open for writing, ourselves
// included. A second handle, which shares writing and so can be opened beside
// ours, keeps the name from being renamed or deleted while ours goes; the
// read-only hold that follows shares no writing, so it cannot be had while
// another writer got in. Only a holder that ignores share modes (a scanner's
// driver) can keep either open from us; such a holder is waited for. A
// writer that got in as ours let go lets readers in and is refused at once:
// waiting would give it time to change the file.
bool HoldForStart(FileDescriptor& file, const NativePath& path, const Patience& patience)
{
    const Waiting waiting(patience);
    const HANDLE held = HandleOf(file);
    HANDLE bridge = INVALID_HANDLE_VALUE;
    RetryWhileShared(waiting, [&]() {
        bridge = CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        return OutcomeOf(bridge);
    });
    if (bridge == INVALID_HANDLE_VALUE)
        return false;
    if (!SameObject(bridge, held)) {
        CloseHandle(bridge);
        return false;
    }
    _close(file);
    file = -1;
    HANDLE reading = INVALID_HANDLE_VALUE;
    RetryWhileShared(waiting, [&]() {
        reading = CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        const EAttempt outcome = OutcomeOf(reading);
        if (outcome != EAttempt::Held)
            return outcome;
        const DWORD error = GetLastError();
        const EAttempt held = AdmitsReaders(path) ? EAttempt::Failed : EAttempt::Held;
        SetLastError(error);
        return held;
    });
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

FolderHandle OpenFolder(const NativePath& path, const Patience& patience)
{
    HANDLE folder = INVALID_HANDLE_VALUE;
    RetryWhileShared(Waiting(patience), [&]() {
        folder = CreateFileW(Wide(path), kFolderAccess, kFolderShare, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        return OutcomeOf(folder);
    });
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

FolderHandle MakeFolderAt(FolderHandle parent, const NativePath& name, const Patience& patience)
{
    std::vector<std::wstring> steps;
    if (!Steps(name, steps))
        return kNoFolder;
    const Waiting waiting(patience);
    HANDLE current = FolderOf(parent);
    for (size_t i = 0; i < steps.size(); ++i) {
        const HANDLE next = FolderStep(current, steps[i], true, waiting);
        if (current != FolderOf(parent))
            CloseHandle(current);
        if (next == INVALID_HANDLE_VALUE)
            return kNoFolder;
        current = next;
    }
    return reinterpret_cast<FolderHandle>(current);
}

FileDescriptor CreateFileAt(FolderHandle parent, const NativePath& name, const Patience& patience)
{
    std::vector<std::wstring> steps;
    if (!Steps(name, steps))
        return -1;
    const Waiting waiting(patience);
    const StepWalk walk(FolderOf(parent), steps, waiting);
    if (!walk.Ok())
        return -1;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        if (FreeStep(walk.Last(), steps.back(), waiting) == EFreed::Refused)
            return -1;
        HANDLE made = INVALID_HANDLE_VALUE;
        const NTSTATUS result = OpenRelative(made, walk.Last(), steps.back(), kFileAccess, FILE_SHARE_READ,
                                             FILE_CREATE, FILE_NON_DIRECTORY_FILE, waiting);
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
    const Waiting once(kNoWaiting);
    const StepWalk walk(FolderOf(parent), steps, once);
    return walk.Ok() && FreeStep(walk.Last(), steps.back(), once, only) == EFreed::Freed;
}

void CloseFolder(FolderHandle folder)
{
    if (folder != kNoFolder)
        CloseHandle(FolderOf(folder));
}

} // namespace Platform
} // namespace Update
