// Runs the Windows backends against the real system: child processes started
// here, files in a scratch folder, a real window and this program's own
// resources. Meant for Windows and Wine alike; where Wine knowingly differs,
// the check says so instead of failing.

#include "PlatformArgs.h"
#include "PlatformFileRead.h"
#include "PlatformFile.h"
#include "PlatformFind.h"
#include "PlatformLink.h"
#include "PlatformLogFile.h"
#include "PlatformProcess.h"
#include "PlatformWindowMove.h"
#include "WinCheck.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

using namespace Update::Platform;
using WinCheck::Check;
using WinCheck::CheckBytes;

namespace {

const char* const kNotifier = "ZoRezivirArerur.exe";
const wchar_t* const kStandInSeconds = L"60";
const DWORD kEndWaitMs = 10000;
const DWORD kListWaitMs = 10000;

std::wstring g_exeDir;  // this program and its helpers
std::wstring g_scratch; // removed at the end

bool IsWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// What the Qt side hands over for a path: the ANSI code page's bytes.
std::string ToAnsi(const std::wstring& wide)
{
    const int length = static_cast<int>(wide.size());
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), length, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, wide.c_str(), length, &text[0], size, nullptr, nullptr);
    return text;
}

std::wstring ExeDir()
{
    wchar_t path[MAX_PATH] {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir = path;
    return dir.substr(0, dir.find_last_of(L'\\'));
}

bool MakeFolder(const std::wstring& path)
{
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    FILE* in = _wfopen(path.c_str(), L"rb");
    if (!in)
        return bytes;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), in)) > 0)
        bytes.append(buffer, got);
    std::fclose(in);
    return bytes;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (!out)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring Slashed(std::wstring path)
{
    for (wchar_t& c : path)
        c = c == L'\\' ? L'/' : c;
    return path;
}

const char* const kVictimBytes = "not the updater's";

// A folder under the scratch folder with a file of someone else's in it, for
// links to point at; the file's path.
std::wstring LayOutVictim(const std::wstring& folder)
{
    const std::wstring victim = folder + L"\\victim.txt";
    return MakeFolder(folder) && WriteBytes(victim, kVictimBytes) ? victim : std::wstring();
}

// A child process that is always ended and released with the test that made it.
class Child
{
public:
    Child(const std::wstring& exe, const std::wstring& arguments)
    {
        std::wstring line = L"\"" + exe + L"\" " + arguments;
        STARTUPINFOW startup {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info {};
        if (!CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &info))
            return;
        CloseHandle(info.hThread);
        m_process = info.hProcess;
        m_pid = info.dwProcessId;
    }
    ~Child() { Release(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return m_process != nullptr; }
    DWORD Pid() const { return m_pid; }
    bool IsRunning() const { return m_process && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }
    bool EndsWithin(DWORD ms) const { return m_process && WaitForSingleObject(m_process, ms) == WAIT_OBJECT_0; }
    DWORD ExitCode() const
    {
        DWORD code = 0;
        return m_process && GetExitCodeProcess(m_process, &code) ? code : 0xFFFFFFFF;
    }
    void Release()
    {
        if (!m_process)
            return;
        if (IsRunning()) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, kEndWaitMs);
        }
        CloseHandle(m_process);
        m_process = nullptr;
    }

private:
    HANDLE m_process = nullptr;
    DWORD m_pid = 0;
};

// --- Process entry -------------------------------------------------------

struct ArgRow
{
    const char* risk;
    const wchar_t* tail;                    // command line after the program path
    std::vector<std::string> expected1252;  // ANSI code page 1252
    std::vector<std::string> expected936;   // code page 936; empty when the same
};

const std::vector<ArgRow>& ArgRows()
{
    static const std::vector<ArgRow> rows = {
        {"plain words split at every run of spaces", L"one two   three", {"one", "two", "three"}, {}},
        {"quoted spaces keep one argument", L"\"Notes with spaces\" x", {"Notes with spaces", "x"}, {}},
        {"escaped quotes reach the program", L"\"say \\\"hi\\\"\" end", {"say \"hi\"", "end"}, {}},
        {"backslashes stay unless they precede a quote", L"C:\\dir\\file \"C:\\dir\\\\\" tail",
         {"C:\\dir\\file", "C:\\dir\\", "tail"}, {}},
        {"an empty quoted argument keeps its position", L"url \"\" notes", {"url", "", "notes"}, {}},
        {"a Latin letter arrives in the code page's bytes", L"caf\u00e9",
         {"caf\xE9"}, {"caf\xA8\xA6"}},
        {"letters outside the code page become the default char", L"\u0e44\u0e17\u0e22", {"???"}, {}},
        {"the client's seven launch arguments, two of them empty",
         L"http://127.0.0.1:8080/pkg/client_v2.zip 1048576 true \"\" \"\u5347\u7ea7 notes\" 4242 \"\"",
         {"http://127.0.0.1:8080/pkg/client_v2.zip", "1048576", "true", "", "?? notes", "4242", ""},
         {"http://127.0.0.1:8080/pkg/client_v2.zip", "1048576", "true", "", "\xC9\xFD\xBC\xB6 notes", "4242", ""}},
    };
    return rows;
}

