// The sample VC6.0 leftover footprint: seeding and removal, shared by the
// helper (tools/run, the benchmark) and the tests.
#include "harness/footprint.h"

#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <random>

namespace harness {

#define MENU_ORDER "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\StartMenu\\&Programs\\"
const KeyPath kFootprintTrees[7] = {
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\DevStudio\\6.0", "row 1"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\HTML Help Collections", "row 2"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Basic\\6.0", "row 3"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Component Manager", "row 4"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\VisualStudio\\6.0", "row 5"},
    {HKEY_CURRENT_USER, MENU_ORDER "Microsoft Visual Studio 6.0", "row 6"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\Devstudio\\6.0", "row 7"},
};

const KeyPath kBystanderKeys[18] = {
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Devstudio\\6.0 Backup", "HKLM sibling of row 1"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Devstudio\\5.0", "HKLM older DevStudio"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\HTML Help", "HKLM prefix of row 2"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\HTML Help Collections Old", "HKLM extension of row 2"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Basic\\6.0 Backup", "HKLM sibling of row 3"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Basic\\5.0", "HKLM older Visual Basic"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Component Manager 2", "HKLM extension of row 4"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\VisualStudio\\6.0 Backup", "HKLM sibling of row 5"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\VisualStudio\\7.0", "HKLM newer VisualStudio"},
    {HKEY_LOCAL_MACHINE, MENU_ORDER "Microsoft Visual Studio 6.0", "HKLM twin of row 6"},
    {HKEY_CURRENT_USER, MENU_ORDER "Microsoft Visual Studio 6.0 Tools", "HKCU sibling of row 6"},
    {HKEY_CURRENT_USER, MENU_ORDER "Accessories", "HKCU neighbour of row 6"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\DevStudio\\6.0 Backup", "HKCU sibling of row 7"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\DevStudio\\5.0", "HKCU older DevStudio"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\VisualStudio\\6.0", "HKCU twin of row 5"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\Visual Basic\\6.0", "HKCU twin of row 3"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\HTML Help Collections", "HKCU twin of row 2"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\Visual Component Manager", "HKCU twin of row 4"},
};
#undef MENU_ORDER

const char *const kBystanderValues[7] = {"PATHEXT", "libpath", "lib2", "include_old", "MSDevDir2", "paths", "TEMP"};

const char *const kEnvironmentTargets[4] = {"lib", "path", "MSDevDir", "include"};

#define VALUE(type, data, readable) {type, data, sizeof data, readable ? data : nullptr}
const EnvironmentSeed kEnvironmentSeeds[4] = {
    VALUE(REG_SZ, "C:\\VC98\\lib;C:\\VC98\\mfc\\lib", true),
    VALUE(REG_EXPAND_SZ, "C:\\VC98\\bin;%SystemRoot%\\system32;%USERPROFILE%\\工具;C:\\Python27", true),
    VALUE(REG_EXPAND_SZ, "C:\\Program Files\\Microsoft Visual Studio\r\n\\Common\\MSDev98", false),
    VALUE(REG_MULTI_SZ, "C:\\VC98\\include\0C:\\VC98\\mfc\\include\0", false),
};
#undef VALUE

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

// A key made here, closed when it goes; empty if it could not be made.
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)>;

Key CreateW(HKEY parent, const wchar_t *path, REGSAM view = 0)
{
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr);
    return Key(status == ERROR_SUCCESS ? key : nullptr, RegCloseKey);
}

Key Create(HKEY root, const std::string &path, REGSAM view = 0)   // paths in ASCII
{
    return CreateW(root, std::wstring(path.begin(), path.end()).c_str(), view);
}

Key Open(HKEY root, const std::string &path, REGSAM access)
{
    HKEY key = nullptr;
    return Key(RegOpenKeyExA(root, path.c_str(), 0, access, &key) == ERROR_SUCCESS ? key : nullptr, RegCloseKey);
}

void CreateWithValues(HKEY root, const std::string &path, int serial, REGSAM view = 0)
{
    if (Key key = Create(root, path, view))
        FillValues(key.get(), serial);
}

void SetRaw(HKEY key, const wchar_t *name, DWORD type, const std::wstring &bytes, size_t size)
{
    RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE *>(bytes.data()), DWORD(size));
}

void SetText(HKEY key, const wchar_t *name, const std::wstring &text)
{
    SetRaw(key, name, REG_SZ, text, (text.size() + 1) * sizeof(wchar_t));
}

// Deletes a whole tree in the given view. The view only decides where a path
// through HKLM\Software leads, so the parent is opened in it and the last
// step is taken from there.
void RemoveTree(HKEY root, const std::string &path, REGSAM view)
{
    size_t cut = path.rfind('\\');
    if (Key parent = Open(root, path.substr(0, cut), KEY_ALL_ACCESS | view))
        SHDeleteKeyA(parent.get(), path.substr(cut + 1).c_str());
}

