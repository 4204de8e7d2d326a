// Registry fixtures shared by the tests, the seeding tool and the benchmark:
// a VC6.0-like leftover footprint, look-alike bystanders, snapshots, and real
// access-denied faults made with DACLs.
#pragma once

#include "platform/platform.h"

#include <set>
#include <string>
#include <vector>

namespace fixture {

struct KeyPath {
    HKEY root;
    const char *path;
    const char *label;
};

// The seven trees as the fixture creates them. Rows 1 and 7 are spelled in
// each other's letter case, so a run that reaches them proves the tool does
// not depend on case.
extern const KeyPath kFootprintTrees[7];

// Keys that look like targets but are not; none may be touched by a run.
extern const KeyPath kBystanderKeys[];
extern const size_t kBystanderKeyCount;

// Environment values near the four targets in name; all must survive.
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

// Every key and value below root\path, one entry each, as
// "HKCU\path" and "HKCU\path\\:name=type:hex-data". Subkeys are opened
// without following links, and a key's enumeration stops at its first error.
std::set<std::string> Snapshot(HKEY root, const char *path);
std::string RootName(HKEY root);

// All that a run could reach: the whole of HKCU and HKLM\Software\Microsoft.
std::set<std::string> Everything();

// Two snapshots compared against what the tool promises to delete: the
// entries of its seven trees (in any letter case) and its four values.
struct Difference {
    std::vector<std::string> added, removed;
    std::vector<std::string> expectedRemoved;   // the targets' entries in `before`
    std::vector<std::string> wronglyRemoved;    // removed but not a target's
};
Difference Compare(const std::set<std::string> &before, const std::set<std::string> &after);

// Replaces a key's DACL with one that denies Everyone all but `granted`
// (keeping READ_CONTROL and WRITE_DAC), and gives the old one back when
// destroyed.
class RestrictedKey {
public:
    RestrictedKey(HKEY root, const char *path, REGSAM granted);
    ~RestrictedKey();
    RestrictedKey(const RestrictedKey &) = delete;
    RestrictedKey &operator=(const RestrictedKey &) = delete;
    bool ok() const { return ok_; }

private:
    HKEY root_;
    std::string path_;
    std::vector<BYTE> saved_;
    bool ok_ = false;
};

} // namespace fixture
