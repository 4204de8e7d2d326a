// Programs started and driven from outside, the way a user would, for the
// tests and brisvane_drive. List texts are read as UTF-16 (under Wine,
// LB_GETTEXT through the ANSI entry returns UTF-16 across processes).
#pragma once

#include "harness/injector.h"
#include "platform/platform.h"

#include <string>
#include <vector>

namespace harness {

// A wait's limit for this machine: `ms` times BRISVANE_TIME_SCALE (1 unless
// the test runner says this arrangement runs slower, as in an emulated VM).
DWORD Scaled(DWORD ms);
double Seconds();

std::wstring FromGbk(const std::string &bytes);
std::string ToUtf8(const std::wstring &text);

std::wstring WindowText(HWND window);
std::vector<std::wstring> ListLines(HWND list);

// A message box: a #32770 window owned by `owner` (with `title`, if given),
// text in static 0xFFFF, found from its creation on, before it is shown.
HWND FindOwnedBox(HWND owner, const wchar_t *title = nullptr);
HWND WaitForOwnedBox(HWND owner, DWORD timeoutMs, const wchar_t *title = nullptr);
bool WaitForNoOwnedBox(HWND owner, DWORD timeoutMs);
std::wstring BoxText(HWND box);

// A program started as its own process. One left running when its owner
// goes (a failed assertion, say) is ended there, not by the test's timeout.
struct Program {
    PROCESS_INFORMATION process{};
    HWND dialog = nullptr;
    double seconds = -1;   // from CreateProcess to the dialog shown
    Program() = default;
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;
    ~Program();
};

// The dialog StartProgram waits for: any top-level dialog of the program; or,
// with `caption`, one FindWindow a poll, as light as can be, as the benchmark
// times the program against it and both share one wineserver. `idleFirst`:
// nothing polls until the program first waits for input, as a program that
// works before its window (the backup) shares its CPU and wineserver with
// the poll, which on an emulated machine takes half of both. `fault`: the
// injector in the program, writing its call counts at exit to `counts`, if set.
struct StartOptions {
    const wchar_t *caption = nullptr;
    bool idleFirst = true;
    const Fault *fault = nullptr;
    const wchar_t *counts = nullptr;
};

// Whether this process runs in one of the project's own Wine prefixes, which
// tools/common.sh marks as it makes them: the tests and brisvane_drive seed
// and delete registry trees, so they refuse to run anywhere else. If not,
// says so on stderr, naming `program` and the `commands` that run it.
bool InOwnPrefix(const char *program, const char *commands);

// The path of file `name` in this program's own folder.
std::wstring PathBeside(const wchar_t *name = L"brisvane.exe");
// Starts the program beside this one and waits at most `timeoutMs` for its
// dialog to be shown; false at once if the program ends first.
bool StartProgram(Program &tool, const std::wstring &arguments, DWORD timeoutMs = Scaled(10000),
                  const wchar_t *program = L"brisvane.exe", StartOptions options = {});
// Ends the tool through its close button (SC_CLOSE): its exit code, or ~0u on timeout.
DWORD CloseProgram(Program &tool, DWORD timeoutMs = Scaled(10000));

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

// CreateProcess with `flags`; and a process's end: its exit code within
// `timeoutMs`, else ~0u once it is ended, its handles closed either way.
bool StartProcess(std::wstring command, DWORD flags, PROCESS_INFORMATION &process);
DWORD FinishProcess(PROCESS_INFORMATION &process, DWORD timeoutMs);

// Runs a command line to its end, without a console window: its exit code,
// or ~0u if it did not start or still ran after `limitMs` (it is ended then).
DWORD RunCommand(std::wstring command, DWORD limitMs = INFINITE);

} // namespace harness
