// Registry snapshots and their comparison against what a run was to remove.
#include "harness/snapshot.h"

#include "harness/program.h"

#include <algorithm>

namespace harness {

bool Under(const std::string &entry, const std::string &prefix)
{
    const std::string e = entry + "\\";
    auto same = [](unsigned char a, unsigned char b) { return tolower(a) == tolower(b); };
    return e.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), e.begin(), same);
}

std::set<std::string> Snapshot(HKEY root, const char *path, REGSAM view)
{
    std::set<std::string> out;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, REG_OPTION_OPEN_LINK, KEY_READ | view, &key) != ERROR_SUCCESS)
        return out;
    RegistryWalk(&out, view).Tree(key, RootName(root, view) + (*path ? "\\" : "") + path);
    RegCloseKey(key);
    return out;
}

std::set<std::string> FootprintEntries()
{
    std::set<std::string> all = Snapshot(HKEY_CURRENT_USER, "");
    all.merge(Snapshot(HKEY_LOCAL_MACHINE, "Software\\Microsoft"));
    if (OtherViewExists())
        all.merge(Snapshot(HKEY_LOCAL_MACHINE, "Software\\Microsoft", kOtherView));
    return all;
}

// Names are read as UTF-16, whatever the ANSI code page can spell.
void RegistryWalk::Tree(HKEY key, const std::string &name)
{
    ++keys_;
    Keep(name);
    DWORD subkeys = 0, values = 0, longestName = 0, largestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, &longestName,
                         &largestData, nullptr, nullptr) != ERROR_SUCCESS)
        return Keep(name + " (unreadable)");
    name_.resize(std::max<size_t>(name_.size(), longestName + 1));
    data_.resize(std::max<size_t>(data_.size(), largestData));
    Values(key, name, values);
    for (DWORD i = 0; i < subkeys; ++i) {
        wchar_t sub[256];
        DWORD length = 256;
        LSTATUS status = RegEnumKeyExW(key, i, sub, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            if (status != ERROR_NO_MORE_ITEMS)
                Keep(name + " (subkeys unreadable from " + std::to_string(i) + ")");
            return;
        }
        // No names are made where nothing is kept: the floor times the calls.
        const std::string childName = entries_ ? name + "\\" + ToUtf8({sub, length}) : "";
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, sub, REG_OPTION_OPEN_LINK, KEY_READ | view_, &child) != ERROR_SUCCESS)
            Keep(childName + " (unreadable)");
        else {
            Tree(child, childName);
            RegCloseKey(child);
        }
    }
}

void RegistryWalk::Values(HKEY key, const std::string &name, DWORD count)
{
    static const char digits[] = "0123456789abcdef";
    for (DWORD i = 0; i < count;) {
        DWORD nameLength = DWORD(name_.size()), size = DWORD(data_.size()), type = 0;
        LSTATUS status = RegEnumValueW(key, i, name_.data(), &nameLength, nullptr, &type, data_.data(), &size);
        if (status == ERROR_MORE_DATA) {
            name_.resize(name_.size() * 2);
            data_.resize(std::max<size_t>(size, data_.size()));
            continue;
        }
        if (status != ERROR_SUCCESS) {
            if (status != ERROR_NO_MORE_ITEMS)
                Keep(name + " (values unreadable from " + std::to_string(i) + ")");
            return;
        }
        if (entries_) {
            std::string entry = name + "\\\\:" + ToUtf8({name_.data(), nameLength}) + "=" + std::to_string(type) + ":";
            for (DWORD b = 0; b < size; ++b)
                entry += {digits[data_[b] >> 4], digits[data_[b] & 15]};
            entries_->insert(std::move(entry));
        }
        ++i;
    }
}

std::vector<std::string> Targets()
{
    // The fixture's own list, not the tool's table, so the comparison
    // stands on its own.
    std::vector<std::string> targets;
    for (const KeyPath &t : kFootprintTrees)
        targets.push_back(RootName(t.root) + "\\" + t.path + "\\");
    for (const char *value : kEnvironmentTargets)
        targets.push_back(std::string("HKCU\\Environment\\\\:") + value + "=");
    return targets;
}

Difference Compare(const std::set<std::string> &before, const std::set<std::string> &after,
                   const std::vector<std::string> &expected)
{
    auto isExpected = [&expected](const std::string &e) {
        return std::any_of(expected.begin(), expected.end(), [&e](const std::string &p) { return Under(e, p); });
    };
    Difference d;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(d.added));
    d.added.erase(std::remove_if(d.added.begin(), d.added.end(), isExpected), d.added.end());
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(d.removed));
    std::remove_copy_if(d.removed.begin(), d.removed.end(), std::back_inserter(d.wronglyRemoved), isExpected);
    std::copy_if(after.begin(), after.end(), std::back_inserter(d.left), isExpected);
    d.expected = size_t(std::count_if(before.begin(), before.end(), isExpected));
    return d;
}

} // namespace harness