// Starts the helper with the given command line and reads back what its
// process entry produced: each argument ended by a NUL.
bool RunArgDump(const std::wstring& tail, std::vector<std::string>& args)
{
    const std::wstring out = g_scratch + L"\\args.txt";
    DeleteFileW(out.c_str());
    SetEnvironmentVariableW(L"ARGDUMP_OUT", out.c_str());
    Child child(g_exeDir + L"\\arg_dump.exe", tail);
    if (!child.EndsWithin(30000) || child.ExitCode() != 0)
        return false;
    const std::string bytes = ReadFileBytes(out);
    for (size_t from = 0, end; (end = bytes.find('\0', from)) != std::string::npos; from = end + 1)
        args.push_back(bytes.substr(from, end - from));
    return !args.empty();
}

std::string Joined(const std::vector<std::string>& args, size_t from)
{
    std::string text;
    for (size_t i = from; i < args.size(); ++i)
        text += "<" + args[i] + ">";
    return text;
}

void TestArguments()
{
    const UINT codePage = GetACP();
    const bool known = codePage == 1252 || codePage == 936;
    Check(known, "the run's ANSI code page is one whose bytes the table knows",
          "code page " + std::to_string(codePage) + ": rows outside ASCII are left out");

    for (const ArgRow& row : ArgRows()) {
        if (!known && std::any_of(row.tail, row.tail + std::wcslen(row.tail), [](wchar_t c) { return c > 0x7f; }))
            continue;
        const std::vector<std::string>& expected =
            codePage == 936 && !row.expected936.empty() ? row.expected936 : row.expected1252;
        std::vector<std::string> args;
        if (!Check(RunArgDump(row.tail, args), std::string(row.risk) + " (helper ran)"))
            continue;
        CheckBytes(Joined(args, 1), Joined(expected, 0), row.risk);
    }

    std::vector<std::string> args;
    const bool ran = RunArgDump(L"x", args);
    const std::string program = ran && !args.empty() ? args[0] : std::string();
    const std::string suffix = "\\arg_dump.exe";
    Check(program.size() > suffix.size() && program.compare(program.size() - suffix.size(), suffix.size(), suffix) == 0,
          "position 0 is the program path without its quotes", "got \"" + WinCheck::Escaped(program) + "\"");
}

// --- Directory search ----------------------------------------------------

// Under the scratch folder; "missing" is never made and "slashes" is given
// with "/" as the Qt side builds it. A file name ending in "\\" is made as a
// folder, in the order given. Expected nullptr: no match; L"": the system's
// own first match.
const struct { const char* risk; const wchar_t* folder; std::vector<const wchar_t*> files; const wchar_t* expected; }
    kFindRows[] = {
        {"an installer among other files is found", L"mixed", {L"readme.txt", L"setup.exe", L"data.bin"}, L"setup.exe"},
        {"an upper-case extension still matches", L"upper", {L"SETUP.EXE"}, L"SETUP.EXE"},
        {"names that merely contain exe are no match", L"lookalike", {L"setup.exe.txt", L"notes.exe.bak", L"exe"},
         nullptr},
        {"an empty folder gives no match", L"empty", {}, nullptr},
        {"a missing folder gives no match", L"missing", {}, nullptr},
        {"of two installers the one the system's search yields first", L"two", {L"b_setup.exe", L"a_setup.exe"}, L""},
        {"a folder given with forward slashes", L"slashes", {L"setup.exe"}, L"setup.exe"},
        {"a folder name outside ASCII but in the code page", L"paquet_\u00e9", {L"setup.exe"}, L"setup.exe"},
        {"an installer name outside ASCII comes back in the code page", L"latin", {L"instal\u00e9.exe"},
         L"instal\u00e9.exe"},
        {"folders named like installers are skipped for the file", L"folders", {L"a.exe\\", L"x.exe\\", L"setup.exe"},
         L"setup.exe"},
};

std::wstring SystemFirstMatch(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    const HANDLE search = FindFirstFileW((folder + L"\\*.exe").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return std::wstring();
    FindClose(search);
    return data.cFileName;
}

void TestFind()
{
    const std::wstring root = g_scratch + L"\\find";
    MakeFolder(root);
    for (const auto& row : kFindRows) {
        const std::wstring folder = root + L"\\" + row.folder;
        bool made = std::wstring(row.folder) == L"missing" || MakeFolder(folder);
        for (std::wstring file : row.files) {
            const bool isFolder = file.back() == L'\\';
            file.resize(file.size() - (isFolder ? 1 : 0));
            made = made && (isFolder ? MakeFolder(folder + L"\\" + file) : WriteBytes(folder + L"\\" + file, ""));
        }
        if (!Check(made, std::string(row.risk) + " (folder laid out)"))
            continue;

        const std::wstring given = std::wstring(row.folder) == L"slashes" ? Slashed(folder) : folder;
        std::string name = "(untouched)";
        const bool found = FindFirstExeFile(ToAnsi(given), name);
        if (!row.expected) {
            Check(!found && name == "(untouched)", row.risk, "found \"" + WinCheck::Escaped(name) + "\"");
            continue;
        }
        const std::wstring expected = *row.expected ? std::wstring(row.expected) : SystemFirstMatch(folder);
        Check(found, std::string(row.risk) + " (a match)");
        CheckBytes(name, ToAnsi(expected), row.risk);
    }
}

// --- Process list and termination -----------------------------------------

ProcessEntry EntryOf(const std::vector<ProcessEntry>& list, DWORD pid)
{
    for (const ProcessEntry& entry : list) {
        if (entry.pid == pid)
            return entry;
    }
    return {};
}

// The same file for Windows: long form of the name, letter case ignored.
bool IsSameFile(const std::string& listed, const std::wstring& expected)
{
    wchar_t longPath[MAX_PATH] {};
    const DWORD length = GetLongPathNameW(expected.c_str(), longPath, MAX_PATH);
    const std::string wanted = ToAnsi(length > 0 && length < MAX_PATH ? std::wstring(longPath) : expected);
    return !listed.empty() && lstrcmpiA(listed.c_str(), wanted.c_str()) == 0;
}

long long IndexOf(const std::vector<ProcessEntry>& list, DWORD pid)
{
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].pid == pid)
            return static_cast<long long>(i);
    }
    return -1;
}

