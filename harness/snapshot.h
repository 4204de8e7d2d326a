// Registry snapshots for the tests, by a walk of our own rather than
// regedit's, and their comparison against what a run was to remove. The
// same walk, keeping nothing, times the benchmark's read floor.
#pragma once

#include "harness/footprint.h"

#include <set>
#include <string>
#include <vector>

namespace harness {

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

} // namespace harness
