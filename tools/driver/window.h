// Reading and driving the tool's windows, in this process or in another one.
// List texts are read as UTF-16 (under Wine, LB_GETTEXT through the ANSI entry
// returns UTF-16 across processes) and compared with GBK bytes converted.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

namespace ui {

// A wait's limit for this machine: `ms` times BRISVANE_TIME_SCALE (1 unless
// the test runner says this arrangement runs slower, as in an emulated VM).
DWORD Scaled(DWORD ms);

std::wstring FromGbk(const std::string &bytes);
std::string ToUtf8(const std::wstring &text);

std::wstring WindowText(HWND window);
std::vector<std::wstring> ListLines(HWND list);

// A message box: a #32770 window owned by `owner`, text in static 0xFFFF.
HWND FindOwnedBox(HWND owner);
HWND WaitForOwnedBox(HWND owner, DWORD timeoutMs);
bool WaitForNoOwnedBox(HWND owner, DWORD timeoutMs);
std::wstring BoxText(HWND box);

// Lets a window's message loop, in whatever process, handle everything
// posted to it so far, and a little more time to paint.
void Settle(HWND window);

// The tool started as its own process. One left running when its owner
// goes (a failed assertion, say) is ended there, not by the test's timeout.
struct Tool {
    PROCESS_INFORMATION process{};
    HWND dialog = nullptr;
    Tool() = default;
    Tool(const Tool &) = delete;
    Tool &operator=(const Tool &) = delete;
    ~Tool();
};

std::wstring ToolPath(const wchar_t *name = L"brisvane.exe");
// Starts the program (by default the tool) beside this one and waits for its
// dialog to be shown.
bool StartTool(Tool &tool, const std::wstring &arguments, DWORD timeoutMs = Scaled(10000),
               const wchar_t *program = L"brisvane.exe");
// Ends the tool through WM_CLOSE and returns its exit code (or ~0u on timeout).
DWORD CloseTool(Tool &tool, DWORD timeoutMs = Scaled(10000));

} // namespace ui
