// The tests' own view of Windows, for the tests and brisvane_drive: a
// VC6.0-like footprint with look-alikes a run must leave alone; registry
// snapshots by a walk of our own, not the regedit that restores; real
// denials; single faults in a shipped program; and programs started and
// driven from outside, the way a user would.
#pragma once

#include "harness/calls.h"

#include <shlobj.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace harness {

struct KeyPath { HKEY root; const char *path; };

// Rows 1 and 7 are spelled in each other's letter case: a run that reaches
// both does not depend on case.
extern const KeyPath kFootprintTrees[7];
extern const char *const kEnvironmentTargets[4];   // lib, path, MSDevDir, include
// What each of the four holds as seeded (GBK bytes, with their NULs), and
// the text a backup shows for it on one comment line, or null.
struct EnvironmentSeed { DWORD type; const char *data; size_t size; const char *readable; };
extern const EnvironmentSeed kEnvironmentSeeds[4];
extern const char *const kBystanderValues[7];

// Each tree with `keysPerTree` keys, a few levels deep, holding values of
// every common type.
void SeedFootprint(int keysPerTree);
void SeedEnvironmentValues();   // the four targets and their look-alikes
// A clean slate, the footprint, its look-alike keys and values and, with
// `hard`, what a naive walk or a .reg file trips on, in the trees and
// beside them: names code page 936 cannot spell, a chain deeper than one
// call can name (none if `small`), a 1 MiB value (4 KiB), thousands of
// values (fifty), a batch drawn from `seed`. Returns the keys the trees
// hold. `small` is for runs made hundreds of times: the chain's 140 levels
// alone would fill 4.5 MiB of every file.
int SeedAll(int keysPerTree, unsigned seed = 1, bool hard = true, bool small = false);
// A link in row 4's tree to a look-alike: a cleanup deletes through it what
// no walk reads. Only where no cleanup runs over it.
void SeedLink();
void RemoveAll();               // all the seeds above can create

bool KeyExists(HKEY root, const char *path);
bool ValueExists(HKEY root, const char *path, const char *name);
std::string RootName(HKEY root, REGSAM view = 0);   // "HKLM", "HKCU", "HKLM (other view)"

// Each key's counts and sizes are asked once, so that under Wine, where
// every call is a round trip to its server, no call only finds the end of a
// list. With `entries`, each key and value is kept as "HKCU\path" and
// "HKCU\path\\:name=type:hex-data" (names in UTF-8), and an enumeration
// that stops at an error as an entry of its own; without, only a count.
class RegistryWalk {
public:
    explicit RegistryWalk(std::set<std::string> *entries = nullptr, REGSAM view = 0)
        : entries_(entries), view_(view) {}
    void Tree(HKEY key, const std::string &name = {});   // the key and all below it
    void Values(HKEY key, const std::string &name = {}, DWORD count = MAXDWORD);   // to the first error
    long keys() const { return keys_; }

private:
    void Keep(const std::string &entry) { if (entries_) entries_->insert(entry); }
    std::set<std::string> *entries_;
    REGSAM view_;
    std::vector<wchar_t> name_ = std::vector<wchar_t>(256);
    std::vector<BYTE> data_ = std::vector<BYTE>(2048);
    long keys_ = 0;
};

std::set<std::string> Snapshot(HKEY root, const char *path, REGSAM view = 0);
// All a run could reach: HKCU and HKLM\Software\Microsoft, in both views.
std::set<std::string> FootprintEntries();

// Whether `entry` and a backslash start with `prefix`, in any letter case:
// "HKCU\key\" for a key and all below it, "HKCU\key\\:name=" for a value.
bool Under(const std::string &entry, const std::string &prefix);
// Before and after, against the entries expected to go: those Under() one
// of `expected`; by default the seven trees and the four values.
struct Difference {
    std::vector<std::string> added;            // not expected
    std::vector<std::string> removed;
    std::vector<std::string> wronglyRemoved;   // removed, not expected
    std::vector<std::string> left;             // expected, in `after`
    size_t expected = 0;                       // expected, in `before`
};
std::vector<std::string> Targets();
Difference Compare(const std::set<std::string> &before, const std::set<std::string> &after,
                   const std::vector<std::string> &expected = Targets());

