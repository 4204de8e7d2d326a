// A VC6.0-like leftover footprint in the registry, with look-alikes that
// must survive a run: seeded for the driver's demonstrations and benchmark,
// and for the tests.
#pragma once

#include "platform/platform.h"

#include <string>

namespace footprint {

struct KeyPath {
    HKEY root;
    const char *path;
    const char *label;
};

// The seven trees as seeded. Rows 1 and 7 are spelled in each other's letter
// case, so a run that reaches them proves the tool does not depend on case.
extern const KeyPath kFootprintTrees[7];

// Keys that look like targets but are not; none may be touched by a run.
extern const KeyPath kBystanderKeys[];
extern const size_t kBystanderKeyCount;

// The four environment values a run deletes, and look-alikes that must stay.
extern const char *const kEnvironmentTargets[4];
extern const char *const kBystanderValues[];
extern const size_t kBystanderValueCount;

// Creates every footprint tree with `keysPerTree` keys each (nested a few
// levels deep) and values of every common type. Returns the keys created.
int SeedFootprint(int keysPerTree);
void SeedBystanders();
void SeedEnvironmentValues();   // the four targets and the look-alikes
void RemoveAll();               // everything the seeds above can create

bool KeyExists(HKEY root, const char *path);
bool ValueExists(HKEY root, const char *path, const char *name);
std::string RootName(HKEY root);   // "HKLM" or "HKCU"

} // namespace footprint
