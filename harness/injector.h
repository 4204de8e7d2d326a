// Single faults in a shipped program, as Application Verifier's low resource
// simulation makes them, by brisvane_inject.dll (injector_dll.cpp).
#pragma once

#include "harness/calls.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace harness {

using Counts = std::map<std::string, unsigned>;

struct Fault {
    std::string functions;    // comma-separated; the later ones count once the first failed
    unsigned at = 0;          // the call, counted across them, that fails; 0: none
    bool persistent = false;  // and every later one too
    int failure = 0;          // which of the first function's codes
    size_t largerThan = 0;    // the heap's: only blocks of more bytes fail
};

DWORD CodeOf(const Fault &fault);

// `command` started with the injector in it; `countsFile` may be empty.
bool StartInjected(std::wstring command, const Fault &fault, const std::wstring &countsFile,
                   PROCESS_INFORMATION &process);
Counts ReadCounts(const std::wstring &countsFile);

// SQLite's fault simulation: `run` (what went wrong, or nothing) under single
// faults of each call of `exe` (of `only`) a clean run counted, once and from
// then on; a choice that names no function, or leaves no run, is a breach too.
std::vector<std::string> RunSingleFaults(Counts counts, Exe exe, const char *what,
                                         const std::function<std::string(const Fault &, Counts &made)> &run,
                                         const char *only = nullptr);

} // namespace harness
