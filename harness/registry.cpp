// The registry the tests make and read: the sample VC6.0 leftover footprint,
// seeded and removed; snapshots, compared against what a run was to remove;
// and real access-denied faults, made with DACLs on keys and folders.
#include "harness/harness.h"

#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <random>

namespace harness {

#define MENU "Windows\\CurrentVersion\\Explorer\\MenuOrder\\StartMenu\\&Programs\\"
const KeyPath kFootprintTrees[7] = {
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\DevStudio\\6.0"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\HTML Help Collections"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Basic\\6.0"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Component Manager"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\VisualStudio\\6.0"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\" MENU "Microsoft Visual Studio 6.0"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\Devstudio\\6.0"},
};

const char *const kBystanderValues[7] = {"PATHEXT", "libpath", "lib2", "include_old", "MSDevDir2", "paths", "TEMP"};
const char *const kEnvironmentTargets[4] = {"lib", "path", "MSDevDir", "include"};

// As a user's machine may hold them: `path` with %...% references, text
// over two lines, several strings.
#define VALUE(type, data, readable) {type, data, sizeof data, readable ? data : nullptr}
const EnvironmentSeed kEnvironmentSeeds[4] = {
    VALUE(REG_SZ, "C:\\VC98\\lib;C:\\VC98\\mfc\\lib", true),
    VALUE(REG_EXPAND_SZ, "C:\\VC98\\bin;%SystemRoot%\\system32;%USERPROFILE%\\工具;C:\\Python27", true),
    VALUE(REG_EXPAND_SZ, "C:\\Program Files\\Microsoft Visual Studio\r\n\\Common\\MSDev98", false),
    VALUE(REG_MULTI_SZ, "C:\\VC98\\include\0C:\\VC98\\mfc\\include\0", false),
};

namespace {
// The view 64-bit Windows keeps beside this process's own (none on 32-bit
// Windows, which ignores the flag).
constexpr REGSAM kOtherView = sizeof(void *) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
bool OtherViewExists()
{
    BOOL wow64 = FALSE;
    return sizeof(void *) == 8 || (IsWow64Process(GetCurrentProcess(), &wow64) && wow64);
}

// Siblings, prefixes, extensions, other versions, and twins under the other
// root: none may be touched by a run.
#define LM(path) {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\" path}
#define CU(path) {HKEY_CURRENT_USER, "Software\\Microsoft\\" path}
const KeyPath kBystanderKeys[] = {
    LM("Devstudio\\6.0 Backup"), LM("Devstudio\\5.0"), LM("HTML Help"), LM("HTML Help Collections Old"),
    LM("Visual Basic\\6.0 Backup"), LM("Visual Basic\\5.0"), LM("Visual Component Manager 2"),
    LM("VisualStudio\\6.0 Backup"), LM("VisualStudio\\7.0"), LM(MENU "Microsoft Visual Studio 6.0"),
    CU(MENU "Microsoft Visual Studio 6.0 Tools"), CU(MENU "Accessories"), CU("DevStudio\\6.0 Backup"),
    CU("DevStudio\\5.0"), CU("VisualStudio\\6.0"), CU("Visual Basic\\6.0"), CU("HTML Help Collections"),
    CU("Visual Component Manager"),
};

// A key made or opened here, closed when it goes; empty if it failed.
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)>;

Key Create(HKEY parent, const std::wstring &path, REGSAM view = 0, DWORD options = 0)
{
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(parent, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS | view, nullptr, &key,
                                     nullptr);
    return Key(status == ERROR_SUCCESS ? key : nullptr, RegCloseKey);
}

std::wstring Wide(const std::string &ascii) { return std::wstring(ascii.begin(), ascii.end()); }

Key Open(HKEY root, const std::string &path, REGSAM access)
{
    HKEY key = nullptr;
    return Key(RegOpenKeyExA(root, path.c_str(), 0, access, &key) == ERROR_SUCCESS ? key : nullptr, RegCloseKey);
}

void Set(HKEY key, const wchar_t *name, DWORD type, const void *data, size_t size)
{
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), DWORD(size));
}

