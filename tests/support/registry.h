// Registry snapshots for the tests, their comparison against what the tool
// promises to delete, and real access-denied faults made with DACLs.
#pragma once

#include "tools/driver/footprint.h"

#include <set>
#include <string>
#include <vector>

namespace fixture {

// Every key and value below root\path in the given registry view, one entry
// each, as "HKCU\path" and "HKCU\path\\:name=type:hex-data", names in UTF-8.
// Subkeys are opened without following links, and a key's enumeration stops
// at its first error, which is recorded as an entry of its own.
std::set<std::string> Snapshot(HKEY root, const char *path, REGSAM view = 0);

// All that a run could reach: the whole of HKCU and HKLM\Software\Microsoft,
// in both views where 64-bit Windows has two.
std::set<std::string> Everything();
// The same, less what no test's footprint lives in: below
// HKLM\Software\Microsoft only the names of the keys that hold none of it.
// For the tests that need a before and after, quicker than Everything();
// the safety proof takes Everything().
std::set<std::string> Reach();

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
Difference Compare(const std::set<std::string> &before, const std::set<std::string> &after,
                   const std::vector<std::string> &prefixes);

// Replaces a key's owner and DACL with ones that deny Everyone all but
// `granted` (keeping the rights to put the old ones back), and puts the old
// ones back when destroyed.
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

// Replaces a folder's DACL with one that denies Everyone the rights to add
// files and folders to it, and puts the old one back when destroyed.
class RestrictedFolder {
public:
    explicit RestrictedFolder(const std::wstring &path);
    ~RestrictedFolder();
    RestrictedFolder(const RestrictedFolder &) = delete;
    RestrictedFolder &operator=(const RestrictedFolder &) = delete;
    bool ok() const { return ok_; }

private:
    std::wstring path_;
    std::vector<BYTE> saved_;
    bool ok_ = false;
};

} // namespace fixture
