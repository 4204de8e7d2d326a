// Registry snapshots, their comparison against what the tool promises to
// delete, and real access-denied faults made with DACLs.
#include "tests/support/registry.h"

#include <sddl.h>

#include "tools/driver/window.h"

#include <algorithm>
#include <cstdio>

namespace fixture {

using namespace footprint;

namespace {
std::string Hex(const BYTE *data, DWORD size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out(size_t(size) * 2, '0');
    for (DWORD i = 0; i < size; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 15];
    }
    return out;
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(tolower(c)); });
    return s;
}

// Names are read as UTF-16, whatever the ANSI code page can spell. With
// `only`, the key's subkeys outside it (in lower case) are listed by name
// and not walked.
void Walk(HKEY key, const std::string &name, REGSAM view, std::set<std::string> &out,
          const std::set<std::string> *only = nullptr)
{
    out.insert(name);
    DWORD longestValueName = 0, largestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestValueName,
                         &largestData, nullptr, nullptr) != ERROR_SUCCESS) {
        out.insert(name + " (unreadable)");
        return;
    }
    std::vector<wchar_t> value(longestValueName + 1);
    std::vector<BYTE> data(largestData + 1);
    for (DWORD i = 0;; ++i) {
        DWORD valueLen = DWORD(value.size()), dataLen = DWORD(data.size()), type = 0;
        LSTATUS status = RegEnumValueW(key, i, value.data(), &valueLen, nullptr, &type, data.data(), &dataLen);
        if (status != ERROR_SUCCESS) {
            if (status != ERROR_NO_MORE_ITEMS)
                out.insert(name + " (values unreadable from " + std::to_string(i) + ")");
            break;
        }
        out.insert(name + "\\\\:" + ui::ToUtf8({value.data(), valueLen}) + "=" + std::to_string(type) + ":" +
                   Hex(data.data(), dataLen));
    }
    for (DWORD i = 0;; ++i) {
        wchar_t sub[256];
        DWORD subLen = 256;
        LSTATUS status = RegEnumKeyExW(key, i, sub, &subLen, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            if (status != ERROR_NO_MORE_ITEMS)
                out.insert(name + " (subkeys unreadable from " + std::to_string(i) + ")");
            break;
        }
        std::string childName = name + "\\" + ui::ToUtf8({sub, subLen});
        if (only && !only->count(Lower(ui::ToUtf8({sub, subLen})))) {
            out.insert(childName);
            continue;
        }
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, sub, REG_OPTION_OPEN_LINK, KEY_READ | view, &child) == ERROR_SUCCESS) {
            Walk(child, childName, view, out);
            RegCloseKey(child);
        } else {
            out.insert(childName + " (unreadable)");
        }
    }
}

} // namespace

namespace {
std::set<std::string> Take(HKEY root, const char *path, REGSAM view, const std::set<std::string> *only)
{
    std::set<std::string> out;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, REG_OPTION_OPEN_LINK, KEY_READ | view, &key) != ERROR_SUCCESS)
        return out;
    std::string name = RootName(root, view);
    if (path && *path)
        name += std::string("\\") + path;
    Walk(key, name, view, out, only);
    RegCloseKey(key);
    return out;
}

// HKCU, and HKLM\Software\Microsoft in each view, its subkeys outside
// `only` (if given) by name alone.
std::set<std::string> UserAndMicrosoft(const std::set<std::string> *only)
{
    std::set<std::string> all = Take(HKEY_CURRENT_USER, "", 0, nullptr);
    all.merge(Take(HKEY_LOCAL_MACHINE, "Software\\Microsoft", 0, only));
    if (OtherViewExists())
        all.merge(Take(HKEY_LOCAL_MACHINE, "Software\\Microsoft", kOtherView, only));
    return all;
}
} // namespace

std::set<std::string> Snapshot(HKEY root, const char *path, REGSAM view)
{
    return Take(root, path, view, nullptr);
}

std::set<std::string> Everything()
{
    return UserAndMicrosoft(nullptr);
}