// The caller's lookup: the first listed process whose name is the same bytes.
long long FirstPidNamed(const std::vector<ProcessEntry>& list, const std::string& name)
{
    for (const ProcessEntry& entry : list) {
        if (entry.exeName == name)
            return entry.pid;
    }
    return 0;
}

bool WaitListed(DWORD pid, bool listed)
{
    const ULONGLONG deadline = GetTickCount64() + kListWaitMs;
    while (GetTickCount64() < deadline) {
        if ((IndexOf(ListProcesses(), pid) >= 0) == listed)
            return true;
        Sleep(50);
    }
    return false;
}

std::wstring StandIn(const std::wstring& folder, const std::wstring& name)
{
    const std::wstring path = g_scratch + L"\\" + folder + L"\\" + name;
    const std::wstring source = g_exeDir + L"\\ZoRezivirArerur.exe";
    if (!MakeFolder(g_scratch + L"\\" + folder) || !CopyFileW(source.c_str(), path.c_str(), FALSE))
        return std::wstring();
    return path;
}

// Two notifiers and, started first so that a lookup ignoring case would pick
// it, a variant of the name in another folder: the first listed notifier
// alone ends, by its id.
void TestProcesses()
{
    const std::wstring ownExe = g_exeDir + L"\\win_backend_test.exe";
    const ProcessEntry own = EntryOf(ListProcesses(), GetCurrentProcessId());
    CheckBytes(own.exeName, "win_backend_test.exe", "the walk lists this very process by its bare file name");
    Check(IsSameFile(own.exePath, ownExe), "the walk lists this very process with the full path of its executable",
          "got \"" + WinCheck::Escaped(own.exePath) + "\"");
    Check(IsSameFile(ExecutablePathOf(GetCurrentProcessId()), ownExe), "the executable of this very process by its id");
    Check(ExecutablePathOf(0).empty() && ExecutablePathOf(-1).empty(), "ids 0 and -1 name no executable");

    const std::wstring notifier = StandIn(L"notifier", L"ZoRezivirArerur.exe");
    const std::wstring variant = StandIn(L"variant", L"ZOREZIVIRARERUR.exe");
    if (!Check(!notifier.empty() && !variant.empty(), "the stand-ins are laid out"))
        return;
    Child variantChild(variant, kStandInSeconds);
    Child one(notifier, kStandInSeconds);
    Child two(notifier, kStandInSeconds);
    if (!Check(variantChild.Started() && one.Started() && two.Started() && WaitListed(variantChild.Pid(), true)
                   && WaitListed(one.Pid(), true) && WaitListed(two.Pid(), true),
               "the stand-ins start and show up in the list"))
        return;

    const std::vector<ProcessEntry> list = ListProcesses();
    const bool oneFirst = IndexOf(list, one.Pid()) < IndexOf(list, two.Pid());
    Child& first = oneFirst ? one : two;
    const Child& second = oneFirst ? two : one;
    CheckBytes(EntryOf(list, first.Pid()).exeName, kNotifier, "the notifier is listed by its exact name");
    CheckBytes(EntryOf(list, variantChild.Pid()).exeName, "ZOREZIVIRARERUR.exe", "a listed name keeps its letter case");
    Check(IsSameFile(EntryOf(list, first.Pid()).exePath, notifier),
          "the notifier is listed with the path it was started from",
          "got \"" + WinCheck::Escaped(EntryOf(list, first.Pid()).exePath) + "\"");
    Check(IsSameFile(EntryOf(list, variantChild.Pid()).exePath, variant),
          "two executables of one name are told apart by their folders");
    Check(IsSameFile(ExecutablePathOf(first.Pid()), notifier) && IsSameFile(ExecutablePathOf(variantChild.Pid()), variant),
          "the executable of a child by its id is the file it was started from");
    const long long target = FirstPidNamed(list, kNotifier);
    Check(target == first.Pid(), "the lookup by name takes the first listed notifier, never the case variant");

    Check(TerminateProcessById(target), "terminating the notifier by id reports success");
    Check(first.EndsWithin(kEndWaitMs), "the notifier ends once terminated by id");
    Check(first.ExitCode() == STILL_ACTIVE, "the notifier ends with the code it reported while running",
          "exit code " + std::to_string(first.ExitCode()));
    Check(!second.EndsWithin(500) && variantChild.IsRunning(), "the second notifier and the case variant keep running");
    first.Release();
    Check(WaitListed(first.Pid(), false), "an ended process leaves the list");

    const long long variantPid = variantChild.Pid();
    const struct { const char* risk; long long pid; } refused[] = {
        {"id 0 is refused", 0},
        {"id -1 is refused", -1},
        {"a negative id of a running process is refused", -variantPid},
        {"an id past 32 bits is refused rather than wrapped onto a running process", variantPid + 0x100000000LL},
    };
    for (const auto& row : refused)
        Check(!TerminateProcessById(row.pid), row.risk);
    Check(!variantChild.EndsWithin(500), "refused ids end nothing");
}