void SetText(HKEY key, const wchar_t *name, const std::wstring &text)
{
    Set(key, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

// One value of each common type, differing per key, so that a value
// rewritten shows in a snapshot.
void CreateWithValues(HKEY root, const std::string &path, int serial, REGSAM view = 0)
{
    Key key = Create(root, Wide(path), view);
    if (!key)
        return;
    const std::wstring dir = L"C:\\Program Files\\Microsoft Visual Studio\\" + std::to_wstring(serial);
    SetText(key.get(), nullptr, dir);
    SetText(key.get(), L"InstallDir", dir);
    Set(key.get(), L"Path", REG_EXPAND_SZ, L"%SystemRoot%\\msdev", sizeof L"%SystemRoot%\\msdev");
    Set(key.get(), L"Recent", REG_MULTI_SZ, L"first\0second\0", sizeof L"first\0second\0");
    DWORD dword = DWORD(serial) * 7u + 1u;
    Set(key.get(), L"Count", REG_DWORD, &dword, sizeof dword);
    ULONGLONG qword = 0x0123456789ABCDEFull + ULONGLONG(serial);
    Set(key.get(), L"Stamp", REG_QWORD, &qword, sizeof qword);
    BYTE binary[12] = {0xDE, 0xAD, 0xBE, 0xEF, BYTE(serial), BYTE(serial >> 8)};
    Set(key.get(), L"Layout", REG_BINARY, binary, sizeof binary);
}

// Hangul, Thai, Hebrew, an emoji beyond the BMP: the ANSI calls read "?".
const wchar_t *const kUnspellable[] = {L"\uD55C\uAE00 \uC124\uC815", L"\u0E20\u0E32\u0E29\u0E32\u0E44\u0E17\u0E22",
                                       L"\u05E2\u05D1\u05E8\u05D9\u05EA", L"Recent \U0001F600"};

// A key per unspellable name, each holding values so named.
void SeedUnspellable(HKEY root, const char *path)
{
    Key parent = Create(root, Wide(path));
    for (const wchar_t *name : kUnspellable) {
        if (!parent)
            break;
        if (Key key = Create(parent.get(), name))
            for (const wchar_t *value : kUnspellable)
                SetText(key.get(), value, std::wstring(L"data of ") + value);
        SetText(parent.get(), name, name);
    }
}

// Longer than the 32,767 characters one call takes as a path: made, walked
// and deleted one level at a time.
void SeedChain(HKEY root, const char *path)
{
    Key key = Create(root, Wide(path));
    for (int level = 1; level <= 140 && key; ++level)
        key = Create(key.get(), L"Level " + std::to_wstring(level) + L" " + std::wstring(230, L'x'));
    if (key)
        SetText(key.get(), L"Bottom", L"reached");
}

// Larger by far than a fixed 64 KiB buffer.
void SeedLargeValue(HKEY root, const char *path, BYTE seed, bool small)
{
    std::string data(small ? 1 << 12 : 1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(BYTE(i * 31 + seed));
    if (Key key = Create(root, Wide(path)))
        Set(key.get(), L"Large", REG_BINARY, data.data(), data.size());
}

// A look-alike sibling and environment values differing from targets only
// in a character code page 936 cannot spell.
const wchar_t kUnspellableSibling[] = L"Software\\Microsoft\\VisualStudio\\6.0\uD55C";
const wchar_t *const kUnspellableValues[] = {L"path\uD55C", L"lib\u0E44", L"\uD55C"};

// What a .reg file must escape, and cannot hold (a line break in a name),
// beside strings whose bytes are not plain text.
void SeedRegFileCases(HKEY root, const char *path)
{
    Key escapes = Create(root, Wide(path) + L"\\Escapes ]=@");
    HKEY key = escapes.get();
    if (!key)
        return;
    for (auto [name, text] : {std::pair{L"", L"the default value"}, {L"@", L"a value named @"},
                              {L"quote \" and \\ backslash", L"C:\\dir\\\"quoted\"\\"}, {L"[x]=y@z", L"]=@;"},
                              {L"line\r\nbreak", L"a name regedit cannot write"}, {L"breaks in data", L"one\ntwo\r\nthree\r"}})
        SetText(key, *name ? name : nullptr, text);
    // Windows counts in a NUL the caller left out if one follows in memory.
    for (auto [name, data, size] : {std::tuple{L"no terminator", L"abcd", 6}, {L"odd length", L"abc", 5}, {L"empty", L"", 0},
                                    {L"wide, no terminator", L"\u4E2D\u4E2D", 2}, {L"NUL inside", L"a\0b", 8},
                                    {L"odd, ends in NUL", L"a\0b", 5}})
        Set(key, name, REG_SZ, data, size);
    // Only the native call makes these, adding no NUL: a name holding one,
    // and a string of a single byte.
    auto setValueKey = reinterpret_cast<LONG(WINAPI *)(HANDLE, UNICODE_STRING *, ULONG, ULONG, const void *, ULONG)>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtSetValueKey")));
    for (auto [name, size] : {std::pair{std::wstring(L"NUL\0name", 8), 2}, {std::wstring(L"one byte"), 1}}) {
        UNICODE_STRING native = {USHORT(name.size() * 2), USHORT(name.size() * 2), &name[0]};
        setValueKey(key, &native, 0, REG_SZ, L"a", ULONG(size));
    }
    Set(key, L"short dword", REG_DWORD, L"ab", 3);
    Set(key, L"own type", 0x12345, L"data", 8);
    for (const wchar_t *name : {L"]=@ [key]", L"key with\nline break", L"@"})
        if (Key sub = Create(key, name))
            SetText(sub.get(), L"inside", name);
}

// Keys and values with names, types and sizes drawn from `seed`, the same
// for the same seed.
void SeedRandomBatch(HKEY root, const char *path, unsigned seed)
{
    static const wchar_t kChars[] = L"aZ09 _.\"\\]=@[;%{}\t\u00E9\u4E2D\u6587\uD55C\u0E44\u05E2";
    static const DWORD kTypes[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN,
                                   REG_MULTI_SZ, REG_RESOURCE_LIST, REG_QWORD, 0x40, 0xFFFF0000};
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
    Key batch = Create(root, Wide(path) + L"\\Random");
    for (int k = 0; batch && k < 10; ++k) {
        Key key = Create(batch.get(), name(40, true));
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
            Set(key.get(), name(30, false).c_str(), type, data.data(), size);
        }
    }
}

void SeedHardCases(unsigned seed, bool small)
{
    const KeyPath *tree = kFootprintTrees;
    SeedRegFileCases(tree[3].root, tree[3].path);
    SeedRandomBatch(tree[3].root, tree[3].path, seed);
    SeedRegFileCases(tree[6].root, tree[6].path);
    SeedUnspellable(tree[1].root, tree[1].path);
    if (!small)
        SeedChain(tree[4].root, tree[4].path);
    SeedUnspellable(tree[5].root, tree[5].path);
    if (Key many = Create(tree[0].root, Wide(tree[0].path)))
        for (DWORD i = 0; i < (small ? 50u : 4000u); ++i)
            Set(many.get(), (L"File" + std::to_wstring(10000 + i).substr(1)).c_str(), REG_DWORD, &i, sizeof i);
    SeedLargeValue(tree[2].root, tree[2].path, 1, small);
    SeedLargeValue(tree[6].root, tree[6].path, 7, small);
    // The last key any walk reaches is one a .reg file carries: a walk that
    // takes a failed enumeration for the end of the list loses it.
    CreateWithValues(tree[6].root, std::string(tree[6].path) + "\\~Last", 6);
    // The same beside the trees, where all of it must stay.
    SeedUnspellable(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\VisualStudio\\6.0 Backup");
    SeedChain(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\VisualStudio\\6.0 Backup");
    SeedLargeValue(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Basic\\6.0 Backup", 3, small);
    SeedUnspellable(HKEY_CURRENT_USER, "Software\\Microsoft\\DevStudio\\6.0 Backup");
    if (Key sibling = Create(HKEY_LOCAL_MACHINE, kUnspellableSibling))
        SetText(sibling.get(), L"InstallDir", L"C:\\Program Files\\Microsoft Visual Studio");
    if (Key env = Create(HKEY_CURRENT_USER, L"Environment"))
        for (const wchar_t *name : kUnspellableValues)
            SetText(env.get(), name, std::wstring(L"keep ") + name);
}

void SeedBystanders()
{
    int serial = 100000;
    for (const KeyPath &k : kBystanderKeys)
        for (const char *child : {"", "\\Child"})
            CreateWithValues(k.root, std::string(k.path) + child, serial++);
    // Values on the targets' parents must outlive their children.
    for (auto [root, path] : {std::pair{HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Devstudio"},
                              {HKEY_CURRENT_USER, "Software\\Microsoft\\DevStudio"},
                              {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Basic"}})
        CreateWithValues(root, path, serial++);
    // The machine-wide trees where a setup of the other bitness wrote them.
    for (const KeyPath &tree : kFootprintTrees)
        for (const char *child : {"", "\\Child"})
            if (OtherViewExists() && tree.root == HKEY_LOCAL_MACHINE)
                CreateWithValues(tree.root, std::string(tree.path) + child, serial++, kOtherView);
}

const wchar_t kLink[] = L"Software\\Microsoft\\Visual Component Manager\\Link";

const SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
const REGSAM kSecurityAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER;
const wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

bool KeySecurity(HKEY root, const char *path, PSECURITY_DESCRIPTOR sd, DWORD *readSize = nullptr)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, kSecurityAccess, &key))
        return false;
    bool done = !(readSize ? RegGetKeySecurity(key, kOwnerAndDacl, sd, readSize) : RegSetKeySecurity(key, kOwnerAndDacl, sd));
    RegCloseKey(key);
    return done;
}

} // namespace

void SeedFootprint(int keysPerTree)
{
    int serial = 0;
    for (const KeyPath &tree : kFootprintTrees) {
        CreateWithValues(tree.root, tree.path, serial++);
        // BranchB, BranchB\Tools and BranchB\Tools\ItemN, over and over.
        for (int n = 1; n < keysPerTree; ++n) {
            std::string path = std::string(tree.path) + "\\Branch" + std::to_string((n - 1) / 3);
            path += (n - 1) % 3 ? "\\Tools" : "";
            path += (n - 1) % 3 == 2 ? "\\Item" + std::to_string(n) : "";
            CreateWithValues(tree.root, path, serial++);
        }
    }
}

int SeedAll(int keysPerTree, unsigned seed, bool hard, bool small)
{
    RemoveAll();
    SeedFootprint(keysPerTree);
    if (hard)
        SeedHardCases(seed, small);
    SeedBystanders();
    SeedEnvironmentValues();
    RegistryWalk walk;   // the keys the trees hold now
    for (const KeyPath &tree : kFootprintTrees)
        if (Key key = Open(tree.root, tree.path, KEY_READ))
            walk.Tree(key.get());
    return int(walk.keys());
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

void SeedLink()
{
    const wchar_t target[] = L"\\Registry\\Machine\\Software\\Microsoft\\Visual Basic\\6.0 Backup";
    if (Key link = Create(HKEY_LOCAL_MACHINE, kLink, 0, REG_OPTION_CREATE_LINK))
        Set(link.get(), L"SymbolicLinkValue", REG_LINK, target, sizeof target - sizeof(wchar_t));
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
    // The view decides only where a path through HKLM\Software leads: the
    // last step is taken from the parent opened in it.
    for (const KeyPath &tree : kFootprintTrees) {
        SHDeleteKeyA(tree.root, tree.path);
        const std::string path = tree.path;
        if (Key parent = Open(tree.root, path.substr(0, path.rfind('\\')), KEY_ALL_ACCESS | kOtherView))
            SHDeleteKeyA(parent.get(), path.substr(path.rfind('\\') + 1).c_str());
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

// Without a copy of either: an entry can be 2 MiB of hex, and a comparison
// asks each entry against each expected prefix.
bool Under(const std::string &entry, const std::string &prefix)
{
    const size_t n = std::min(entry.size(), prefix.size());
    auto same = [](unsigned char a, unsigned char b) { return tolower(a) == tolower(b); };
    return (n == prefix.size() || (n + 1 == prefix.size() && prefix.back() == '\\')) &&
           std::equal(prefix.begin(), prefix.begin() + n, entry.begin(), same);
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

// Under Wine a key's owner always has the standard rights, DELETE among them,
// so the key is handed to LocalSystem, which this process is not: that takes
// the restore privilege.
RestrictedKey::RestrictedKey(HKEY root, const char *path, REGSAM granted)
{
    HANDLE token = nullptr;
    TOKEN_PRIVILEGES restore{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) &&
        LookupPrivilegeValueA(nullptr, SE_RESTORE_NAME, &restore.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &restore, 0, nullptr, nullptr);
    CloseHandle(token);
    std::vector<BYTE> saved(4096);
    DWORD size = DWORD(saved.size());
    const REGSAM kept = granted | kSecurityAccess;
    char sddl[80];
    std::snprintf(sddl, sizeof sddl, "O:SYD:P(D;;0x%lx;;;WD)(A;;0x%lx;;;WD)", KEY_ALL_ACCESS & ~kept, kept);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (KeySecurity(root, path, saved.data(), &size) &&
        ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr)) {
        if (KeySecurity(root, path, sd))
            undo_ = [root, path = std::string(path), saved]() mutable { KeySecurity(root, path.c_str(), saved.data()); };
        LocalFree(sd);
    }
}

RestrictedFolder::RestrictedFolder(const std::wstring &path)
{
    std::vector<BYTE> saved(4096);
    DWORD size = 0;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, saved.data(), DWORD(saved.size()), &size) &&
        // 0x6: FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY.
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(D;;0x6;;;WD)(A;OICI;FA;;;WD)", SDDL_REVISION_1, &sd, nullptr)) {
        if (SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd))
            undo_ = [=]() mutable { SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, saved.data()); };
        LocalFree(sd);
    }
}

DesktopMoved::DesktopMoved(const std::wstring &path)
{
    std::vector<BYTE> saved(4096);
    DWORD size = DWORD(saved.size()), type = 0;
    const bool had = !RegGetValueW(HKEY_CURRENT_USER, kShellFolders, L"Desktop", RRF_RT_ANY | RRF_NOEXPAND, &type,
                                   saved.data(), &size);
    saved.resize(had ? size : 0);
    if (SHSetValueW(HKEY_CURRENT_USER, kShellFolders, L"Desktop", REG_EXPAND_SZ, path.c_str(),
                    DWORD(path.size() + 1) * sizeof(wchar_t)))
        return;
    undo_ = [had, type, saved] {
        had ? SHSetValueW(HKEY_CURRENT_USER, kShellFolders, L"Desktop", type, saved.data(), DWORD(saved.size()))
            : SHDeleteValueW(HKEY_CURRENT_USER, kShellFolders, L"Desktop");
    };
}

} // namespace harness
