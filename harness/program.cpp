// Starting programs and driving their windows, in this process or in
// another one, for the tests and for brisvane_drive.
#include "harness/harness.h"

#include "app/resource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace harness {

DWORD Scaled(DWORD ms)
{
    const char *scale = std::getenv("BRISVANE_TIME_SCALE");
    return ms * DWORD(std::max(scale ? std::atoi(scale) : 1, 1));
}

double Seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::wstring FromGbk(const std::string &bytes)
{
    int n = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), nullptr, 0);
    std::wstring text(std::max(n, 0), L'\0');
    MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), &text[0], n);
    return text;
}

std::string ToUtf8(const std::wstring &text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(std::max(n, 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &bytes[0], n, nullptr, nullptr);
    return bytes;
}

std::wstring WindowText(HWND window)
{
    // WM_GETTEXT, unlike GetWindowText, also reads other processes' controls.
    std::wstring text(size_t(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
    text.resize(size_t(SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]))));
    return text;
}

std::vector<std::wstring> ListLines(HWND list)
{
    std::vector<std::wstring> lines;
    for (LRESULT i = 0, count = SendMessageW(list, LB_GETCOUNT, 0, 0); i < count; ++i) {
        wchar_t buffer[512] = L"";
        if (SendMessageW(list, LB_GETTEXTLEN, i, 0) < 512)
            SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(buffer));
        lines.push_back(buffer);
    }
    return lines;
}

namespace {
// The first top-level dialog window, of any process, with `caption` (if
// given: a single call finds it) that `match` accepts.
template <class Match> HWND FindDialog(const wchar_t *caption, Match match)
{
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, L"#32770", caption)) && !match(window)) {
    }
    return window;
}

// Lets a window's message loop, in whatever process, handle everything
// posted to it so far, and gives it time to paint what is to be seen.
void Settle(HWND window)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, Scaled(5000), &result);
    Sleep(300);
}

// What the screen shows of `window` and the box it owns, as DIR\NAME, a BMP.
void Shot(const wchar_t *dir, HWND window, const wchar_t *name)
{
    if (!dir)
        return;
    HWND box = OwnedBox(window), front = box ? box : window;
    for (int i = 0; i < 20 && GetForegroundWindow() != front; ++i)
        SetForegroundWindow(front), Sleep(50);
    // Without a window manager, a freshly started window may stay drawn
    // inactive even in front; a user's desktop would show it active.
    SendMessageW(front, WM_NCACTIVATE, TRUE, 0);
    Settle(window);
    RECT area, boxArea;
    GetWindowRect(window, &area);
    if (box && GetWindowRect(box, &boxArea))
        UnionRect(&area, &area, &boxArea);
    int width = area.right - area.left, height = area.bottom - area.top;
    HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    BITMAPINFOHEADER info{sizeof info, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    GdiFlush();
    DWORD bytes = ((DWORD(width) * 3 + 3) & ~3u) * DWORD(height), offset = sizeof(BITMAPFILEHEADER) + sizeof info;
    BITMAPFILEHEADER file{0x4D42, offset + bytes, 0, 0, offset};
    std::ofstream out((std::wstring(dir) + L"\\" + name).c_str(), std::ios::binary);
    out.write(reinterpret_cast<const char *>(&file), sizeof file).write(reinterpret_cast<const char *>(&info), sizeof info);
    out.write(static_cast<const char *>(bits), bytes);
    DeleteObject(SelectObject(memory, old));
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}
} // namespace

// Pumps this thread's messages while waiting, so same-thread windows work,
// and a program's broadcast, which waits for this thread's windows too.
bool WaitUntil(const std::function<bool()> &done, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount(); !done(); Sleep(5)) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);)
            TranslateMessage(&msg), DispatchMessageW(&msg);
    }
    return true;
}

// Shown or not yet: a box becomes visible only once its modal loop first
// finds its queue empty, after it has handled what was posted before it.
HWND OwnedBox(HWND owner, DWORD timeoutMs, const wchar_t *title)
{
    HWND box = nullptr;
    WaitUntil([&] {
        return (box = FindDialog(title, [=](HWND w) { return GetWindow(w, GW_OWNER) == owner; }));
    }, timeoutMs);
    return box;
}

std::wstring Folder(int csidl)
{
    wchar_t path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

std::vector<std::wstring> BackupFiles()
{
    std::vector<std::wstring> files;
    for (const std::wstring &folder : {Folder(CSIDL_DESKTOPDIRECTORY), Folder(CSIDL_PERSONAL)}) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((folder + L"\\brisvane-backup-*").c_str(), &found);
        for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
            files.push_back(folder + L"\\" + found.cFileName);
        FindClose(find);
    }
    return files;
}

size_t RemoveBackups()
{
    size_t removed = 0;
    for (const std::wstring &file : BackupFiles())
        removed += DeleteFileW(file.c_str());
    return removed;
}

bool StartProcess(std::wstring command, DWORD flags, PROCESS_INFORMATION &process)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    return CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup, &process);
}

DWORD FinishProcess(PROCESS_INFORMATION &process, DWORD timeoutMs)
{
    DWORD code = ~0u;
    if (WaitForSingleObject(process.hProcess, timeoutMs) || !GetExitCodeProcess(process.hProcess, &code)) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, Scaled(5000));
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    process = PROCESS_INFORMATION{};
    return code;
}

DWORD RunCommand(std::wstring command, DWORD limitMs)
{
    PROCESS_INFORMATION process{};
    return StartProcess(command, CREATE_NO_WINDOW, process) ? FinishProcess(process, limitMs) : ~0u;
}

