#include "PlatformLogFile.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace Update {
namespace Platform {

namespace {

// FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, never what it names.
HANDLE OpenOnce(const wchar_t* path)
{
    return CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// 0: a plain file, 1: a link (a reparse point), -1: anything else.
int KindOf(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info {};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info))
        return -1;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return 1;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? -1 : 0;
}

} // namespace

int OpenAppendNoFollow(const std::string&, const std::u16string& utf16)
{
    const wchar_t* path = reinterpret_cast<const wchar_t*>(utf16.c_str());
    HANDLE file = OpenOnce(path);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    int kind = KindOf(file);
    if (kind == 1) {
        CloseHandle(file);
        if (!DeleteFileW(path))
            return -1;
        file = OpenOnce(path);
        if (file == INVALID_HANDLE_VALUE)
            return -1;
        kind = KindOf(file);
    }
    if (kind != 0) {
        CloseHandle(file);
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_APPEND | _O_BINARY);
    if (fd < 0)
        CloseHandle(file);
    return fd;
}

} // namespace Platform
} // namespace Update