// Names code page 936 has no characters for (Hangul, Thai, Hebrew, an emoji
// beyond the BMP): through the ANSI entry points each reads as "?".
const wchar_t *const kUnspellable[] = {
    L"\uD55C\uAE00 \uC124\uC815",            // Korean
    L"\u0E20\u0E32\u0E29\u0E32\u0E44\u0E17\u0E22", // Thai
    L"\u05E2\u05D1\u05E8\u05D9\u05EA",        // Hebrew
    L"Recent \U0001F600",                     // outside the BMP
};

// A key per unspellable name, each holding values with unspellable names.
int SeedUnspellable(HKEY root, const char *path)
{
    int created = 0;
    Key parent = Create(root, path);
    if (!parent)
        return 0;
    for (const wchar_t *name : kUnspellable) {
        if (Key key = CreateW(parent.get(), name)) {
            ++created;
            for (const wchar_t *value : kUnspellable)
                SetText(key.get(), value, std::wstring(L"data of ") + value);
        }
        SetText(parent.get(), name, name);
    }
    return created;
}

// Longer than the 32,767 characters one registry call can take as a path, so
// it can only be made, walked and deleted one level at a time.
const int kChainLevels = 140;
int SeedChain(HKEY root, const char *path)
{
    Key key = Create(root, path);
    int created = 0;
    for (int level = 1; level <= kChainLevels && key; ++level) {
        std::wstring name = L"Level " + std::to_wstring(level) + L" " + std::wstring(230, L'x');
        key = CreateW(key.get(), name.c_str());
        created += key != nullptr;
    }
    if (key)
        SetText(key.get(), L"Bottom", L"reached");
    return created;
}

// Larger than a fixed 64 KiB buffer by far.
void SeedLargeValue(HKEY root, const char *path, BYTE seed, bool small)
{
    std::string data(small ? 1 << 12 : 1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(BYTE(i * 31 + seed));
    if (Key key = Create(root, path))
        SetValue(key.get(), "Large", REG_BINARY, data.data(), DWORD(data.size()));
}

void SeedManyValues(HKEY root, const char *path, bool small)
{
    Key key = Create(root, path);
    for (int i = 0, count = small ? 50 : 4000; key && i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "File%04d", i);
        DWORD data = DWORD(i);
        SetValue(key.get(), name, REG_DWORD, &data, sizeof data);
    }
}

// A look-alike of the targets' siblings that differs only in a character
// code page 936 cannot spell, and values beside the four targets like it.
const wchar_t kUnspellableSibling[] = L"Software\\Microsoft\\VisualStudio\\6.0\uD55C";
const wchar_t *const kUnspellableValues[] = {L"path\uD55C", L"lib\u0E44", L"\uD55C"};

// What a .reg file must escape, and what it cannot hold at all (a line
// break in a name), beside strings whose bytes are not plain text. Returns
// the keys created.
int SeedRegFileCases(HKEY root, const char *path)
{
    Key escapes = Create(root, std::string(path) + "\\Escapes ]=@");
    HKEY key = escapes.get();
    if (!key)
        return 0;
    int created = 1;
    SetText(key, nullptr, L"the default value");
    SetText(key, L"@", L"a value named @");
    SetText(key, L"quote \" and \\ backslash", L"C:\\dir\\\"quoted\"\\");
    SetText(key, L"[x]=y@z", L"]=@;");
    SetText(key, L"line\r\nbreak", L"a name regedit cannot write");
    SetText(key, L"breaks in data", L"one\ntwo\r\nthree\r");
    // Windows counts in a NUL the caller left out if one follows in memory.
    SetRaw(key, L"no terminator", REG_SZ, L"abcd", 6);
    SetRaw(key, L"odd length", REG_SZ, L"abc", 5);
    SetRaw(key, L"empty", REG_SZ, L"", 0);
    SetRaw(key, L"wide, no terminator", REG_SZ, L"\u4E2D\u4E2D", 2);
    SetRaw(key, L"NUL inside", REG_SZ, std::wstring(L"a\0b", 4), 8);
    SetRaw(key, L"odd, ends in NUL", REG_SZ, std::wstring(L"a\0b", 4), 5);
    // As only the native API makes them, which adds no NUL: a name that
    // holds one, and a string of a single byte.
    auto setValueKey = reinterpret_cast<LONG(WINAPI *)(HANDLE, UNICODE_STRING *, ULONG, ULONG, const void *, ULONG)>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtSetValueKey")));
    for (auto [name, size] : {std::pair{std::wstring(L"NUL\0name", 8), 2}, {std::wstring(L"one byte"), 1}}) {
        UNICODE_STRING native = {USHORT(name.size() * 2), USHORT(name.size() * 2), &name[0]};
        setValueKey(key, &native, 0, REG_SZ, L"a", ULONG(size));
    }
    SetRaw(key, L"short dword", REG_DWORD, L"ab", 3);
    SetRaw(key, L"own type", 0x12345, L"data", 8);
    for (const wchar_t *name : {L"]=@ [key]", L"key with\nline break", L"@"})
        if (Key sub = CreateW(key, name)) {
            SetText(sub.get(), L"inside", name);
            ++created;
        }
    return created;
}