std::set<std::string> Reach()
{
    // The first key below HKLM\Software\Microsoft of every machine-wide
    // key the footprint seeds: the rest there is Windows' own.
    const std::string microsoft = "software\\microsoft\\";
    std::set<std::string> areas;
    auto add = [&](const KeyPath &k) {
        std::string path = Lower(k.path);
        if (k.root == HKEY_LOCAL_MACHINE && path.rfind(microsoft, 0) == 0) {
            std::string below = path.substr(microsoft.size());
            areas.insert(below.substr(0, below.find('\\')));
        }
    };
    std::for_each(std::begin(kFootprintTrees), std::end(kFootprintTrees), add);
    std::for_each(kBystanderKeys, kBystanderKeys + kBystanderKeyCount, add);
    return UserAndMicrosoft(&areas);
}

namespace {
bool IsTarget(const std::string &entry)
{
    // Only the start of an entry decides, and an entry can hold a MiB of hex.
    std::string e = Lower(entry.substr(0, 1024));
    // The fixture's own list, not the tool's table, so the comparison stands
    // on its own.
    for (const KeyPath &t : kFootprintTrees) {
        std::string tree = Lower(RootName(t.root) + "\\" + t.path);
        if (e == tree || e.compare(0, tree.size() + 1, tree + "\\") == 0)
            return true;
    }
    for (const char *value : kEnvironmentTargets)
        if (e.rfind(Lower(std::string("HKCU\\Environment\\\\:") + value + "="), 0) == 0)
            return true;
    return false;
}
} // namespace

namespace {
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

Difference Compare(const std::set<std::string> &before, const std::set<std::string> &after)
{
    return Compare(before, after, IsTarget);
}

Difference Compare(const std::set<std::string> &before, const std::set<std::string> &after,
                   const std::vector<std::string> &prefixes)
{
    // Whether `e` and a backslash start with a prefix, without copying `e`.
    return Compare(before, after, [&prefixes](const std::string &e) {
        return std::any_of(prefixes.begin(), prefixes.end(), [&e](const std::string &p) {
            return p.size() <= e.size() ? e.compare(0, p.size(), p) == 0
                                        : p.size() == e.size() + 1 && p.back() == '\\' && p.compare(0, e.size(), e) == 0;
        });
    });
}

namespace {
bool EnablePrivilege(const char *name)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool ok = LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) &&
              AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
              GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

const SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
const REGSAM kSecurityAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER;
} // namespace

// The key's owner always gets the standard rights (DELETE among them) under
// Wine, so the key is also handed to LocalSystem, which this process is not.
// The security rights stay with Everyone, so the old owner and DACL can be
// put back.
RestrictedKey::RestrictedKey(HKEY root, const char *path, REGSAM granted) : root_(root), path_(path)
{
    EnablePrivilege(SE_RESTORE_NAME);
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, kSecurityAccess, &key) != ERROR_SUCCESS)
        return;
    DWORD size = 0;
    RegGetKeySecurity(key, kOwnerAndDacl, nullptr, &size);
    saved_.resize(size);
    REGSAM kept = granted | kSecurityAccess;
    char sddl[80];
    std::snprintf(sddl, sizeof sddl, "O:SYD:P(D;;0x%lx;;;WD)(A;;0x%lx;;;WD)", KEY_ALL_ACCESS & ~kept, kept);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (size && RegGetKeySecurity(key, kOwnerAndDacl, saved_.data(), &size) == ERROR_SUCCESS &&
        ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr)) {
        ok_ = RegSetKeySecurity(key, kOwnerAndDacl, sd) == ERROR_SUCCESS;
        LocalFree(sd);
    }
    RegCloseKey(key);
}

RestrictedKey::~RestrictedKey()
{
    HKEY key = nullptr;
    if (!ok_ || RegOpenKeyExA(root_, path_.c_str(), 0, kSecurityAccess, &key) != ERROR_SUCCESS)
        return;
    RegSetKeySecurity(key, kOwnerAndDacl, saved_.data());
    RegCloseKey(key);
}

RestrictedFolder::RestrictedFolder(const std::wstring &path) : path_(path), saved_(4096)
{
    DWORD size = 0;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, saved_.data(), DWORD(saved_.size()), &size) &&
        // 0x6: FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY.
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(D;;0x6;;;WD)(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                             &sd, nullptr)) {
        ok_ = SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd) != FALSE;
        LocalFree(sd);
    }
}

RestrictedFolder::~RestrictedFolder()
{
    if (ok_)
        SetFileSecurityW(path_.c_str(), DACL_SECURITY_INFORMATION, saved_.data());
}

} // namespace fixture
