// Window helpers shared by the tests and the project's own driver tools.
#include "tools/driver/window.h"

namespace ui {

DWORD Scaled(DWORD ms)
{
    static const DWORD scale = [] {
        char text[8] = "";
        GetEnvironmentVariableA("BRISVANE_TIME_SCALE", text, sizeof text);
        return DWORD(atoi(text) > 1 ? atoi(text) : 1);
    }();
    return ms * scale;
}

std::wstring FromGbk(const std::string &bytes)
{
    int n = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), nullptr, 0);
    std::wstring text(n > 0 ? n : 0, L'\0');
    MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), &text[0], n);
    return text;
}

std::string ToUtf8(const std::wstring &text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &bytes[0], n, nullptr, nullptr);
    return bytes;
}

std::wstring WindowText(HWND window)
{
    wchar_t buffer[1024] = L"";
    // WM_GETTEXT, unlike GetWindowText, also reads other processes' controls.
    SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

std::vector<std::wstring> ListLines(HWND list)
{
    std::vector<std::wstring> lines;
    LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t buffer[512] = L"";
        if (SendMessageW(list, LB_GETTEXTLEN, i, 0) < 512)
            SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(buffer));
        lines.push_back(buffer);
    }
    return lines;
}

namespace {
// The first visible top-level dialog window, of any process, that `match`
// accepts.
template <class Match> HWND FindDialog(Match match)
{
    for (HWND window = nullptr; (window = FindWindowExW(nullptr, window, L"#32770", nullptr));)
        if (IsWindowVisible(window) && match(window))
            return window;
    return nullptr;
}

// Pumps this thread's messages while waiting, so same-thread windows work.
template <class Done> bool WaitUntil(Done done, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(5);
    }
    return true;
}
} // namespace

HWND FindOwnedBox(HWND owner)
{
    return FindDialog([owner](HWND window) { return window != owner && GetWindow(window, GW_OWNER) == owner; });
}

void Settle(HWND window)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, Scaled(5000), &result);
    Sleep(100);
}

HWND WaitForOwnedBox(HWND owner, DWORD timeoutMs)
{
    HWND box = nullptr;
    WaitUntil([&] { return (box = FindOwnedBox(owner)) != nullptr; }, timeoutMs);
    return box;
}

bool WaitForNoOwnedBox(HWND owner, DWORD timeoutMs)
{
    return WaitUntil([owner] { return FindOwnedBox(owner) == nullptr; }, timeoutMs);
}

std::wstring BoxText(HWND box)
{
    return WindowText(GetDlgItem(box, 0xFFFF));
}

std::wstring ToolPath(const wchar_t *name)
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1) + name;
}

bool StartTool(Tool &tool, const std::wstring &arguments, DWORD timeoutMs, const wchar_t *program)
{
    std::wstring command = L"\"" + ToolPath(program) + L"\"";
    if (!arguments.empty())
        command += L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &tool.process))
        return false;
    auto ownDialog = [&tool](HWND window) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        return pid == tool.process.dwProcessId && !GetWindow(window, GW_OWNER);
    };
    // Nothing polls until the program first waits for input: a program that
    // works before its window (the backup) shares its CPU and wineserver
    // with the poll, which on an emulated machine takes half of both.
    DWORD start = GetTickCount();
    WaitForInputIdle(tool.process.hProcess, timeoutMs);
    while (!(tool.dialog = FindDialog(ownDialog)) &&
           GetTickCount() - start < timeoutMs)
        Sleep(1);
    return tool.dialog != nullptr;
}

Tool::~Tool()
{
    if (!process.hProcess)
        return;
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, Scaled(5000));
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}

DWORD CloseTool(Tool &tool, DWORD timeoutMs)
{
    DWORD code = ~0u;
    if (tool.dialog)
        PostMessageW(tool.dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (tool.process.hProcess) {
        if (WaitForSingleObject(tool.process.hProcess, timeoutMs) == WAIT_OBJECT_0)
            GetExitCodeProcess(tool.process.hProcess, &code);
        else
            TerminateProcess(tool.process.hProcess, 1);
        CloseHandle(tool.process.hProcess);
        CloseHandle(tool.process.hThread);
    }
    tool.process = PROCESS_INFORMATION{};
    tool.dialog = nullptr;
    return code;
}

} // namespace ui
