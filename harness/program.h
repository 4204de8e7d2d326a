// Programs started and driven from outside, the way a user would, for the
// tests and brisvane_drive. List texts are read as UTF-16 (under Wine,
// LB_GETTEXT through the ANSI entry returns UTF-16 across processes).
#pragma once

#include "harness/injector.h"
#include "platform/platform.h"

#include <shlobj.h>

#include <functional>
#include <string>
#include <vector>

namespace harness {

// `ms` times BRISVANE_TIME_SCALE, for an arrangement that runs slower (an emulated VM).
DWORD Scaled(DWORD ms);
double Seconds();
std::wstring FromGbk(const std::string &bytes);
std::string ToUtf8(const std::wstring &text);
std::wstring WindowText(HWND window);
std::vector<std::wstring> ListLines(HWND list);
// Whether `done` came true within `timeoutMs`, this thread's messages pumped meanwhile.
bool WaitUntil(const std::function<bool()> &done, DWORD timeoutMs);

// A message box: a #32770 window owned by `owner` (with `title`, if given),
// waited for up to `timeoutMs`, found from its creation on, before it is
// shown; its text is in static 0xFFFF.
HWND OwnedBox(HWND owner, DWORD timeoutMs = 0, const wchar_t *title = nullptr);
inline std::wstring BoxText(HWND box) { return WindowText(GetDlgItem(box, 0xFFFF)); }

// The exit code within `timeoutMs`, else ~0u once it is ended; handles closed.
DWORD FinishProcess(PROCESS_INFORMATION &process, DWORD timeoutMs);

// A program started as its own process; one still running when this goes
// (after a failed assertion, say) is ended here, not by the test's timeout.
struct Program {
    PROCESS_INFORMATION process{};
    HWND dialog = nullptr;
    double seconds = -1;   // from CreateProcess to the dialog shown
    Program() = default;
    Program(const Program &) = delete;
    ~Program() { if (process.hProcess) FinishProcess(process, 0); }
};

// What StartProgram waits for: any top-level dialog of the program; or, with
// `caption`, one FindWindow a poll, as light as can be, for the benchmark.
// `idleFirst`: no poll before the program first waits for input, as one that
// works before its window (the backup) would share its CPU with the poll.
// `fault`: the injector in the program, its call counts written to `counts`.
struct StartOptions {
    const wchar_t *caption = nullptr;
    bool idleFirst = true;
    const Fault *fault = nullptr;
    const wchar_t *counts = nullptr;
};

// Whether this runs in a Wine prefix the project made (tools/common.sh marks
// them); if not, says so, naming `program` and the `commands` that run it.
bool InOwnPrefix(const char *program, const char *commands);
// The path of file `name` in this program's own folder.
std::wstring PathBeside(const wchar_t *name = L"brisvane.exe");
// A shown top-level dialog of the program, owned by no window; with `caption`, that one.
HWND ProgramDialog(const Program &tool, const wchar_t *caption = nullptr);
// Starts the program beside this one and waits for its dialog; false at once if it ends first.
bool StartProgram(Program &tool, const std::wstring &arguments, DWORD timeoutMs = Scaled(10000),
                  const wchar_t *program = L"brisvane.exe", StartOptions options = {});
// Ends the program by its close button (SC_CLOSE): its exit code, or ~0u on timeout.
DWORD CloseProgram(Program &tool);

struct RunResult {
    bool ok = false;
    std::string error;
    std::vector<std::wstring> lines;   // the list once the run has completed
    DWORD exitCode = ~0u;
    double runSeconds = 0;             // from answering Yes to the completion box
};
// The tool started, its button pressed, Yes and then OK answered, the list
// read and the tool closed; with `shotsDir`, idle, confirm and done.bmp there.
RunResult ConfirmedRun(const wchar_t *shotsDir = nullptr);

// A folder of the user's (CSIDL_...), made if missing; the backup's files in
// `folder`, whole or half-written; and those on the desktop and in Documents removed.
std::wstring Folder(int csidl);
std::vector<std::wstring> BackupFiles(const std::wstring &folder);
size_t RemoveBackups();

bool StartProcess(std::wstring command, DWORD flags, PROCESS_INFORMATION &process);
// What Windows says of an error code, on one line.
std::wstring SystemWords(DWORD code);
// A command line run to its end, without a console: its exit code, or ~0u.
DWORD RunCommand(std::wstring command, DWORD limitMs = INFINITE);

} // namespace harness