// --- Window move and executable resources ----------------------------------

int g_moveRequests = 0;

// Records the request instead of entering the system's modal move loop,
// which would wait for a mouse button no one releases.
LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_SYSCOMMAND)
        return DefWindowProcW(window, message, wParam, lParam);
    g_moveRequests += wParam == SC_MOVE + HTCAPTION && lParam == 0 ? 1 : 100;
    return 0;
}

void TestWindowMove()
{
    WNDCLASSW windowClass {};
    windowClass.lpfnWndProc = RecordingProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"UpdateMoveProbe";
    RegisterClassW(&windowClass);
    // A message-only window needs no display, so the check runs headless too.
    const HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"probe", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, windowClass.hInstance, nullptr);
    if (Check(window != nullptr, "a window to move can be made")) {
        Check(StartWindowMove(reinterpret_cast<std::uintptr_t>(window)) && g_moveRequests == 1,
              "a press on the bar asks the window once to move by its caption",
              "requests " + std::to_string(g_moveRequests));
        Check(StartWindowMove(0) && g_moveRequests == 1, "a press without a window is handled and reaches no window");
        DestroyWindow(window);
    }
    UnregisterClassW(windowClass.lpszClassName, windowClass.hInstance);
}

void TestManifest()
{
    const HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    const HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    const std::string manifest = data ? std::string(data, SizeofResource(nullptr, found)) : std::string();
    Check(manifest.find("level=\"asInvoker\"") != std::string::npos
              && manifest.find("uiAccess=\"false\"") != std::string::npos,
          "the embedded manifest runs with the invoker's rights and no UI access");
}

// --- Links in the installation folder ------------------------------------

// A junction as the system's own tools make one: an empty folder carrying a
// mount-point reparse point that names the target.
bool MakeJunction(const std::wstring& junction, const std::wstring& target)
{
    if (!CreateDirectoryW(junction.c_str(), nullptr))
        return false;
    const HANDLE folder = CreateFileW(junction.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        RemoveDirectoryW(junction.c_str());
        return false;
    }
    const std::wstring substitute = L"\\??\\" + target;
    const WORD substituteBytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    const WORD printBytes = static_cast<WORD>(target.size() * sizeof(wchar_t));
    // Tag, data length, reserved; then the mount point's four offsets and
    // lengths and both names, each ended by a NUL.
    std::vector<BYTE> buffer(8 + 8 + substituteBytes + 2 + printBytes + 2, 0);
    const WORD dataLength = static_cast<WORD>(buffer.size() - 8);
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    const WORD fields[] = {dataLength, 0, 0, substituteBytes, static_cast<WORD>(substituteBytes + 2), printBytes};
    std::memcpy(buffer.data(), &tag, sizeof(tag));
    std::memcpy(buffer.data() + 4, fields, sizeof(fields));
    std::memcpy(buffer.data() + 16, substitute.data(), substituteBytes);
    std::memcpy(buffer.data() + 16 + substituteBytes + 2, target.data(), printBytes);
    DWORD returned = 0;
    const BOOL made = DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                                      nullptr, 0, &returned, nullptr);
    CloseHandle(folder);
    if (!made)
        RemoveDirectoryW(junction.c_str());
    return made != FALSE;
}

NativePath Native(const std::wstring& path)
{
    return {ToAnsi(path), std::u16string(path.begin(), path.end())};
}

// Lays out at path what a row plants there: "junction", "folder symlink",
// "file symlink" (to victim), "folder" (with a file in it), "file" or "nothing".
bool Plant(const std::string& planted, const std::wstring& path, const std::wstring& victim)
{
    const std::wstring outside = victim.substr(0, victim.find_last_of(L'\\'));
    const DWORD unprivileged = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (planted == "junction")
        return MakeJunction(path, outside);
    if (planted == "folder symlink")
        return CreateSymbolicLinkW(path.c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | unprivileged);
    if (planted == "file symlink")
        return CreateSymbolicLinkW(path.c_str(), victim.c_str(), unprivileged);
    if (planted == "folder")
        return MakeFolder(path) && WriteBytes(path + L"\\kept.txt", "");
    return planted != "file" || WriteBytes(path, "earlier run\n");
}

// Wine 8 refuses to make a junction and reports a symbolic link as made
// without making one. Said, not failed: the backend's handling of that link
// goes untested there.
bool WineDidNotPlant(bool made, const std::string& planted, const std::wstring& path, const char* risk)
{
    if (!IsWine() || (made && (planted == "nothing" || Exists(path))))
        return false;
    std::printf("NOTE %s: Wine did not make the %s (%s): not tested\n", risk, planted.c_str(),
                made ? "reported as made" : "refused");
    return true;
}

