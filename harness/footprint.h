// A VC6.0-like leftover footprint in the registry, with look-alikes that a
// run must leave alone: for the helper's demonstrations, the benchmark and
// the tests.
#pragma once

#include "platform/platform.h"

#include <string>

namespace harness {

struct KeyPath { HKEY root; const char *path; const char *label; };

// The view 64-bit Windows keeps beside this process's own (none on 32-bit
// Windows, which ignores the flag).
constexpr REGSAM kOtherView = sizeof(void *) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
bool OtherViewExists();

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

} // namespace harness
