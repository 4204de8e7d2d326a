// Driving one confirmed run of the tool from another process.
#include "tools/driver/run.h"

#include "app/resource.h"
#include "cleanup/targets.h"

namespace drive {

double Seconds()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart) / double(frequency.QuadPart);
}

DWORD RunCommand(std::wstring command, DWORD limitMs)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    DWORD code = ~0u;
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process))
        return code;
    if (WaitForSingleObject(process.hProcess, limitMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

namespace {
void Settle(HWND dialog)
{
    ui::Settle(dialog);
    Sleep(200);
}

// The tool itself is ended by its Tool going out of scope.
RunResult Fail(RunResult result, const char *why)
{
    result.error = why;
    return result;
}

void Shot(const wchar_t *dir, HWND window, const wchar_t *name)
{
    if (!dir)
        return;
    // An active caption, as a user sees it.
    HWND front = ui::FindOwnedBox(window);
    front = front ? front : window;
    for (int i = 0; i < 20 && GetForegroundWindow() != front; ++i) {
        SetForegroundWindow(front);
        Sleep(50);
    }
    // Without a window manager, a freshly started window may stay drawn
    // inactive even in front; a user's desktop would show it active.
    SendMessageW(front, WM_NCACTIVATE, TRUE, 0);
    Settle(window);
    SaveScreenshot(window, std::wstring(dir) + L"\\" + name);
}
} // namespace

RunResult ConfirmedRun(const wchar_t *shotsDir)
{
    RunResult result;
    ui::Tool tool;
    if (!ui::StartTool(tool, L""))
        return Fail(result, "the dialog did not appear");
    Settle(tool.dialog);
    Shot(shotsDir, tool.dialog, L"idle.bmp");

    HWND button = GetDlgItem(tool.dialog, IDC_START);
    PostMessageW(tool.dialog, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    HWND confirm = ui::WaitForOwnedBox(tool.dialog, ui::Scaled(10000));
    if (!confirm)
        return Fail(result, "no confirmation box");
    Sleep(300);
    Shot(shotsDir, tool.dialog, L"confirm.bmp");

    // While the run works, look for the completion box by its title only,
    // one cheap call every 10 ms: the registry work and this wait share one
    // wineserver, and a busier probe would slow the run it is timing.
    const std::wstring doneTitle = ui::FromGbk(kDoneTitle);
    double start = Seconds();
    PostMessageW(confirm, WM_COMMAND, IDYES, 0);
    HWND done = nullptr;
    while (Seconds() - start < 600) {
        done = FindWindowW(L"#32770", doneTitle.c_str());
        if (done && GetWindow(done, GW_OWNER) == tool.dialog)
            break;
        done = nullptr;
        Sleep(10);
    }
    result.runSeconds = Seconds() - start;
    if (!done)
        return Fail(result, "no completion box");
    result.lines = ui::ListLines(GetDlgItem(tool.dialog, IDC_PROGRESS));
    PostMessageW(done, WM_COMMAND, IDOK, 0);
    if (!ui::WaitForNoOwnedBox(tool.dialog, ui::Scaled(10000)))
        return Fail(result, "the completion box did not close");
    Shot(shotsDir, tool.dialog, L"done.bmp");
    result.exitCode = ui::CloseTool(tool);
    result.ok = true;
    return result;
}

bool SaveScreenshot(HWND window, const std::wstring &path)
{
    RECT area;
    GetWindowRect(window, &area);
    if (HWND box = ui::FindOwnedBox(window)) {
        RECT boxArea;
        GetWindowRect(box, &boxArea);
        UnionRect(&area, &area, &boxArea);
    }
    int width = area.right - area.left, height = area.bottom - area.top;

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    GdiFlush();

    DWORD stride = (DWORD(width) * 3 + 3) & ~3u;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + stride * DWORD(height);
    bool ok = false;
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ok = WriteFile(out, &file, sizeof file, &written, nullptr) &&
             WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
             WriteFile(out, bits, stride * DWORD(height), &written, nullptr);
        CloseHandle(out);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

} // namespace drive