void TestLinks()
{
    const std::wstring root = g_scratch + L"\\links";
    const std::wstring victim = MakeFolder(root) ? LayOutVictim(root + L"\\outside") : std::wstring();
    if (!Check(!victim.empty(), "the link target is laid out"))
        return;
    const struct { const char* risk; const wchar_t* name; const char* planted; EntryKind before; } rows[] = {
        {"a junction to a folder elsewhere is removed, its folder untouched", L"client_v2", "junction", EntryKind::Link},
        {"a junction whose name lies outside the ANSI code page", L"\x5347\x7EA7", "junction", EntryKind::Link},
        {"a symbolic link to a folder is removed, its folder untouched", L"linked_dir", "folder symlink",
         EntryKind::Link},
        {"a symbolic link to a file is removed, its file untouched", L"client_v2.zip", "file symlink", EntryKind::Link},
        {"a real folder stays", L"real_dir", "folder", EntryKind::Folder},
        {"a real file stays", L"real.zip", "file", EntryKind::File},
        {"nothing there is nothing to do", L"missing", "nothing", EntryKind::Missing},
    };
    for (const auto& row : rows) {
        const std::wstring path = root + L"\\" + row.name;
        const bool made = Plant(row.planted, path, victim);
        if (WineDidNotPlant(made, row.planted, path, row.risk) || !Check(made, std::string(row.risk) + " (laid out)"))
            continue;
        const NativePath native = Native(path);
        Check(EntryKindAt(native) == row.before, std::string(row.risk) + " (seen as what it is)",
              "kind " + std::to_string(static_cast<int>(EntryKindAt(native))));
        Check(RemoveLink(native), std::string(row.risk) + " (nothing left to remove)");
        const bool link = row.before == EntryKind::Link;
        Check(Exists(path) == (row.before != EntryKind::Missing && !link), std::string(row.risk) + " (gone or kept)");
        Check(ReadFileBytes(victim) == kVictimBytes, std::string(row.risk) + " (what it pointed to is untouched)");
    }
}

// The support log's file: appended to in place, made when missing, never
// opened through a link, never a folder.
void TestLogFile()
{
    const std::wstring root = g_scratch + L"\\log";
    const std::wstring victim = LayOutVictim(root);
    if (!Check(!victim.empty(), "log: the link target is laid out"))
        return;
    const struct { const char* risk; const wchar_t* name; const char* planted; bool opens; } rows[] = {
        {"log: a link in its place is replaced by a file of its own", L"update.log", "file symlink", true},
        {"log: a folder in its place is left alone", L"folder.log", "folder", false},
        {"log: an earlier run's file is appended to", L"earlier.log", "file", true},
        {"log: a missing log is made", L"new.log", "nothing", true},
    };
    for (const auto& row : rows) {
        const std::wstring path = root + L"\\" + row.name;
        const bool made = Plant(row.planted, path, victim);
        if (WineDidNotPlant(made, row.planted, path, row.risk) || !Check(made, std::string(row.risk) + " (laid out)"))
            continue;
        const std::string before = std::string(row.planted) == "file" ? ReadFileBytes(path) : std::string();
        const int fd = OpenAppendNoFollow(std::string(), std::u16string(reinterpret_cast<const char16_t*>(path.c_str())));
        Check((fd >= 0) == row.opens, std::string(row.risk) + " (opened or refused)");
        if (fd >= 0) {
            Check(_write(fd, "line\n", 5) == 5, std::string(row.risk) + " (written)");
            _close(fd);
            const std::string after = ReadFileBytes(path);
            Check(after == before + "line\n", std::string(row.risk) + " (holds what was there and the line)", after);
        }
        Check(ReadFileBytes(victim) == kVictimBytes, std::string(row.risk) + " (the link's target is untouched)");
    }
}

struct PendingRead
{
    NativePath path;
    FileRead result = FileRead::Failed;
    std::string bytes;
};

DWORD WINAPI RunRead(void* data)
{
    PendingRead* read = static_cast<PendingRead*>(data);
    read->result = ReadSmallFile(read->path, 64, read->bytes);
    return 0;
}

// The key and the certificates are read only from a plain file on a disk,
// never past their bound, and nothing in their place can hold the read: a
// pipe whose other end never writes is refused, not waited on.
void TestSmallFileRead()
{
    const std::wstring root = g_scratch + L"\\read";
    MakeFolder(root);
    MakeFolder(root + L"\\folder");
    const std::wstring file = root + L"\\UpdateKey.pub";
    if (!Check(WriteBytes(file, "0123456789"), "a key file is laid out"))
        return;

    std::string bytes;
    Check(ReadSmallFile(Native(file), 10, bytes) == FileRead::Read, "a file at the bound is read");
    CheckBytes(bytes, "0123456789", "a file at the bound is read whole");
    Check(ReadSmallFile(Native(file), 9, bytes) == FileRead::TooLong && bytes.empty(),
          "a file over the bound is not read");
    Check(ReadSmallFile(Native(root + L"\\folder"), 10, bytes) == FileRead::NotAFile, "a folder is refused");
    Check(ReadSmallFile(Native(root + L"\\missing.pub"), 10, bytes) == FileRead::Missing, "nothing there");
    Check(ReadSmallFile(Native(L"\\\\.\\NUL"), 10, bytes) != FileRead::Read, "a device is not read");

    const std::wstring pipeName = L"\\\\.\\pipe\\update-read-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                           4096, 4096, 0, nullptr);
    if (!Check(server != INVALID_HANDLE_VALUE, "a pipe is laid out"))
        return;
    PendingRead read;
    read.path = Native(pipeName);
    const HANDLE thread = CreateThread(nullptr, 0, RunRead, &read, 0, nullptr);
    const bool returned = thread && WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
    // A reader held by the pipe lets go once its other end has gone.
    CloseHandle(server);
    if (thread) {
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
    }
    Check(returned, "a pipe never holds the read");
    Check(read.result == FileRead::NotAFile || read.result == FileRead::Failed, "a pipe is not read",
          "result " + std::to_string(static_cast<int>(read.result)));
}