// A batch of keys and values with names, types and sizes drawn from `seed`:
// the same seed gives the same batch. Returns the keys created.
int SeedRandomBatch(HKEY root, const char *path, unsigned seed)
{
    static const wchar_t kChars[] = L"aZ09 _.\"\\]=@[;%{}\t\u00E9\u4E2D\u6587\uD55C\u0E44\u05E2";
    std::mt19937 random(seed);
    auto pick = [&random](int n) { return int(random() % unsigned(n)); };
    auto name = [&](int longest, bool key) {
        std::wstring text;
        for (int i = pick(longest) + key; i > 0; --i) {
            wchar_t c = pick(80) == 0 ? L"\r\n"[pick(2)] : kChars[pick(int(std::size(kChars)) - 1)];
            text += key && c == L'\\' ? L'/' : c;
        }
        return text;
    };
    static const DWORD kTypes[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN,
                                   REG_MULTI_SZ, REG_RESOURCE_LIST, REG_QWORD, 0x40, 0xFFFF0000};
    Key batch = Create(root, std::string(path) + "\\Random");
    int created = batch != nullptr;
    for (int k = 0; batch && k < 10; ++k) {
        Key key = CreateW(batch.get(), name(40, true).c_str());
        created += key != nullptr;
        for (int v = 0; key && v < 12; ++v) {
            DWORD type = kTypes[pick(int(std::size(kTypes)))];
            std::wstring data;
            for (int n = pick(4) ? pick(40) : pick(2000); n > 0; --n)
                data += wchar_t(random());
            size_t size = data.size() * 2;
            if (type == REG_SZ || type == REG_EXPAND_SZ || (type == REG_MULTI_SZ && pick(2))) {
                data = name(60, false) + std::wstring(L"\0second\0", type == REG_MULTI_SZ ? 9 : 1);
                size = data.size() * 2 - pick(3) / 2;  // now and then an odd length
            }
            SetRaw(key.get(), name(30, false).c_str(), type, data, size);
        }
    }
    return created;
}

} // namespace

int SeedFootprint(int keysPerTree)
{
    int created = 0;
    for (const KeyPath &tree : kFootprintTrees) {
        CreateWithValues(tree.root, tree.path, created++);
        // Branches of three levels below the tree's root key: BranchB,
        // BranchB\Tools and BranchB\Tools\ItemN.
        for (int n = 1; n < keysPerTree; ++n) {
            std::string path = std::string(tree.path) + "\\Branch" + std::to_string((n - 1) / 3);
            path += (n - 1) % 3 ? "\\Tools" : "";
            path += (n - 1) % 3 == 2 ? "\\Item" + std::to_string(n) : "";
            CreateWithValues(tree.root, path, created++);
        }
    }
    return created;
}

