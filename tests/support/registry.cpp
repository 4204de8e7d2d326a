// Registry fixtures: seeding, removal, snapshots and DACL faults.
#include "tests/support/registry.h"

#include <sddl.h>

#include <algorithm>
#include <cstdio>

namespace fixture {

const KeyPath kFootprintTrees[7] = {
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\DevStudio\\6.0", "row 1"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\HTML Help Collections", "row 2"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Basic\\6.0", "row 3"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Component Manager", "row 4"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\VisualStudio\\6.0", "row 5"},
    {HKEY_CURRENT_USER,
     "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\StartMenu\\"
     "&Programs\\Microsoft Visual Studio 6.0", "row 6"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\Devstudio\\6.0", "row 7"},
};

const KeyPath kBystanderKeys[] = {
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Devstudio\\6.0 Backup", "HKLM sibling of row 1"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Devstudio\\5.0", "HKLM older DevStudio"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\HTML Help", "HKLM prefix of row 2"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\HTML Help Collections Old", "HKLM extension of row 2"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Basic\\6.0 Backup", "HKLM sibling of row 3"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Basic\\5.0", "HKLM older Visual Basic"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Component Manager 2", "HKLM extension of row 4"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\VisualStudio\\6.0 Backup", "HKLM sibling of row 5"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\VisualStudio\\7.0", "HKLM newer VisualStudio"},
    {HKEY_LOCAL_MACHINE,
     "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\StartMenu\\"
     "&Programs\\Microsoft Visual Studio 6.0", "HKLM twin of row 6"},
    {HKEY_CURRENT_USER,
     "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\StartMenu\\"
     "&Programs\\Microsoft Visual Studio 6.0 Tools", "HKCU sibling of row 6"},
    {HKEY_CURRENT_USER,
     "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\StartMenu\\"
     "&Programs\\Accessories", "HKCU neighbour of row 6"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\DevStudio\\6.0 Backup", "HKCU sibling of row 7"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\DevStudio\\5.0", "HKCU older DevStudio"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\VisualStudio\\6.0", "HKCU twin of row 5"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\Visual Basic\\6.0", "HKCU twin of row 3"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\HTML Help Collections", "HKCU twin of row 2"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\Visual Component Manager", "HKCU twin of row 4"},
};
const size_t kBystanderKeyCount = sizeof kBystanderKeys / sizeof kBystanderKeys[0];

const char *const kBystanderValues[] = {
    "PATHEXT", "libpath", "lib2", "include_old", "MSDevDir2", "paths", "TEMP",
};
const size_t kBystanderValueCount = sizeof kBystanderValues / sizeof kBystanderValues[0];

namespace {

const char *const kEnvironmentTargets[] = {"lib", "path", "MSDevDir", "include"};

void SetValue(HKEY key, const char *name, DWORD type, const void *data, DWORD size)
{
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size);
}

// One value of each common type, with contents that differ per key so that a
// snapshot would notice any value being rewritten.
void FillValues(HKEY key, int serial)
{
    char text[64];
    std::snprintf(text, sizeof text, "C:\\Program Files\\Microsoft Visual Studio\\%d", serial);
    SetValue(key, nullptr, REG_SZ, text, DWORD(lstrlenA(text) + 1));
    SetValue(key, "InstallDir", REG_SZ, text, DWORD(lstrlenA(text) + 1));
    const char expand[] = "%SystemRoot%\\msdev";
    SetValue(key, "Path", REG_EXPAND_SZ, expand, sizeof expand);
    const char multi[] = "first\0second\0";
    SetValue(key, "Recent", REG_MULTI_SZ, multi, sizeof multi);
    DWORD dword = DWORD(serial) * 7u + 1u;
    SetValue(key, "Count", REG_DWORD, &dword, sizeof dword);
    ULONGLONG qword = 0x0123456789ABCDEFull + ULONGLONG(serial);
    SetValue(key, "Stamp", REG_QWORD, &qword, sizeof qword);
    BYTE binary[12] = {0xDE, 0xAD, 0xBE, 0xEF, BYTE(serial), BYTE(serial >> 8)};
    SetValue(key, "Layout", REG_BINARY, binary, sizeof binary);
}

HKEY Create(HKEY root, const std::string &path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

void CreateWithValues(HKEY root, const std::string &path, int serial)
{
    if (HKEY key = Create(root, path)) {
        FillValues(key, serial);
        RegCloseKey(key);
    }
}

std::string Hex(const BYTE *data, DWORD size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (DWORD i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

void Walk(HKEY key, const std::string &name, std::set<std::string> &out)
{
    out.insert(name);
    for (DWORD i = 0;; ++i) {
        // Static: values are all read before the walk recurses.
        static char value[16384];
        static BYTE data[65536];
        DWORD valueLen = sizeof value, dataLen = sizeof data, type = 0;
        if (RegEnumValueA(key, i, value, &valueLen, nullptr, &type, data, &dataLen) != ERROR_SUCCESS)
            break;
        out.insert(name + "\\\\:" + value + "=" + std::to_string(type) + ":" + Hex(data, dataLen));
    }
    for (DWORD i = 0;; ++i) {
        char sub[256];
        DWORD subLen = sizeof sub;
        if (RegEnumKeyExA(key, i, sub, &subLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY child = nullptr;
        if (RegOpenKeyExA(key, sub, REG_OPTION_OPEN_LINK, KEY_READ, &child) == ERROR_SUCCESS) {
            Walk(child, name + "\\" + sub, out);
            RegCloseKey(child);
        } else {
            out.insert(name + "\\" + sub + " (unreadable)");
        }
    }
}

} // namespace

int SeedFootprint(int keysPerTree)
{
    int created = 0;
    for (const KeyPath &tree : kFootprintTrees) {
        CreateWithValues(tree.root, tree.path, created++);
        // Branches of three levels below the tree's root key.
        for (int n = 1; n < keysPerTree; ++n) {
            char rel[64];
            if (n % 3 == 1)
                std::snprintf(rel, sizeof rel, "\\Branch%d", n / 3);
            else if (n % 3 == 2)
                std::snprintf(rel, sizeof rel, "\\Branch%d\\Tools", n / 3);
            else
                std::snprintf(rel, sizeof rel, "\\Branch%d\\Tools\\Item%d", n / 3 - 1, n);
            CreateWithValues(tree.root, std::string(tree.path) + rel, created++);
        }
    }
    return created;
}

void SeedBystanders()
{
    int serial = 100000;
    for (size_t i = 0; i < kBystanderKeyCount; ++i) {
        CreateWithValues(kBystanderKeys[i].root, kBystanderKeys[i].path, serial++);
        CreateWithValues(kBystanderKeys[i].root, std::string(kBystanderKeys[i].path) + "\\Child", serial++);
    }
    // Values on the targets' parents must outlive their children.
    CreateWithValues(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Devstudio", serial++);
    CreateWithValues(HKEY_CURRENT_USER, "Software\\Microsoft\\DevStudio", serial++);
    CreateWithValues(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Basic", serial++);
}

void SeedEnvironmentValues()
{
    HKEY env = Create(HKEY_CURRENT_USER, "Environment");
    if (!env)
        return;
    for (const char *name : kEnvironmentTargets) {
        std::string data = std::string("C:\\VC98\\") + name;
        SetValue(env, name, REG_EXPAND_SZ, data.c_str(), DWORD(data.size() + 1));
    }
    for (size_t i = 0; i < kBystanderValueCount; ++i) {
        std::string data = std::string("keep ") + kBystanderValues[i];
        SetValue(env, kBystanderValues[i], REG_SZ, data.c_str(), DWORD(data.size() + 1));
    }
    RegCloseKey(env);
}

void RemoveAll()
{
    for (const KeyPath &tree : kFootprintTrees)
        SHDeleteKeyA(tree.root, tree.path);
    for (size_t i = 0; i < kBystanderKeyCount; ++i)
        SHDeleteKeyA(kBystanderKeys[i].root, kBystanderKeys[i].path);
    HKEY env = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Environment", 0, KEY_ALL_ACCESS, &env) == ERROR_SUCCESS) {
        for (const char *name : kEnvironmentTargets)
            RegDeleteValueA(env, name);
        for (size_t i = 0; i < kBystanderValueCount; ++i)
            RegDeleteValueA(env, kBystanderValues[i]);
        RegCloseKey(env);
    }
}

bool KeyExists(HKEY root, const char *path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool ValueExists(HKEY root, const char *path, const char *name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    bool found = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

std::string RootName(HKEY root)
{
    return root == HKEY_LOCAL_MACHINE ? "HKLM" : root == HKEY_CURRENT_USER ? "HKCU" : "?";
}

std::set<std::string> Snapshot(HKEY root, const char *path)
{
    std::set<std::string> out;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, REG_OPTION_OPEN_LINK, KEY_READ, &key) != ERROR_SUCCESS)
        return out;
    std::string name = RootName(root);
    if (path && *path)
        name += std::string("\\") + path;
    Walk(key, name, out);
    RegCloseKey(key);
    return out;
}

std::set<std::string> Everything()
{
    std::set<std::string> all = Snapshot(HKEY_CURRENT_USER, "");
    all.merge(Snapshot(HKEY_LOCAL_MACHINE, "Software\\Microsoft"));
    return all;
}

namespace {
std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(tolower(c)); });
    return s;
}

bool IsTarget(const std::string &entry)
{
    std::string e = Lower(entry);
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

Difference Compare(const std::set<std::string> &before, const std::set<std::string> &after)
{
    Difference d;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(d.added));
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(d.removed));
    std::copy_if(before.begin(), before.end(), std::back_inserter(d.expectedRemoved), IsTarget);
    std::copy_if(d.removed.begin(), d.removed.end(), std::back_inserter(d.wronglyRemoved),
                 [](const std::string &e) { return !IsTarget(e); });
    return d;
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

} // namespace fixture