// --- Short names ---------------------------------------------------------------

// An 8.3 short name is the item it names: the long name comes back for it.
void TestShortNames()
{
    const std::wstring folder = g_scratch + L"\\short";
    const std::wstring item = folder + L"\\ZoRezivirArerur.exe";
    if (!Check(MakeFolder(folder) && WriteBytes(item, ""), "the notifier's name is laid out"))
        return;
    const std::u16string longName = u"ZoRezivirArerur.exe";
    Check(LongNameAt(Native(item)) == longName, "a long name stands for itself");
    Check(LongNameAt(Native(Slashed(item))) == longName, "a path with forward slashes, as the Qt side builds it");
    Check(LongNameAt(Native(folder + L"\\missing.exe")).empty(), "nothing there gives no name");

    wchar_t shortPath[MAX_PATH] {};
    const DWORD length = GetShortPathNameW(item.c_str(), shortPath, MAX_PATH);
    const std::wstring given = length > 0 && length < MAX_PATH ? std::wstring(shortPath) : std::wstring();
    const std::wstring leaf = given.substr(given.find_last_of(L'\\') + 1);
    if (given.empty() || lstrcmpiW(leaf.c_str(), L"ZoRezivirArerur.exe") == 0) {
        std::printf("NOTE the system made no short name for ZoRezivirArerur.exe%s: the alias is not tested\n",
                    IsWine() ? " (Wine)" : "");
        return;
    }
    std::printf("NOTE the short name of ZoRezivirArerur.exe is %s\n", ToAnsi(leaf).c_str());
    Check(LongNameAt(Native(given)) == longName, "the 8.3 short name resolves to the notifier's long name");
    Check(LongNameAt(Native(folder + L"\\" + leaf)) == longName, "so does the short leaf under the long folder");
}

// --- Files and folders held open ----------------------------------------------

bool WriteHeld(FileDescriptor file, const std::string& bytes)
{
    return _write(file, bytes.data(), static_cast<unsigned>(bytes.size())) == static_cast<int>(bytes.size());
}

// What another program of the folder's other users could do to the file.
bool OthersCanWrite(const std::wstring& path)
{
    const HANDLE other = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(other);
    return true;
}

bool OthersCanRead(const std::wstring& path)
{
    const HANDLE other = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(other);
    return true;
}

// The package and then the installer in it: written through the hold, held
// read-only for the start, started from under that hold.
void TestHeldPackage()
{
    const std::wstring root = g_scratch + L"\\held";
    MakeFolder(root);
    const std::wstring path = root + L"\\setup.exe";
    const std::string bytes = ReadFileBytes(g_exeDir + L"\\ZoRezivirArerur.exe");

    FileDescriptor file = OpenPackageFile(Native(path), false);
    if (!Check(file >= 0 && !bytes.empty(), "the package file is made and held"))
        return;
    Check(WriteHeld(file, bytes), "the package is written through its hold");
    const FileIdentity written = IdentityOf(file);
    Check(SameFile(written, IdentityAt(Native(path))), "the path names the held file, unchanged");
    Check(OthersCanRead(path), "while held, others may read the package");
    Check(!OthersCanWrite(path), "while held, another handle cannot open the package for writing",
          "error " + std::to_string(GetLastError()));
    Check(!DeleteFileW(path.c_str()), "while held, the package cannot be deleted");
    Check(!MoveFileW(path.c_str(), (root + L"\\moved.zip").c_str()), "while held, the package cannot be renamed");
    {
        Child whileWriting(path, L"1");
        if (whileWriting.Started())
            std::printf("NOTE Wine starts a program that is open for writing; Windows refuses it\n");
    }
    Check(WriteHeld(file, "+") && !SameFile(written, IdentityOf(file)), "a write of ours changes its identity");

    // The bytes of an earlier run are kept only when they are this file's alone.
    CloseFile(file);
    file = OpenPackageFile(Native(path), true);
    Check(file >= 0 && IdentityOf(file).size == static_cast<long long>(bytes.size() + 1),
          "a partial package of one name is continued");
    CloseFile(file);
    const std::wstring other = root + L"\\other.bin";
    Check(WriteBytes(other, "the other name's bytes") && DeleteFileW(path.c_str())
              && CreateHardLinkW(path.c_str(), other.c_str(), nullptr),
          "a second name of another file stands where the package belongs");
    file = OpenPackageFile(Native(path), true);
    Check(file >= 0 && IdentityOf(file).size == 0, "a file with a second name is replaced, not continued");
    Check(WriteHeld(file, bytes) && ReadFileBytes(other) == "the other name's bytes",
          "the other name keeps its bytes: the package is not written through it");

    // What the start needs: no write access left, still no other writer.
    Check(HoldForStart(file, Native(path)) && file >= 0, "the hold turns read-only for the start");
    Check(SameFile(IdentityOf(file), IdentityAt(Native(path))), "after that, the path still names the held file");
    Check(!DeleteFileW(path.c_str()), "held for the start, it still cannot be deleted");
    Child started(path, L"30");
    Check(started.Started(), "the installer starts from under the read-only hold",
          "error " + std::to_string(GetLastError()));
    Check(!OthersCanWrite(path), "while it starts, nobody else can write the installer");
    started.Release();
    CloseFile(file);

    file = OpenPackageFile(Native(path), false);
    Check(file >= 0 && RemoveHeldFile(file, Native(path)) && file == -1 && !Exists(path),
          "a held package is removed through its hold");
}

