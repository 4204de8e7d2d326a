// Registry snapshots and their comparison against what the tool promises to
// delete.
#include "harness/snapshot.h"

#include "harness/program.h"

#include <algorithm>

namespace harness {

namespace {
std::string Hex(const BYTE *data, DWORD size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (DWORD i = 0; i < size; ++i)
        out += {digits[data[i] >> 4], digits[data[i] & 15]};
    return out;
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(tolower(c)); });
    return s;
}

bool IsTarget(const std::string &entry)
{
    // Only the start of an entry decides, and an entry can hold a MiB of hex.
    std::string e = Lower(entry.substr(0, 1024));
    // The fixture's own list, not the tool's table, so the comparison stands
    // on its own.
    for (const KeyPath &t : kFootprintTrees)
        if ((e + "\\").rfind(Lower(RootName(t.root) + "\\" + t.path + "\\"), 0) == 0)
            return true;
    for (const char *value : kEnvironmentTargets)
        if (e.rfind(Lower(std::string("HKCU\\Environment\\\\:") + value + "="), 0) == 0)
            return true;
    return false;
}

template <class Expected>
Difference Compare(const std::set<std::string> &before, const std::set<std::string> &after, Expected IsTarget)
{
    Difference d;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(d.added));
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(d.removed));
    std::copy_if(before.begin(), before.end(), std::back_inserter(d.expectedRemoved), IsTarget);
    std::copy_if(d.removed.begin(), d.removed.end(), std::back_inserter(d.wronglyRemoved),
                 [&](const std::string &e) { return !IsTarget(e); });
    std::copy_if(d.expectedRemoved.begin(), d.expectedRemoved.end(), std::back_inserter(d.left),
                 [&after](const std::string &e) { return after.count(e) != 0; });
    return d;
}
} // namespace

std::set<std::string> Snapshot(HKEY root, const char *path, REGSAM view, const std::set<std::string> *only)
{
    std::set<std::string> out;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, REG_OPTION_OPEN_LINK, KEY_READ | view, &key) != ERROR_SUCCESS)
        return out;
    std::string name = RootName(root, view);
    if (path && *path)
        name += std::string("\\") + path;
    RegistryWalk(&out, view).Tree(key, name, only);
    RegCloseKey(key);
    return out;
}

std::set<std::string> AllEntries(const std::set<std::string> *only)
{
    std::set<std::string> all = Snapshot(HKEY_CURRENT_USER, "");
    all.merge(Snapshot(HKEY_LOCAL_MACHINE, "Software\\Microsoft", 0, only));
    if (OtherViewExists())
        all.merge(Snapshot(HKEY_LOCAL_MACHINE, "Software\\Microsoft", kOtherView, only));
    return all;
}

// Names are read as UTF-16, whatever the ANSI code page can spell.
void RegistryWalk::Tree(HKEY key, const std::string &name, const std::set<std::string> *only)
{
    ++keys_;
    Keep(name);
    DWORD subkeys = 0, values = 0, longestName = 0, largestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, &longestName,
                         &largestData, nullptr, nullptr) != ERROR_SUCCESS) {
        Keep(name + " (unreadable)");
        return;
    }
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
            break;
        }
        // No names are made where nothing is kept: the floor times the calls.
        std::string childName;
        if (entries_ || only) {
            std::string subName = ToUtf8({sub, length});
            childName = name + "\\" + subName;
            if (only && !only->count(Lower(subName))) {
                Keep(childName);
                continue;
            }
        }
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, sub, REG_OPTION_OPEN_LINK, KEY_READ | view_, &child) == ERROR_SUCCESS) {
            Tree(child, childName);
            RegCloseKey(child);
        } else {
            Keep(childName + " (unreadable)");
        }
    }
}

void RegistryWalk::Values(HKEY key, const std::string &name, DWORD count)
{
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
            break;
        }
        if (entries_)
            entries_->insert(name + "\\\\:" + ToUtf8({name_.data(), nameLength}) + "=" + std::to_string(type) +
                             ":" + Hex(data_.data(), size));
        ++i;
    }
}

std::set<std::string> FootprintEntries()
{
    // The first key below HKLM\Software\Microsoft of every machine-wide
    // key the footprint seeds: the rest there is Windows' own.
    const std::string microsoft = "software\\microsoft\\";
    std::set<std::string> areas;
    auto add = [&](const KeyPath &k) {
        std::string path = Lower(k.path);
        if (k.root == HKEY_LOCAL_MACHINE && path.rfind(microsoft, 0) == 0)
            areas.insert(path.substr(microsoft.size(), path.find('\\', microsoft.size()) - microsoft.size()));
    };
    std::for_each(std::begin(kFootprintTrees), std::end(kFootprintTrees), add);
    std::for_each(std::begin(kBystanderKeys), std::end(kBystanderKeys), add);
    return AllEntries(&areas);
}

Difference Compare(const std::set<std::string> &before, const std::set<std::string> &after)
{
    return Compare(before, after, IsTarget);
}

Difference Compare(const std::set<std::string> &before, const std::set<std::string> &after,
                   const std::vector<std::string> &prefixes)
{
    // Whether `e` and a backslash start with a prefix, without copying `e`.
    auto expected = [&prefixes](const std::string &e) {
        return std::any_of(prefixes.begin(), prefixes.end(), [&e](const std::string &p) {
            return p.size() <= e.size() ? e.compare(0, p.size(), p) == 0
                                        : p.size() == e.size() + 1 && p.back() == '\\' && p.compare(0, e.size(), e) == 0;
        });
    };
    Difference d = Compare(before, after, expected);
    d.added.erase(std::remove_if(d.added.begin(), d.added.end(), expected), d.added.end());
    return d;
}

} // namespace harness
