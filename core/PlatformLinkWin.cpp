#include "PlatformLink.h"

#include <windows.h>

namespace Update {
namespace Platform {

namespace {

const wchar_t* Wide(const NativePath& path)
{
    return reinterpret_cast<const wchar_t*>(path.utf16.c_str());
}

// A reparse point whose tag marks it as standing for another name (symbolic
// links, junctions and their kin) is a link. Other tags (cloud placeholders,
// deduplicated files) keep their data here and are what they look like. A
// tag the system does not give counts as a link: removing a link too many
// is safer than following one.
bool IsLinkTag(DWORD attributes, DWORD tag)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (tag == 0 || IsReparseTagNameSurrogate(tag));
}

bool Find(const NativePath& path, WIN32_FIND_DATAW& data)
{
    const HANDLE search = FindFirstFileExW(Wide(path), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

} // namespace

EntryKind EntryKindAt(const NativePath& path)
{
    const DWORD attributes = GetFileAttributesW(Wide(path));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return EntryKind::Missing;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        WIN32_FIND_DATAW data {};
        if (!Find(path, data) || IsLinkTag(data.dwFileAttributes, data.dwReserved0))
            return EntryKind::Link;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return EntryKind::Folder;
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return EntryKind::Other;
    return EntryKind::File;
}

bool RemoveLink(const NativePath& path)
{
    if (EntryKindAt(path) != EntryKind::Link)
        return true;
    const DWORD attributes = GetFileAttributesW(Wide(path));
    // A link to a folder is removed as a folder, a link to a file as a file;
    // neither reaches its target.
    const auto remove = [&] {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(Wide(path)) : DeleteFileW(Wide(path));
    };
    if (remove())
        return true;
    if (!(attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    SetFileAttributesW(Wide(path), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    return remove();
}

std::u16string LongNameAt(const NativePath& path)
{
    std::wstring given = Wide(path);
    for (wchar_t& c : given)
        c = c == L'/' ? L'\\' : c;
    const DWORD size = GetLongPathNameW(given.c_str(), nullptr, 0);
    if (size == 0)
        return std::u16string();
    std::wstring full(size, L'\0');
    const DWORD length = GetLongPathNameW(given.c_str(), &full[0], size);
    if (length == 0 || length >= size)
        return std::u16string();
    full.resize(length);
    const std::wstring::size_type slash = full.find_last_of(L'\\');
    const std::wstring leaf = slash == std::wstring::npos ? full : full.substr(slash + 1);
    return std::u16string(leaf.begin(), leaf.end());
}

} // namespace Platform
} // namespace Update
