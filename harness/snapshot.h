// Registry snapshots for the tests, and their comparison against what the
// tool promises to delete. The walk behind them also times the benchmark's
// read floor, keeping nothing.
#pragma once

#include "harness/footprint.h"

#include <set>
#include <string>
#include <vector>

namespace harness {

// The one walk of the registry outside the product. Each key's counts and
// sizes are asked once, so under Wine, where every registry call is a round
// trip to its server, no call only finds the end of a list and no buffer is
// too small; then its values with their data, then its subkeys, each opened
// as a link, in the given view. With `entries`, every key and value is kept
// as "HKCU\path" and "HKCU\path\\:name=type:hex-data", names in UTF-8, and
// an enumeration that stops at an error is kept as an entry of its own.
// Without, nothing is kept but the count of keys read: the cost of the
// registry calls alone.
class RegistryWalk {
public:
    explicit RegistryWalk(std::set<std::string> *entries = nullptr, REGSAM view = 0)
        : entries_(entries), view_(view) {}
    // The key and all below it. With `only`, its subkeys outside it (in
    // lower case) are listed by name and not walked.
    void Tree(HKEY key, const std::string &name = {}, const std::set<std::string> *only = nullptr);
    // The key's values only; without a count, until the first error.
    void Values(HKEY key, const std::string &name = {}, DWORD count = MAXDWORD);
    long keys() const { return keys_; }

private:
    void Keep(const std::string &entry) { if (entries_) entries_->insert(entry); }
    std::set<std::string> *entries_;
    REGSAM view_;
    std::vector<wchar_t> name_ = std::vector<wchar_t>(256);
    std::vector<BYTE> data_ = std::vector<BYTE>(2048);
    long keys_ = 0;
};

// Every key and value below root\path in the given registry view, as
// RegistryWalk keeps them; with `only`, as RegistryWalk::Tree takes it.
std::set<std::string> Snapshot(HKEY root, const char *path, REGSAM view = 0, const std::set<std::string> *only = nullptr);

// All that a run could reach: the whole of HKCU and HKLM\Software\Microsoft,
// in both views where 64-bit Windows has two; with `only`, below
// HKLM\Software\Microsoft as RegistryWalk::Tree takes it.
std::set<std::string> AllEntries(const std::set<std::string> *only = nullptr);
// The same, less what no test's footprint lives in: below
// HKLM\Software\Microsoft only the names of the keys that hold none of it.
// For the tests that need a before and after, quicker than AllEntries();
// the safety proof takes AllEntries().
std::set<std::string> FootprintEntries();

// Two snapshots compared against what the tool promises to delete: the
// entries of the seven seeded trees (in any letter case) and the four values.
struct Difference {
    std::vector<std::string> added, removed;
    std::vector<std::string> expectedRemoved;   // the targets' entries in `before`
    std::vector<std::string> wronglyRemoved;    // removed but not a target's
    std::vector<std::string> left;              // a target's, but not removed
};
Difference Compare(const std::set<std::string> &before, const std::set<std::string> &after);
// The same, but expecting removed exactly the entries that start with one of
// `prefixes` once a backslash is added: "HKCU\key\" for a key and all
// below it, "HKCU\key\\:name=" for a value.
// Those may also appear otherwise: a value saved otherwise than it is.
Difference Compare(const std::set<std::string> &before, const std::set<std::string> &after,
                   const std::vector<std::string> &prefixes);

} // namespace harness