void TestHeldFolder()
{
    const std::wstring root = g_scratch + L"\\unpack";
    const std::wstring outside = g_scratch + L"\\elsewhere";
    const std::wstring victim = LayOutVictim(outside);
    MakeFolder(root);

    const FolderHandle folder = OpenFolder(Native(root));
    if (!Check(folder != kNoFolder, "the unpack folder is held"))
        return;
    Check(IsFolderAt(folder, Native(root)), "its path names the held folder");
    Check(!MoveFileW(root.c_str(), (g_scratch + L"\\moved").c_str()), "while held, the folder cannot be renamed");
    Check(!RemoveDirectoryW(root.c_str()), "while held, the folder cannot be removed");

    const FolderHandle sub = MakeFolderAt(folder, Native(L"sub"));
    Check(sub != kNoFolder && Exists(root + L"\\sub"), "a folder is made from the held folder");
    CloseFolder(sub);
    const FolderHandle again = MakeFolderAt(folder, Native(L"sub"));
    Check(again != kNoFolder, "an existing folder step is opened again");
    CloseFolder(again);

    FileDescriptor file = CreateFileAt(folder, Native(L"a.txt"));
    Check(file >= 0 && WriteHeld(file, "A") && ReadFileBytes(root + L"\\a.txt") == "A",
          "a file is made from the held folder, others may read it");
    Check(!OthersCanWrite(root + L"\\a.txt"), "a file being unpacked refuses other writers");
    const FileIdentity written = IdentityOf(file);
    CloseFile(file);
    Check(RemoveNameAt(folder, Native(L"a.txt"), &written) && !Exists(root + L"\\a.txt"),
          "a file given up is removed by its name while that names it");

    Check(CreateHardLinkW((root + L"\\b.txt").c_str(), victim.c_str(), nullptr),
          "a second name of a file elsewhere is planted in the unpack folder");
    file = CreateFileAt(folder, Native(L"b.txt"));
    Check(file >= 0 && WriteHeld(file, "B"), "the entry is written in place of the second name");
    CloseFile(file);
    Check(ReadFileBytes(victim) == kVictimBytes && ReadFileBytes(root + L"\\b.txt") == "B",
          "the second name is replaced as a name, the file elsewhere keeps its bytes");

    file = CreateFileAt(folder, Native(L"sub\\c.txt"));
    Check(file >= 0 && Exists(root + L"\\sub\\c.txt"), "a backslash in a name is a step, walked from the held folder");
    CloseFile(file);
    file = CreateFileAt(folder, Native(L"sub"));
    Check(file < 0 && Exists(root + L"\\sub"), "a folder in the way of a file stays, the file is refused");

    // Reparse points at a step, where Wine can make them.
    const std::wstring junction = root + L"\\out";
    if (MakeJunction(junction, outside)) {
        Check(MakeFolderAt(folder, Native(L"out")) == kNoFolder, "a junction at a folder step is refused");
        Check(OpenFolder(Native(junction)) == kNoFolder, "a junction is never held as the unpack folder");
        Check(CreateFileAt(folder, Native(L"out\\x.txt")) < 0 && !Exists(outside + L"\\x.txt"),
              "a file is never made through a junction");
    } else {
        std::printf("NOTE Wine did not make a junction (error %lu): reparse points at a step not tested\n",
                    GetLastError());
    }
    const std::wstring fileLink = root + L"\\link.txt";
    if (CreateSymbolicLinkW(fileLink.c_str(), victim.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)
        && Exists(fileLink)) {
        file = CreateFileAt(folder, Native(L"link.txt"));
        Check(file >= 0 && WriteHeld(file, "L"), "a file is written in place of a file link");
        CloseFile(file);
        Check(ReadFileBytes(victim) == kVictimBytes, "what the file link named is untouched");
    } else {
        std::printf("NOTE Wine did not make a file symbolic link: its replacement not tested\n");
    }
    CloseFolder(folder);
    Check(MoveFileW(root.c_str(), (g_scratch + L"\\moved").c_str()), "let go, the folder can be renamed again");
}


