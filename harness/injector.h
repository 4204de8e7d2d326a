// Single faults in a shipped program, as Application Verifier's low resource
// simulation makes them: the program is started with brisvane_inject.dll
// (injector_dll.cpp) in it, which fails the Nth of its calls to chosen
// Windows functions and can count how many calls a clean run makes.
#pragma once

#include "harness/calls.h"
#include "platform/platform.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace harness {

using Counts = std::map<std::string, unsigned>;

struct Fault {
    std::string functions;    // the functions counted, comma-separated
    unsigned at = 0;          // the call, counted across them, that fails; 0: none
    bool persistent = false;  // and every later one too
    int failure = 0;          // which of each function's codes (harness/calls.h)
    size_t largerThan = 0;    // the heap's: only blocks of more bytes fail
};

// The failure `fault` makes of the first function it names.
DWORD CodeOf(const Fault &fault);

// Starts `command` suspended, loads the injector (beside this program) into
// it before any of its own code runs, tells it `fault` and where to write
// the counts of a run (`countsFile`, may be empty), then lets it run.
bool StartInjected(std::wstring command, const Fault &fault, const std::wstring &countsFile,
                   PROCESS_INFORMATION &process);

// What the injector wrote at a program's exit: calls per function.
Counts ReadCounts(const std::wstring &countsFile);

// SQLite's fault simulation: runs `run` under single faults of each
// function of `exe` in harness/calls.h (of those `only` lists, if given,
// comma-separated), whose calls a clean run counted in `counts`: each of its
// failures, once and from then on (from the last call only where the
// failure led to more calls); a function called only after another failed,
// with that one failing from its first call. `run` says what went wrong, or
// nothing, and gives the calls the run made. Which calls: every one of a
// row marked whole, else the first, the middle and the last; with
// BRISVANE_FAULTS (tools/faults), those it names: "all", or a
// comma-separated list of FUNCTION (every call of it) and FUNCTION:N (call
// N, to replay a breach). Prints "fault injection, ARRANGEMENT[, `what`]: C
// calls, R runs, B breaches" and returns the breaches, each saying how to
// replay it; a choice that names no function, or leaves no run, is one.
std::vector<std::string> RunSingleFaults(const Counts &counts, Exe exe, const char *what,
                                         const std::function<std::string(const Fault &, Counts &made)> &run,
                                         const char *only = nullptr);

} // namespace harness