// A real fault, made with a DACL or a moved folder: it lasts until this
// goes, which puts back what it replaced; ok(): it was made.
class Change {
public:
    Change() = default;
    Change(const Change &) = delete;
    ~Change() { if (undo_) undo_(); }
    bool ok() const { return bool(undo_); }

protected:
    std::function<void()> undo_;
};

// Everyone denied all but `granted` (and the rights to put the old owner and DACL back).
struct RestrictedKey : Change { RestrictedKey(HKEY root, const char *path, REGSAM granted); };
// Everyone denied adding files and folders to it.
struct RestrictedFolder : Change { explicit RestrictedFolder(const std::wstring &path); };
// The user's desktop pointed at `path` (the small disk of BRISVANE_SMALL_DISK), as a redirected desktop is.
struct DesktopMoved : Change { explicit DesktopMoved(const std::wstring &path); };

// A single fault in a shipped program, as Application Verifier's low
// resource simulation makes them, by brisvane_inject.dll (injector_dll.cpp).
using Counts = std::map<std::string, unsigned>;

struct Fault {
    std::string functions;    // comma-separated; the later ones count once the first failed
    unsigned at = 0;          // the call, counted across them, that fails; 0: none
    bool persistent = false;  // and every later one too
    int failure = 0;          // which of the first function's codes
    size_t largerThan = 0;    // the heap's: only blocks of more bytes fail
};

DWORD CodeOf(const Fault &fault);

// The calls a program started with a fault made, read once it has ended.
Counts ReadCounts();

// SQLite's fault simulation: `run` (what went wrong, or nothing) under single
// faults of each call of `exe` (of `only`) a clean run counted, once and from
// then on; a choice that names no function, a run whose fault was never
// made, or no run at all, is a breach too.
std::vector<std::string> RunSingleFaults(Counts counts, Exe exe, const char *what,
                                         const std::function<std::string(const Fault &, Counts &made)> &run,
                                         const char *only = nullptr);

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
// `fault`: the injector in the program.
struct StartOptions {
    const wchar_t *caption = nullptr;
    bool idleFirst = true;
    const Fault *fault = nullptr;
};

// Whether this runs in a Wine prefix the project made (tools/common.sh marks
// them); if not, says so, naming `program` and the `commands` that run it.
bool InOwnPrefix(const char *program, const char *commands);
// The path of file `name` in this program's own folder.
std::wstring PathBeside(const wchar_t *name = L"brisvane.exe");
// Starts the program beside this one and waits for its dialog; false at once if it ends first.
bool StartProgram(Program &tool, const std::wstring &arguments, DWORD timeoutMs = Scaled(10000),
                  const wchar_t *program = L"brisvane.exe", StartOptions options = {});
// Ends the program by its close button (SC_CLOSE): its exit code, or ~0u on timeout.
DWORD CloseProgram(Program &tool);

// One run of `program` with `fault` in it, each question answered `answer`
// and every other box OK: its boxes' texts, its exit code (~0u: it did not
// start, or did not end by itself), and the calls it made.
struct Outcome { DWORD exitCode = ~0u; std::vector<std::wstring> boxes; Counts made; };
Outcome Drive(const wchar_t *program, const std::wstring &arguments = L"", WPARAM answer = IDYES, const Fault &fault = {});

struct RunResult {
    bool ok = false;
    std::string error;
    std::vector<std::wstring> lines;   // the list once the run has completed
    DWORD exitCode = ~0u;
    double runSeconds = 0;             // from answering Yes to the completion box
};
// The tool started, its button pressed, Yes and then OK answered, the list
// read and the tool closed; with `shotsDir`, idle, confirm and done.png there
// (see Shot in program.cpp).
RunResult ConfirmedRun(const wchar_t *shotsDir = nullptr);

// A folder of the user's (CSIDL_...), made if missing; the backup's files,
// whole or half-written, on the desktop and in Documents; and those removed.
std::wstring Folder(int csidl);
std::vector<std::wstring> BackupFiles();
size_t RemoveBackups();

// What Windows says of an error code, on one line.
std::wstring SystemWords(DWORD code);
// A command line run to its end, without a console: its exit code, or ~0u.
DWORD RunCommand(std::wstring command, DWORD limitMs = INFINITE);

} // namespace harness
