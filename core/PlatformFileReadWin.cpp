#include "PlatformFileRead.h"

#include <windows.h>

namespace Update {
namespace Platform {

namespace {

const wchar_t* Wide(const NativePath& path)
{
    return reinterpret_cast<const wchar_t*>(path.utf16.c_str());
}

bool IsMissingError(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// A file on a disk, not a folder: a pipe, a console or another device is
// of another type.
bool IsDiskFile(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info {};
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info)
        && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

FileRead ReadSmallFile(const NativePath& path, std::size_t maxBytes, std::string& bytes)
{
    bytes.clear();
    const DWORD attributes = GetFileAttributesW(Wide(path));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return FileRead::NotAFile;
    // Opening does not wait, not even on a pipe; one is refused by its type
    // before anything is read.
    const HANDLE file = CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return IsMissingError(GetLastError()) ? FileRead::Missing : FileRead::Failed;
    if (!IsDiskFile(file)) {
        CloseHandle(file);
        return FileRead::NotAFile;
    }
    std::string text(maxBytes + 1, '\0');
    std::size_t size = 0;
    FileRead result = FileRead::Read;
    while (size < text.size()) {
        const DWORD ask = static_cast<DWORD>(text.size() - size > 65536 ? 65536 : text.size() - size);
        DWORD got = 0;
        if (!ReadFile(file, &text[size], ask, &got, nullptr)) {
            result = FileRead::Failed;
            break;
        }
        if (got == 0)
            break;
        size += got;
    }
    CloseHandle(file);
    if (result != FileRead::Read)
        return result;
    if (size > maxBytes)
        return FileRead::TooLong;
    text.resize(size);
    bytes.swap(text);
    return FileRead::Read;
}

} // namespace Platform
} // namespace Update
