// The sample VC6.0 leftover footprint: seeding and removal, shared by the
// driver (tools/run, the benchmark) and the tests.
#include "tools/driver/footprint.h"

#include <cstdio>

namespace footprint {

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

const char *const kEnvironmentTargets[4] = {"lib", "path", "MSDevDir", "include"};

namespace {

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

} // namespace footprint