void SeedBystanders()
{
    int serial = 100000;
    for (const KeyPath &k : kBystanderKeys) {
        CreateWithValues(k.root, k.path, serial++);
        CreateWithValues(k.root, std::string(k.path) + "\\Child", serial++);
    }
    // Values on the targets' parents must outlive their children.
    CreateWithValues(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Devstudio", serial++);
    CreateWithValues(HKEY_CURRENT_USER, "Software\\Microsoft\\DevStudio", serial++);
    CreateWithValues(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Basic", serial++);
    // The machine-wide trees once more in the other view, where a setup of
    // the other bitness would have written them: not the tool's to delete.
    if (OtherViewExists())
        for (const KeyPath &tree : kFootprintTrees)
            if (tree.root == HKEY_LOCAL_MACHINE) {
                CreateWithValues(tree.root, tree.path, serial++, kOtherView);
                CreateWithValues(tree.root, std::string(tree.path) + "\\Child", serial++, kOtherView);
            }
}

int SeedHardCases(unsigned seed, bool small)
{
    const KeyPath *tree = kFootprintTrees;
    int created = SeedRegFileCases(tree[3].root, tree[3].path);
    created += SeedRandomBatch(tree[3].root, tree[3].path, seed);
    created += SeedRegFileCases(tree[6].root, tree[6].path);
    SeedManyValues(tree[0].root, tree[0].path, small);
    created += SeedUnspellable(tree[1].root, tree[1].path);
    SeedLargeValue(tree[2].root, tree[2].path, 1, small);
    created += SeedChain(tree[4].root, tree[4].path);
    created += SeedUnspellable(tree[5].root, tree[5].path);
    SeedLargeValue(tree[6].root, tree[6].path, 7, small);
    // The last key any walk of the trees reaches is one a .reg file carries:
    // a walk that takes a failed enumeration for the end of the list loses
    // it, where the last subkey listed would otherwise be one it leaves out.
    CreateWithValues(tree[6].root, std::string(tree[6].path) + "\\~Last", 6);
    ++created;

    // The same beside the trees, where all of it must stay.
    SeedUnspellable(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\VisualStudio\\6.0 Backup");
    SeedChain(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\VisualStudio\\6.0 Backup");
    SeedLargeValue(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Basic\\6.0 Backup", 3, small);
    SeedUnspellable(HKEY_CURRENT_USER, "Software\\Microsoft\\DevStudio\\6.0 Backup");
    if (Key sibling = CreateW(HKEY_LOCAL_MACHINE, kUnspellableSibling))
        SetText(sibling.get(), L"InstallDir", L"C:\\Program Files\\Microsoft Visual Studio");
    if (Key env = Create(HKEY_CURRENT_USER, "Environment"))
        for (const wchar_t *name : kUnspellableValues)
            SetText(env.get(), name, std::wstring(L"keep ") + name);
    return created;
}

int SeedAll(int keysPerTree, unsigned seed, bool hard, bool small)
{
    RemoveAll();
    int keys = SeedFootprint(keysPerTree);
    if (hard)
        keys += SeedHardCases(seed, small);
    SeedBystanders();
    SeedEnvironmentValues();
    return keys;
}

void SeedEnvironmentValues()
{
    for (size_t i = 0; i < std::size(kEnvironmentTargets); ++i)
        SHSetValueA(HKEY_CURRENT_USER, "Environment", kEnvironmentTargets[i], kEnvironmentSeeds[i].type,
                    kEnvironmentSeeds[i].data, DWORD(kEnvironmentSeeds[i].size));
    for (const char *name : kBystanderValues) {
        std::string data = std::string("keep ") + name;
        SHSetValueA(HKEY_CURRENT_USER, "Environment", name, REG_SZ, data.c_str(), DWORD(data.size() + 1));
    }
}

const wchar_t kLink[] = L"Software\\Microsoft\\Visual Component Manager\\Link";

void SeedLink()
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLink, 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    const wchar_t target[] = L"\\Registry\\Machine\\Software\\Microsoft\\Visual Basic\\6.0 Backup";
    RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE *>(target),
                   sizeof target - sizeof(wchar_t));
    RegCloseKey(key);
}

void RemoveAll()
{
    // A link goes as itself, never through it: only the native call can.
    HKEY link = nullptr;
    auto deleteKey = reinterpret_cast<LONG(WINAPI *)(HANDLE)>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey")));
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLink, REG_OPTION_OPEN_LINK, DELETE, &link) == ERROR_SUCCESS) {
        deleteKey(link);
        RegCloseKey(link);
    }
    for (const KeyPath &tree : kFootprintTrees) {
        SHDeleteKeyA(tree.root, tree.path);
        if (OtherViewExists() && tree.root == HKEY_LOCAL_MACHINE)
            RemoveTree(tree.root, tree.path, kOtherView);
    }
    for (const KeyPath &k : kBystanderKeys)
        SHDeleteKeyA(k.root, k.path);
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, kUnspellableSibling);
    for (const char *name : kEnvironmentTargets)
        SHDeleteValueA(HKEY_CURRENT_USER, "Environment", name);
    for (const char *name : kBystanderValues)
        SHDeleteValueA(HKEY_CURRENT_USER, "Environment", name);
    for (const wchar_t *name : kUnspellableValues)
        SHDeleteValueW(HKEY_CURRENT_USER, L"Environment", name);
}

bool OtherViewExists()
{
    BOOL wow64 = FALSE;
    return sizeof(void *) == 8 || (IsWow64Process(GetCurrentProcess(), &wow64) && wow64);
}

bool KeyExists(HKEY root, const char *path)
{
    return Open(root, path, KEY_READ) != nullptr;
}

bool ValueExists(HKEY root, const char *path, const char *name)
{
    Key key = Open(root, path, KEY_READ);
    return key && RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::string RootName(HKEY root, REGSAM view)
{
    std::string name = root == HKEY_LOCAL_MACHINE ? "HKLM" : root == HKEY_CURRENT_USER ? "HKCU" : "?";
    return view ? name + " (other view)" : name;
}

} // namespace harness
