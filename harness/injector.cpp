// brisvane_inject.dll loaded into a program started suspended, so that its
// imports are redirected before its entry point runs; the sweep of faults.
#include "harness/harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace harness {

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

} // namespace

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