std::wstring SystemWords(DWORD code)
{
    wchar_t words[256] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, words, 256, nullptr);
    std::wstring text(words);
    return text.erase(text.find_last_not_of(L"\r\n ") + 1);
}

// The tests and brisvane_drive seed and delete registry trees: nowhere else.
bool InOwnPrefix(const char *program, const char *commands)
{
    wchar_t prefix[MAX_PATH] = L"";
    DWORD length = GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
    std::wstring marker = L"Z:" + std::wstring(prefix) + L"/.brisvane-ready";
    std::replace(marker.begin(), marker.end(), L'/', L'\\');
    if (length && length < MAX_PATH && GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    std::fprintf(stderr, "%s: not in one of the project's own Wine prefixes, the only place it may delete registry "
                         "data; run it with %s\n", program, commands);
    return false;
}

std::wstring PathBeside(const wchar_t *name)
{
    wchar_t path[MAX_PATH];
    std::wstring dir(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return dir.substr(0, dir.find_last_of(L"\\/") + 1) + name;
}

HWND ProgramDialog(const Program &tool, const wchar_t *caption)
{
    return FindDialog(caption, [&tool](HWND window) {
        DWORD pid = 0;
        return IsWindowVisible(window) && GetWindowThreadProcessId(window, &pid) && pid == tool.process.dwProcessId &&
               !GetWindow(window, GW_OWNER);
    });
}

bool StartProgram(Program &tool, const std::wstring &arguments, DWORD timeoutMs, const wchar_t *program, StartOptions options)
{
    std::wstring command = L"\"" + PathBeside(program) + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    double start = Seconds();
    if (options.fault ? !StartInjected(command, *options.fault, tool.process) : !StartProcess(command, 0, tool.process))
        return false;
    if (options.idleFirst)
        WaitForInputIdle(tool.process.hProcess, timeoutMs);
    while (!(tool.dialog = ProgramDialog(tool, options.caption)) && Seconds() - start < timeoutMs / 1000.0 &&
           WaitForSingleObject(tool.process.hProcess, 1) == WAIT_TIMEOUT) {
    }
    if (tool.dialog)
        tool.seconds = Seconds() - start;
    return tool.dialog != nullptr;
}

DWORD CloseProgram(Program &tool)
{
    if (tool.dialog)
        PostMessageW(tool.dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    tool.dialog = nullptr;
    return tool.process.hProcess ? FinishProcess(tool.process, Scaled(10000)) : ~0u;
}

Outcome Drive(const wchar_t *program, const std::wstring &arguments, WPARAM answer, const Fault &fault)
{
    Outcome r;
    Program tool;
    StartProgram(tool, arguments, Scaled(60000), program, {nullptr, true, &fault});
    // A box is told from the one before by its text, as Wine may reuse its handle.
    HWND box = nullptr;
    std::wstring text;
    auto next = [&] {
        const std::wstring now = (box = ProgramDialog(tool)) ? BoxText(box) : L"";
        if (!now.empty() && now != text)
            return text = now, true;
        box = nullptr;
        return WaitForSingleObject(tool.process.hProcess, 0) != WAIT_TIMEOUT;
    };
    while (tool.process.hProcess && WaitUntil(next, Scaled(60000)) && box) {
        r.boxes.push_back(text);
        PostMessageW(box, WM_COMMAND, GetDlgItem(box, IDYES) ? answer : IDOK, 0);
    }
    r.exitCode = tool.process.hProcess ? FinishProcess(tool.process, Scaled(30000)) : ~0u;
    r.made = ReadCounts();
    return r;
}

RunResult ConfirmedRun(const wchar_t *shotsDir)
{
    RunResult result;
    auto fail = [&result](const char *why) { result.error = why; return result; };
    Program tool;
    if (!StartProgram(tool, L""))
        return fail("the dialog did not appear");
    // The pauses are the pictures' alone: a run of the tests has none.
    if (shotsDir)
        Settle(tool.dialog);
    Shot(shotsDir, tool.dialog, L"idle.bmp");
    PostMessageW(tool.dialog, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED), LPARAM(GetDlgItem(tool.dialog, IDC_START)));
    HWND confirm = OwnedBox(tool.dialog, Scaled(10000)), done = nullptr;
    if (!confirm)
        return fail("no confirmation box");
    if (shotsDir)
        Sleep(300);
    Shot(shotsDir, tool.dialog, L"confirm.bmp");
    // The completion box looked for by its title alone, one cheap call every
    // 10 ms: this wait and the timed run share one wineserver.
    double start = Seconds();
    PostMessageW(confirm, WM_COMMAND, IDYES, 0);
    while (!(done = FindDialog(L"完成", [&tool](HWND box) { return GetWindow(box, GW_OWNER) == tool.dialog; })) &&
           Seconds() - start < 600)
        Sleep(10);
    result.runSeconds = Seconds() - start;
    if (!done)
        return fail("no completion box");
    result.lines = ListLines(GetDlgItem(tool.dialog, IDC_PROGRESS));
    PostMessageW(done, WM_COMMAND, IDOK, 0);
    if (!WaitUntil([&] { return !OwnedBox(tool.dialog); }, Scaled(10000)))
        return fail("the completion box did not close");
    Shot(shotsDir, tool.dialog, L"done.bmp");
    result.exitCode = CloseProgram(tool);
    result.ok = true;
    return result;
}

} // namespace harness
