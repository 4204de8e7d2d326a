// Starting programs, with brisvane_inject.dll in them or not, and driving
// their windows, in this process or in another one; the sweep of faults.
#include "harness/harness.h"

#include "app/resource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

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

// `window` and the box it owns in front and drawn, for tools/run to take
// with ImageMagick's import: "SHOT NAME WIDTH HEIGHT X Y" said, then a wait
// for DIR\NAME.png, which it writes once it has the picture.
void Shot(const wchar_t *dir, HWND window, const char *name)
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
    std::printf("SHOT %s %ld %ld %ld %ld\n", name, area.right - area.left, area.bottom - area.top, area.left, area.top);
    std::fflush(stdout);
    const std::wstring file = std::wstring(dir) + L"\\" + std::wstring(name, name + strlen(name)) + L".png";
    WaitUntil([&] { return GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES; }, Scaled(30000));
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

static bool StartProcess(std::wstring command, DWORD flags, PROCESS_INFORMATION &process)
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

namespace {

bool Load(HANDLE process, const std::wstring &dll)
{
    SIZE_T bytes = (dll.size() + 1) * sizeof(wchar_t);
    void *remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
    if (!remote)
        return false;
    bool loaded = false;
    if (WriteProcessMemory(process, remote, dll.c_str(), bytes, nullptr)) {
        // kernel32 lies at the same address in every process of one bitness.
        auto load = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
        if (HANDLE thread = CreateRemoteThread(process, nullptr, 0, load, remote, 0, nullptr)) {
            DWORD module = 0;
            loaded = WaitForSingleObject(thread, Scaled(60000)) == WAIT_OBJECT_0 && GetExitCodeThread(thread, &module) &&
                     module != 0;
            CloseHandle(thread);
        }
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return loaded;
}

// BRISVANE_FAULTS: FUNCTION (its every call), FUNCTION:N or all, comma-separated.
std::vector<std::pair<std::string, unsigned>> Chosen()
{
    const char *chosen = std::getenv("BRISVANE_FAULTS");
    std::vector<std::pair<std::string, unsigned>> items;
    std::istringstream list(chosen ? chosen : "");
    for (std::string item; std::getline(list, item, ',');)
        items.emplace_back(item.substr(0, item.find(':')), unsigned(std::atoi(item.c_str() + item.find(':') + 1)));
    return items;
}

// Without a choice, every call of a row marked whole, else the first, the
// middle and the last.
std::vector<unsigned> CallsToFail(const InjectableCall &row, unsigned count)
{
    std::vector<unsigned> calls;
    auto items = Chosen();
    if (items.empty() && !row.whole)
        items = {{row.name, 1}, {row.name, (count + 1) / 2}, {row.name, count}};
    for (const auto &[name, n] : items.empty() ? decltype(items){{"all", 0}} : items)
        for (unsigned call = n ? n : 1; (name == "all" || name == row.name) && call <= (n ? n : count); ++call)
            if (calls.empty() || calls.back() != call)
                calls.push_back(call);
    return calls;
}

// The prefix's own temporary folder: the rows run side by side.
std::wstring CountsFile()
{
    wchar_t temp[MAX_PATH];
    return std::wstring(temp, GetTempPathW(MAX_PATH, temp)) + L"brisvane-fault-counts.txt";
}

// `command` started with the injector in it, which writes the program's
// calls at its exit, for ReadCounts (which removes them).
bool StartInjected(std::wstring command, const Fault &fault, PROCESS_INFORMATION &process)
{
    // The program inherits them; this process and what it starts without the injector ignore them.
    std::string settings = std::to_string(fault.at) + " " + std::to_string(fault.failure) + " " +
                           std::to_string(fault.persistent) + " " + std::to_string(fault.largerThan) + " " + fault.functions;
    SetEnvironmentVariableA("BRISVANE_FAULT", settings.c_str());
    DeleteFileW(CountsFile().c_str());
    SetEnvironmentVariableW(L"BRISVANE_FAULT_COUNTS", CountsFile().c_str());
    // A start or a load that fails is this harness's, not the program's: said,
    // and tried once more in a new process.
    bool loaded = false;
    for (int attempt = 0; attempt < 2 && !loaded; ++attempt) {
        bool started = StartProcess(command, CREATE_SUSPENDED, process);
        loaded = started && Load(process.hProcess, PathBeside(L"brisvane_inject.dll"));
        if (!loaded)
            std::fprintf(stderr, "the %s (error %lu)\n", started ? "injector did not load" : "program did not start", GetLastError());
        if (started && !loaded)
            FinishProcess(process, 0);
    }
    if (loaded)
        ResumeThread(process.hThread);
    return loaded;
}

// A shown top-level dialog of the program, owned by no window; with `caption`, that one.
HWND ProgramDialog(const Program &tool, const wchar_t *caption = nullptr)
{
    return FindDialog(caption, [&tool](HWND window) {
        DWORD pid = 0;
        return IsWindowVisible(window) && GetWindowThreadProcessId(window, &pid) && pid == tool.process.dwProcessId &&
               !GetWindow(window, GW_OWNER);
    });
}

} // namespace

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
    // StartProgram waited for the first box: a program that lingers after one is answered hangs.
    while (tool.process.hProcess && WaitUntil(next, Scaled(10000)) && box) {
        r.boxes.push_back(text);
        PostMessageW(box, WM_COMMAND, GetDlgItem(box, IDYES) ? answer : IDOK, 0);
    }
    r.exitCode = tool.process.hProcess ? FinishProcess(tool.process, 0) : ~0u;
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
    Shot(shotsDir, tool.dialog, "idle");
    PostMessageW(tool.dialog, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED), LPARAM(GetDlgItem(tool.dialog, IDC_START)));
    HWND confirm = OwnedBox(tool.dialog, Scaled(10000)), done = nullptr;
    if (!confirm)
        return fail("no confirmation box");
    if (shotsDir)
        Sleep(300);
    Shot(shotsDir, tool.dialog, "confirm");
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
    Shot(shotsDir, tool.dialog, "done");
    result.exitCode = CloseProgram(tool);
    result.ok = true;
    return result;
}

