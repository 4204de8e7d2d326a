// A VC6.0-like leftover footprint in the registry, with look-alikes that
// must survive a run: seeded for the helper's demonstrations and benchmark,
// and for the tests.
#pragma once

#include "platform/platform.h"

#include <string>

namespace harness {

struct KeyPath { HKEY root; const char *path; const char *label; };

// The registry view that 64-bit Windows keeps beside this process's own: the
// 64-bit one for a 32-bit process under WoW64, the 32-bit one for a 64-bit
// process. 32-bit Windows has none, and ignores the flag.
constexpr REGSAM kOtherView = sizeof(void *) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
bool OtherViewExists();

// The seven trees as seeded. Rows 1 and 7 are spelled in each other's letter
// case, so a run that reaches them proves the tool does not depend on case.
extern const KeyPath kFootprintTrees[7];

// Keys that look like targets but are not; none may be touched by a run.
extern const KeyPath kBystanderKeys[18];

// The four environment values a run deletes, and look-alikes that must stay.
extern const char *const kEnvironmentTargets[4];
// What each of the four holds as seeded, as a user's machine may: `path` a
// REG_EXPAND_SZ with %...% references, the others plain text, text over
// two lines, and several strings. `readable`: the text a backup shows for
// it on one comment line, or null where one line cannot show it.
struct EnvironmentSeed {
    DWORD type;
    const char *data;   // GBK bytes, with the NULs REG_MULTI_SZ needs
    size_t size;        // with the terminating NUL
    const char *readable;
};
extern const EnvironmentSeed kEnvironmentSeeds[4];
extern const char *const kBystanderValues[7];

// Creates every footprint tree with `keysPerTree` keys each (nested a few
// levels deep) and values of every common type. Returns the keys created.
int SeedFootprint(int keysPerTree);
// Look-alike keys, in this view and, where there is one, same-named copies
// of the machine-wide trees in the other view.
void SeedBystanders();
void SeedEnvironmentValues();   // the four targets and the look-alikes
// What a real machine can hold and a naive ANSI walk trips on, in the trees
// and beside them: names code page 936 cannot spell, a chain of keys deeper
// than one registry call can name, a 1 MiB value, a key with thousands of
// values; what a .reg file must escape or cannot hold; and a batch of keys
// and values with names, types and sizes drawn from `seed`. `small` makes
// the large value 4 KiB and the thousands fifty, for tests that run a
// program many times over it. Returns the footprint keys created.
int SeedHardCases(unsigned seed, bool small = false);
// A clean slate, then all of the above (the hard cases only if `hard`): the
// sample that tools/run, the benchmark, the safety proof and the backup's
// proofs share. Returns the footprint keys created.
int SeedAll(int keysPerTree, unsigned seed = 1, bool hard = true, bool small = false);
// A registry link inside row 4's tree, to a look-alike beside the trees:
// a cleanup deletes through it what no walk of the tree reads. Only for
// tests that run no cleanup over it.
void SeedLink();
void RemoveAll();               // everything the seeds above can create

bool KeyExists(HKEY root, const char *path);
bool ValueExists(HKEY root, const char *path, const char *name);
std::string RootName(HKEY root, REGSAM view = 0);   // "HKLM", "HKCU", "HKLM (other view)"

} // namespace harness
