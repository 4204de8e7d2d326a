// brisvane_drive: the project's helper for seeing the tool work and for
// measuring it, in the project's own Wine prefix only (tools/run, tools/bench,
// tools/screenshots). A measure ends in "RESULT " lines, each the measured
// cells of one row of tools/bench's table: the tool's, the baseline's, the ratio.
#include "harness/harness.h"
#include "backup/texts.h"
#include "cleanup/targets.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>

namespace {

bool Fail(const std::string &why)
{
    std::printf("%s\n", why.c_str());
    return false;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Round `round`'s two measures, the first first in even rounds and last in
// odd ones, so that neither pays for the other; false once one fails.
template <class First, class Second> bool Alternately(int round, First first, Second second)
{
    return round % 2 == 0 ? first() && second() : second() && first();
}

// Seconds from CreateProcess to a window with `caption` shown, or -1; with
// `idleFirst`, for the backup, whose box comes once its file is written,
// ten minutes for that.
double TimeToDialog(const wchar_t *program, const std::wstring &caption, bool idleFirst = false)
{
    harness::Program tool;
    return harness::StartProgram(tool, L"", idleFirst ? 630000 : 30000, program, {caption.c_str(), idleFirst}) ? tool.seconds : -1;
}

double TimedCommand(const std::string &command)
{
    double start = harness::Seconds();
    harness::RunCommand(std::wstring(command.begin(), command.end()));
    return harness::Seconds() - start;
}

// Flushed, so that no write of the seeding is left pending into the timed part.
int SeedForBench(int keysPerTree)
{
    int keys = harness::SeedAll(keysPerTree);
    RegFlushKey(HKEY_LOCAL_MACHINE);
    RegFlushKey(HKEY_CURRENT_USER);
    Sleep(500);
    return keys;
}

bool AnyTreeLeft()
{
    return std::any_of(std::begin(harness::kFootprintTrees), std::end(harness::kFootprintTrees),
                       [](const harness::KeyPath &tree) { return harness::KeyExists(tree.root, tree.path); });
}

// The tool's trees as reg.exe names them.
std::vector<std::string> TargetKeys()
{
    std::vector<std::string> keys;
    for (const KeyTarget &t : kKeyTargets)
        keys.push_back(std::string(t.root == Root::LocalMachine ? "HKLM\\" : "HKCU\\") + t.subkey);
    return keys;
}

// One confirmed run, its lines printed; with a folder, screenshots there.
int Demo(int, int, wchar_t **argv)
{
    harness::RunResult run = harness::ConfirmedRun(argv[2]);
    if (!run.ok)
        return Fail("demo failed: " + run.error), 1;
    for (const auto &line : run.lines)
        std::printf("  %s\n", harness::ToUtf8(line).c_str());
    std::printf("exit code %lu\n", static_cast<unsigned long>(run.exitCode));
    return run.exitCode == 0 ? 0 : 1;
}

// Start-up to the dialog shown, program A against program B, alternately,
// each after the previous process's teardown has had its time.
int BenchStart(int runs, int, wchar_t **argv)
{
    const std::wstring caption = L"Brisvane" + std::wstring(37, L' ') + L"Built By Morvessa";
    std::vector<double> times[2];
    auto time = [&](int which) {
        Sleep(100);
        times[which].push_back(TimeToDialog(argv[3 + which], caption));
        return true;
    };
    time(0), time(1), times[0].clear(), times[1].clear(); // the file cache warmed for both
    for (int i = 0; i < runs; ++i)
        Alternately(i, [&] { return time(0); }, [&] { return time(1); });
    double t = Median(times[0]), m = Median(times[1]);
    std::printf("RESULT %.1f ms | %.1f ms | %.3f\n", t * 1000, m * 1000, t / m);
    return 0;
}

// A confirmed run over a large footprint against the same trees and values
// deleted by reg.exe, the way a user would script it.
int BenchRun(int keysPerTree, int rounds, wchar_t **)
{
    std::vector<double> tool, reg;
    int keys = 0;
    auto byTool = [&] {
        keys = SeedForBench(keysPerTree);
        harness::RunResult run = harness::ConfirmedRun();
        tool.push_back(run.runSeconds);
        return (run.ok && !AnyTreeLeft()) || Fail("bench-run: the tool's run failed: " + run.error);
    };
    auto byReg = [&] {
        keys = SeedForBench(keysPerTree);
        double seconds = 0;
        for (const std::string &key : TargetKeys())
            seconds += TimedCommand("reg.exe delete \"" + key + "\" /f");
        for (const char *value : kEnvironmentValues)
            seconds += TimedCommand(std::string("reg.exe delete HKCU\\Environment /v ") + value + " /f");
        reg.push_back(seconds);
        return !AnyTreeLeft() || Fail("bench-run: reg.exe left a tree behind");
    };
    for (int round = 0; round < rounds; ++round)
        if (!Alternately(round, byTool, byReg))
            return 1;
    harness::RemoveAll();
    double t = Median(tool), r = Median(reg);
    std::printf("RESULT %d keys: %.2f s, %.0f us per key | %.2f s, %.0f us per key | %.3f\n", keys, t, t / keys * 1e6, r,
                r / keys * 1e6, t / r);
    return 0;
}

// The same trees and values saved by reg export into `folder`, emptied again.
double RegExport(const std::string &folder)
{
    double seconds = 0;
    std::vector<std::string> keys = TargetKeys();
    keys.push_back("HKCU\\Environment");
    for (size_t i = 0; i < keys.size(); ++i) {
        std::string file = folder + "\\export-" + std::to_string(i) + ".reg";
        seconds += TimedCommand("reg.exe export \"" + keys[i] + "\" \"" + file + "\" /y");
        DeleteFileA(file.c_str());
    }
    return seconds;
}

// The backup's trees and values read in this process and nothing more: no
// text, no file, by the tests' own walk keeping nothing.
double ReadFloorSeconds(long &keys)
{
    harness::RegistryWalk walk;
    double start = harness::Seconds();
    HKEY key = nullptr;
    for (const KeyTarget &t : kKeyTargets)
        if (!RegOpenKeyExA(RootKey(t.root), t.subkey, REG_OPTION_OPEN_LINK, KEY_READ, &key))
            walk.Tree(key), RegCloseKey(key);
    if (!RegOpenKeyExA(HKEY_CURRENT_USER, kEnvironmentSubkey, 0, KEY_QUERY_VALUE, &key))
        walk.Values(key), RegCloseKey(key);
    keys = walk.keys();
    return harness::Seconds() - start;
}

// The backup once, timed to its box, and the file it wrote removed; false if it wrote none.
bool TimeBackup(std::vector<double> &times)
{
    times.push_back(TimeToDialog(L"brisvane-backup.exe", backup::texts::kTitle, true));
    return (harness::RemoveBackups() && times.back() >= 0) || Fail("bench-backup: the backup wrote no file");
}

// The backup of a large footprint against reg export, and against the read
// floor. It only reads: one footprint serves every round, the floor last.
int BenchBackup(int keysPerTree, int rounds, wchar_t **)
{
    char temp[MAX_PATH];
    if (!GetTempPathA(MAX_PATH, temp))
        return 1;
    SeedForBench(keysPerTree);
    std::vector<double> backup, reg, floor, toReg, toFloor;
    long keys = 0;
    for (int round = 0; round < rounds; ++round) {
        if (!Alternately(round, [&] { return TimeBackup(backup); }, [&] { reg.push_back(RegExport(temp)); return true; }))
            return 1;
        floor.push_back(ReadFloorSeconds(keys));
        toReg.push_back(backup.back() / reg.back());
        toFloor.push_back(backup.back() / floor.back());
    }
    harness::RemoveAll();
    // Min / median / max, the ratio's median first.
    auto series = [](const std::vector<double> &v, const char *format) {
        std::printf(format, *std::min_element(v.begin(), v.end()), Median(v), *std::max_element(v.begin(), v.end()));
    };
    for (const auto &[peer, ratio] : {std::pair{&reg, &toReg}, {&floor, &toFloor}}) {
        std::printf("RESULT %ld keys: ", keys);
        series(backup, "%.2f / %.2f / %.2f s | ");
        series(*peer, "%.2f / %.2f / %.2f s | ");
        std::printf("%.3f (%.3f to %.3f)\n", Median(*ratio), *std::min_element(ratio->begin(), ratio->end()),
                    *std::max_element(ratio->begin(), ratio->end()));
    }
    return 0;
}

// Wine closes its desktop once no program has a window, and the next program
// gives explorer.exe only 10 s to open it again: too little on an emulated
// machine under load. A hidden window that stays keeps it open. It fails
// while explorer.exe is still coming up; a later try finds it up.
int Hold(int, int, wchar_t **)
{
    for (int tries = 1; !CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr); ++tries)
        if (tries == 10)
            return 1;
    std::printf("holding\n");
    for (MSG message; GetMessageW(&message, nullptr, 0, 0) > 0;)
        DispatchMessageW(&message);
    return 0;
}

// The verbs, each with the arguments it needs (the numbers among them > 0).
const struct {
    const wchar_t *name;
    int arguments, numbers;
    int (*run)(int number, int rounds, wchar_t **argv);
    const char *usage;
} kVerbs[] = {
    {L"seed", 1, 0, [](int keys, int, wchar_t **) {
         std::printf("seeded %d footprint keys, look-alike keys and environment values\n", harness::SeedAll(keys));
         return 0;
     }, "seed KEYS_PER_TREE          a leftover footprint, look-alikes and values"},
    {L"demo", 0, 0, Demo, "demo [DIR]                  one confirmed run, its lines; screenshots to DIR"},
    {L"bench-start", 3, 1, BenchStart, "bench-start RUNS A B        start-to-dialog time, program A against B"},
    {L"bench-run", 2, 2, BenchRun, "bench-run KEYS ROUNDS       a run over a large footprint against reg.exe"},
    {L"bench-backup", 2, 2, BenchBackup, "bench-backup KEYS ROUNDS    the backup against reg export and reading"},
    {L"hold", 0, 0, Hold, "hold                        keep Wine's desktop open; says \"holding\""},
};

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (!harness::InOwnPrefix("brisvane_drive", "tools/run, tools/bench or tools/screenshots"))
        return 2;
    int number = argc > 2 ? _wtoi(argv[2]) : 0, rounds = argc > 3 ? _wtoi(argv[3]) : 0;
    // Unbuffered bytes, "\n" alone: the tools read the lines as they come.
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, nullptr, _IONBF, 0);
    std::string usage = "usage: brisvane_drive VERB ...\n";
    for (const auto &verb : kVerbs) {
        if (argc > 1 && verb.name == std::wstring(argv[1]) && argc >= 2 + verb.arguments &&
            (verb.numbers < 1 || number > 0) && (verb.numbers < 2 || rounds > 0))
            return verb.run(number, rounds, argv);
        usage += std::string("  ") + verb.usage + "\n";
    }
    std::printf("%s", usage.c_str());
    return 2;
}
