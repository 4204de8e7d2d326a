// One confirmed run of the real program, driven from outside: used by the
// safety proof, by tools/run on a display-less machine, by the screenshots
// and by the benchmark.
#pragma once

#include "tools/driver/window.h"

namespace drive {

struct RunResult {
    bool ok = false;
    std::string error;
    std::vector<std::wstring> lines;   // the list once the run has completed
    DWORD exitCode = ~0u;
    double runSeconds = 0;             // from answering Yes to the completion box
};

// Starts the tool, presses its start button, answers Yes and then OK, reads
// the list and closes the tool. With `shotsDir`, saves idle.bmp, confirm.bmp
// and done.bmp there as the steps are reached.
RunResult ConfirmedRun(const wchar_t *shotsDir = nullptr);

// Saves what the screen shows of `window` and the windows it owns as a BMP.
bool SaveScreenshot(HWND window, const std::wstring &path);

double Seconds();

// Runs a command line to its end, without a console window: its exit code,
// or ~0u if it did not start or still ran after `limitMs`.
DWORD RunCommand(std::wstring command, DWORD limitMs = INFINITE);

} // namespace drive