// --- Files another program holds open for a moment -----------------------------

// Another program's handle, let go by a thread of its own after 2 s; a stop,
// when given, is asked for while it holds.
struct OtherHolder
{
    OtherHolder(const std::wstring& path, DWORD access, DWORD share, std::atomic<bool>* stop = nullptr)
        : file(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr))
        , stop(stop)
        , thread(file == INVALID_HANDLE_VALUE ? nullptr : CreateThread(nullptr, 0, &LetGo, this, 0, nullptr))
    {
    }
    ~OtherHolder() { WaitForSingleObject(thread, INFINITE), CloseHandle(thread); }
    static DWORD WINAPI LetGo(void* self)
    {
        auto* holder = static_cast<OtherHolder*>(self);
        Sleep(300);
        if (holder->stop)
            holder->stop->store(true);
        Sleep(1700);
        return CloseHandle(holder->file);
    }
    HANDLE file;
    std::atomic<bool>* stop;
    HANDLE thread;
};

Patience Counted(int& pauses, int boundMs = Patience::kDefaultBoundMs, const std::atomic<bool>* stop = nullptr)
{
    pauses = 0;
    return Patience {boundMs, stop, &pauses};
}

void TestHeldByAnother()
{
    const std::wstring root = g_scratch + L"\\shared";
    const std::wstring entry = root + L"\\a.txt";
    MakeFolder(root);
    const FolderHandle folder = OpenFolder(Native(root));
    int pauses = 0;
    struct Row { const char* risk; int boundMs; bool stop; bool made; };
    for (const Row& row : {Row {"a file being replaced, held without sharing, is waited for", 10000, false, true},
                           Row {"a file held past the bound is skipped as before, unchanged", 1000, false, false},
                           Row {"a stop ends the wait before the holder lets go", 10000, true, false}}) {
        WriteBytes(entry, "old");
        std::atomic<bool> stop {false};
        const OtherHolder other(entry, GENERIC_READ, 0, row.stop ? &stop : nullptr);
        const FileDescriptor file = CreateFileAt(folder, Native(L"a.txt"), Counted(pauses, row.boundMs, &stop));
        const bool made = file >= 0 && WriteHeld(file, "newer");
        CloseFile(file);
        // By size: the file cannot be read while it is held.
        Check(other.thread && made == row.made && pauses > 0 && (made || GetLastError() == ERROR_SHARING_VIOLATION)
                  && IdentityAt(Native(entry)).size == (made ? 5 : 3),
              row.risk);
    }
    const bool missingStep = CreateFileAt(folder, Native(L"missing\\x.txt"), Counted(pauses)) < 0 && pauses == 0;
    FileDescriptor none = -1;
    Check(missingStep && !HoldForStart(none, Native(root + L"\\missing.exe"), Counted(pauses)) && pauses == 0,
          "another error (a missing folder step, a missing installer) is reported at once, without waiting");
    CloseFolder(folder);

    // Beside our own hold only a holder that ignores share modes (a scanner's
    // driver) can keep the start waiting; here our hold asks for attributes
    // alone, which no share mode refuses, to make room for one.
    const std::wstring installer = root + L"\\setup.exe";
    WriteBytes(installer, ReadFileBytes(g_exeDir + L"\\ZoRezivirArerur.exe"));
    const auto holdOf = [&installer](DWORD access, DWORD share) {
        const HANDLE held = CreateFileW(installer.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        return held == INVALID_HANDLE_VALUE ? -1 : _open_osfhandle(reinterpret_cast<intptr_t>(held), _O_RDONLY);
    };
    FileDescriptor file = holdOf(FILE_READ_ATTRIBUTES | SYNCHRONIZE, 7);
    {
        const OtherHolder other(installer, GENERIC_READ, 0);
        Check(other.thread && HoldForStart(file, Native(installer), Counted(pauses)) && pauses > 0,
              "an installer held without sharing is waited for");
    }
    Child started(installer, L"30");
    Check(started.Started(), "after the wait the installer starts", "error " + std::to_string(GetLastError()));
    started.Release();
    CloseFile(file);
    file = holdOf(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    const OtherHolder writer(installer, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
    Check(writer.thread && !HoldForStart(file, Native(installer), Counted(pauses)) && file == -1 && pauses == 0,
          "a writer that got in as the hold turned read-only is refused at once");
}

} // namespace

int main()
{
    g_exeDir = ExeDir();
    g_scratch = [] {
        wchar_t temp[MAX_PATH] {};
        GetTempPathW(MAX_PATH, temp);
        return std::wstring(temp) + L"update-win-" + std::to_wstring(GetCurrentProcessId());
    }();
    std::printf("ANSI code page %u%s\n", GetACP(), IsWine() ? ", under Wine" : "");
    if (!Check(MakeFolder(g_scratch), "a scratch folder can be made"))
        return WinCheck::Finish();

    TestArguments();
    TestFind();
    TestShortNames();
    TestProcesses();
    TestWindowMove();
    TestManifest();
    TestLinks();
    TestLogFile();
    TestSmallFileRead();
    TestHeldPackage();
    TestHeldFolder();
    TestHeldByAnother();

    std::error_code ignored;
    std::filesystem::remove_all(g_scratch, ignored);
    return WinCheck::Finish();
}