DWORD CodeOf(const Fault &fault)
{
    int row = Row(fault.functions.substr(0, fault.functions.find(',')));
    return row < 0 ? 0 : kInjectableCalls[row].codes[fault.failure % CodeCount(kInjectableCalls[row])];
}

Counts ReadCounts()
{
    Counts counts;
    std::ifstream in(CountsFile().c_str());
    std::string name;
    for (unsigned count; std::getline(in >> std::ws, name, '=') && in >> count;)
        counts[name] = count;
    in.close();
    DeleteFileW(CountsFile().c_str());
    return counts;
}

std::vector<std::string> RunSingleFaults(Counts counts, Exe exe, const char *what,
                                         const std::function<std::string(const Fault &, Counts &made)> &run,
                                         const char *only)
{
    std::vector<std::string> breaches;
    unsigned calls = 0, runs = 0, index = 0, part = 0, parts = 1;
    // BRISVANE_FAULT_SHARE=K/N: this arrangement makes every Nth run from the
    // Kth, unless BRISVANE_FAULTS chooses the faults.
    const char *share = std::getenv("BRISVANE_FAULT_SHARE");
    if (share && !std::getenv("BRISVANE_FAULTS") && std::sscanf(share, "%u/%u", &part, &parts) != 2)
        parts = 1;
    auto fail = [&](const InjectableCall &row, const Fault &fault, Counts &made) {
        ++runs;
        std::string why = run(fault, made), n = std::to_string(fault.at);
        if (why.empty() && made["injected"] == 0)
            why = "the fault was never made";
        if (!why.empty())
            breaches.push_back(fault.functions + " call " + n + (fault.persistent ? " on, " : " once, ") + "failure " +
                               std::to_string(fault.failure + 1) + " of " + std::to_string(CodeCount(row)) + ": " +
                               why + " (BRISVANE_FAULTS=" + row.name + ":" + n + " tools/faults replays it)");
    };
    // A typo would leave its calls unfailed.
    for (const auto &[name, n] : Chosen())
        if (name != "all" && Row(name) < 0)
            breaches.push_back("BRISVANE_FAULTS names " + name + ", which is no function of harness/calls.h");
    for (const InjectableCall &row : kInjectableCalls) {
        if (row.exe != exe || (only && ("," + std::string(only) + ",").find("," + std::string(row.name) + ",") == std::string::npos))
            continue;
        const char *trigger = row.after ? row.after : row.name;
        unsigned total = counts[trigger];
        calls += row.after ? 0 : total;
        if (total == 0)
            breaches.push_back(std::string(trigger) + " is never called, or its calls are not counted");
        for (unsigned n : CallsToFail(row, row.after ? std::min(total, 1u) : total))
            for (int failure = 0; failure < CodeCount(row); ++failure) {
                // Which arrangement makes a run must not depend on what a run found.
                if (part >= parts || index++ % parts != part)
                    continue;
                Counts made;
                if (row.after) {
                    fail(row, Fault{std::string(row.after) + "," + row.name, n, true, failure}, made);
                    continue;
                }
                fail(row, Fault{row.name, n, false, failure}, made);
                // From the last call on is the same run, unless the failure
                // led to more calls of the same function (a fallback).
                if ((n < total || made[row.name] > total) && row.codes[failure] != kAddedMeanwhile)
                    fail(row, Fault{row.name, n, true, failure}, made);
            }
    }
    if (runs == 0)
        breaches.push_back(part >= parts ? "no run: BRISVANE_FAULT_SHARE=" + std::string(share) + " leaves this arrangement none (K/N wants K below N)"
                                         : "no run: BRISVANE_FAULTS names none of this program's calls");
    const char *arrangement = std::getenv("BRISVANE_ARRANGEMENT");
    std::printf("fault injection, %s, %s: %u calls, %u runs%s, %u breaches\n", arrangement ? arrangement : "unnamed", what,
                calls, runs, parts > 1 ? " (its share)" : "", unsigned(breaches.size()));
    return breaches;
}

} // namespace harness
