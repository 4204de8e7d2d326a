// Reading the cleanup's targets into one .reg file, and what the user is told.
#include "backup/backup.h"

#include "backup/texts.h"
#include "cleanup/targets.h"

namespace backup {

namespace {

const wchar_t kEnvironmentPath[] = L"HKEY_CURRENT_USER\\Environment";

// Why something is left out, and whether that leaves the cleanup deleting
// what nobody could read.
struct Reason {
    const wchar_t *text;
    bool unknown;
};
const Reason kUnreadable = {texts::kUnreadable, true};
const Reason kSomeUnreadable = {texts::kSomeUnreadable, true};
const Reason kChanged = {texts::kChanged, true};
const Reason kTooLarge = {texts::kTooLarge, true};
const Reason kTooLong = {texts::kTooLong, false};
const Reason kBadName = {texts::kBadName, false};
const Reason kUnterminated = {texts::kUnterminated, false};

// How many of the items left out the message names; the file names all.
const unsigned kMissedShown = 8;
// How often one value may grow between being measured and being read.
const int kMaxRetries = 8;

// The targets are ASCII; a registry key name is at most 255 characters.
const int kNameSize = 256;
static_assert(LongestSubkey() < kNameSize, "a target's path fits a name buffer");

struct Wide {
    wchar_t text[kNameSize];
    int length;
    explicit Wide(const char *ascii) : length(0)
    {
        while ((text[length] = wchar_t(static_cast<unsigned char>(ascii[length]))))
            ++length;
    }
};

// As the registry compares names: code unit by code unit, upper-cased, and
// nothing ignored (a linguistic comparison skips some characters). `b` is a
// key's name or a target's, shorter than kNameSize. 1 for the same name, 0
// for another, -1 where upper-casing failed: then nothing is known.
int SameName(const wchar_t *a, size_t aLength, const wchar_t *b, size_t bLength)
{
    if (aLength != bLength)
        return 0;
    wchar_t upperA[kNameSize], upperB[kNameSize];
    if (!LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, a, int(aLength), upperA, kNameSize) ||
        !LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, b, int(bLength), upperB, kNameSize))
        return -1;
    for (size_t i = 0; i < aLength; ++i)
        if (upperA[i] != upperB[i])
            return 0;
    return 1;
}

// Whether `path` starts with "Software\", in any letter case.
constexpr bool UnderSoftware(const char *path)
{
    for (int i = 0; i < 9; ++i)
        if ((path[i] | 0x20) != ("software\\"[i] | 0x20))
            return false;
    return true;
}

// WoW64 redirects HKLM\Software, where every machine-wide target lies: the
// file names the view without comparing a name the registry spells.
constexpr bool MachineTargetsUnderSoftware()
{
    for (const KeyTarget &target : kKeyTargets)
        if (target.root == Root::LocalMachine && !UnderSoftware(target.subkey))
            return false;
    return true;
}
static_assert(MachineTargetsUnderSoftware(), "a machine-wide target outside Software needs its own view's path");

// IsWow64Process came with XP SP2; without it there is no WoW64 either.
bool UnderWow64()
{
    typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);
    auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    // The function is there in the twin, and it is never under WoW64.
    return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64; // GCOVR_EXCL_BR_LINE
}

// The path a .reg file must name for what this process sees at root\subkey,
// each step as the registry spells it, so that a restore re-creates missing
// keys in their own letter case; as given from the first step that does not
// exist. Under WoW64, the 32-bit view of HKLM\Software is the 64-bit view's
// Software\Wow6432Node, and a double-clicked file is read by 64-bit regedit.
// Returns the length of the root's part, "HKEY_...\\", and sets `spelled`
// false unless each step's spelling is known: read from its parent's list,
// or given, where that whole list was read and the key is not there.
size_t AppendFilePath(Text &out, Root which, const Wide &subkey, bool wow64, bool &spelled)
{
    HKEY root = RootKey(which);
    out.Append(which == Root::CurrentUser ? L"HKEY_CURRENT_USER\\" : L"HKEY_LOCAL_MACHINE\\");
    size_t rootLength = out.Length();
    spelled = true;
    HKEY parent = root;
    for (int start = 0, end; start <= subkey.length; start = end + 1) {
        for (end = start; end < subkey.length && subkey.text[end] != L'\\';)
            ++end;
        wchar_t step[kNameSize];
        int length = end - start;
        CopyMemory(step, subkey.text + start, length * sizeof(wchar_t));
        step[length] = L'\0';
        HKEY next = nullptr;
        if (parent) {
            wchar_t name[kNameSize];
            bool listed = false;
            LSTATUS status = ERROR_SUCCESS;
            for (DWORD i = 0; !listed; ++i) {
                DWORD nameLength = kNameSize;
                status = RegEnumKeyExW(parent, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
                if (status != ERROR_SUCCESS)
                    break;
                int same = SameName(step, length, name, nameLength);
                spelled &= same >= 0;
                listed = same > 0;
                if (listed) {
                    CopyMemory(step, name, (nameLength + 1) * sizeof(wchar_t));
                    length = int(nameLength);
                }
            }
            LSTATUS opened = RegOpenKeyExW(parent, step, 0, KEY_ENUMERATE_SUB_KEYS, &next);
            spelled &= listed ? opened == ERROR_SUCCESS
                              : (status == ERROR_NO_MORE_ITEMS) & (opened == ERROR_FILE_NOT_FOUND);
            if (opened != ERROR_SUCCESS)
                next = nullptr;
            if (parent != root)
                RegCloseKey(parent);
        }
        parent = next;
        if (start > 0)
            out.Append(L'\\');
        out.Append(step, length);
        // Only under WoW64 (the wow64 row, uncounted), never in the twin.
        if (start == 0 && wow64 && which == Root::LocalMachine) // GCOVR_EXCL_BR_LINE
            out.Append(L"\\Wow6432Node");                       // GCOVR_EXCL_LINE
    }
    if (parent)
        RegCloseKey(parent);
    return rootLength;
}

// "[path]", or "[path] "value"", as the file's comments and the message name it.
void AppendNamed(Text &out, const Text &path, const wchar_t *value, size_t valueLength)
{
    out.Append(L'[');
    regfile::AppendComment(out, path.Data(), path.Length());
    out.Append(L']');
    if (value) {
        out.Append(L" \"");
        regfile::AppendComment(out, value, valueLength);
        out.Append(L'"');
    }
}

// A key (value null) or one of its values that the file cannot restore:
// listed in the file's head, and among the first few in the message.
void Miss(Result &result, const Text &path, const wchar_t *value, size_t valueLength, const Reason &reason)
{
    result.unknown |= reason.unknown;
    result.head.Append(texts::kMissedLine).Append(reason.text).Append(texts::kMissedLineEnd);
    AppendNamed(result.head, path, value, valueLength);
    result.head.Append(L"\r\n");
    if (result.missedCount++ >= kMissedShown)
        return;
    // A path of thousands of characters does not fit a message box: its
    // first 70 characters, "…" and its last 40.
    Text &out = result.missed;
    size_t start = out.Append(L"    ").Length();
    AppendNamed(out, path, value, valueLength);
    if (out.Length() - start > 120) {
        wchar_t end[40];
        CopyMemory(end, out.Data() + out.Length() - 40, sizeof end);
        out.Truncate(start + 70);
        out.Append(L"…").Append(end, 40);
    }
    out.Append(L"（").Append(reason.text).Append(L"）\r\n");
}

// A heap buffer that only grows, shared by every key of a walk.
struct Buffer {
    void *data = nullptr;
    DWORD size = 0;
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { HeapRelease(data); }
    bool Grow(DWORD wanted, bool spare = false)
    {
        if (wanted <= size)
            return true;
        void *grown = HeapGrow(data, wanted, 1, spare);
        if (!grown)
            return false;
        data = grown;
        size = wanted;
        return true;
    }
};

// A key's counts and sizes, and when it was last written: a key whose time
// or counts differ after it was read changed meanwhile (a sibling removed
// or added shifts the indexes the walk reads by). The time alone is kept to
// the clock's tick, some 15 ms: a key added within it shows in the count.
struct Shape {
    DWORD subkeys = 0, values = 0, longestName = 0, largestData = 0;
    FILETIME written = {};
    LSTATUS Read(HKEY key)
    {
        return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, &longestName,
                                &largestData, nullptr, &written);
    }
    // ERROR_SUCCESS if unchanged since Read, ERROR_NO_MORE_ITEMS if changed.
    LSTATUS Check(HKEY key) const
    {
        Shape now;
        LSTATUS status = now.Read(key);
        if (status == ERROR_SUCCESS &&
            (now.subkeys != subkeys || now.values != values || CompareFileTime(&now.written, &written) != 0))
            status = ERROR_NO_MORE_ITEMS;
        return status;
    }
};

class Walker {
public:
    Walker(Result &result, Text &body) : result_(result), body_(body) {}

    Text path;             // of the key being read, as the file names it
    Text readable;         // each string value's text on a comment line, if wanted
    bool wantReadable = false;

    // The key at `path`, its values, then each subkey below it the same way.
    // A key that cannot be read whole is named: at the first enumeration
    // error, or as changed where a list ended early or its time moved. Each
    // registry call is a round trip (to the kernel, or to Wine's server), so
    // the key's counts and sizes, asked for once, spare the calls that would
    // only have found the end of a list.
    void Key(HKEY key, size_t rootLength)
    {
        if (path.Length() - rootLength > regfile::kMaxPathBelowRoot)
            return Miss(result_, path, nullptr, 0, kTooLong);
        Shape shape;
        if (shape.Read(key) != ERROR_SUCCESS)
            return Miss(result_, path, nullptr, 0, kUnreadable);
        size_t start = body_.Length();
        regfile::AppendKey(body_, path);
        size_t line = body_.Length();
        LSTATUS status = Values(key, shape, [](const wchar_t *, DWORD) { return 1; });
        // A link, opened as itself: the cleanup deletes through it what this
        // walk never reads. Nothing of it is saved.
        if (status == ERROR_CANT_ACCESS_FILE) {
            body_.Truncate(start);
            return Miss(result_, path, nullptr, 0, kUnreadable);
        }
        size_t length = path.Length();
        for (DWORD i = 0; i < shape.subkeys && status == ERROR_SUCCESS; ++i) {
            wchar_t name[kNameSize];
            DWORD nameLength = kNameSize;
            status = RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
            if (status != ERROR_SUCCESS)
                break;
            path.Append(L'\\').Append(name, nameLength);
            HKEY sub = nullptr;
            if (!regfile::CanWriteName(name, nameLength))
                Miss(result_, path, nullptr, 0, kBadName);
            else if (RegOpenKeyExW(key, name, REG_OPTION_OPEN_LINK, KEY_READ, &sub) != ERROR_SUCCESS)
                Miss(result_, path, nullptr, 0, kUnreadable);
            else {
                Key(sub, rootLength);
                RegCloseKey(sub);
            }
            path.Truncate(length);
        }
        if (status == ERROR_SUCCESS)
            status = shape.Check(key);
        // Read short before anything of it was saved, the key may be a link
        // whose value was never reached: its line goes too, and it is named.
        if (status != ERROR_SUCCESS && body_.Length() == line)
            body_.Truncate(start);
        Report(status);
    }

    // The key's values that `keep` accepts (1; -1 where it cannot tell), all
    // `shape` counted, after the key's line; ERROR_NO_MORE_ITEMS where fewer
    // were there than counted, ERROR_CANT_ACCESS_FILE at a link's value.
    // Where the buffer cannot hold the largest value, each value's size is
    // asked first, and one too large for memory is named, the rest saved.
    template <class Keep> LSTATUS Values(HKEY key, const Shape &shape, Keep keep)
    {
        DWORD nameSize = (shape.longestName + 1) * sizeof(wchar_t), dataSize = shape.largestData + 1;
        for (DWORD i = 0, retries = 0; i < shape.values;) {
            if (!name_.Grow(nameSize))
                return ERROR_NOT_ENOUGH_MEMORY;
            bool room = data_.Grow(dataSize, true);
            wchar_t *name = static_cast<wchar_t *>(name_.data);
            BYTE *data = room ? static_cast<BYTE *>(data_.data) : nullptr;
            DWORD nameLength = name_.size / sizeof(wchar_t), size = data_.size, type = 0;
            LSTATUS status = RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size);
            if (status == ERROR_MORE_DATA && retries++ < kMaxRetries) { // grown since it was measured
                nameSize = name_.size * 2;
                dataSize = data_.size + size;
                continue;
            }
            if (status != ERROR_SUCCESS)
                return status;
            if (!room && data_.Grow(size, true)) {
                dataSize = size;
                continue;
            }
            ++i;
            retries = 0;
            int kept = keep(name, nameLength);
            if (kept < 0)
                return ERROR_INVALID_DATA;
            if (!kept)
                continue;
            if (type == REG_LINK)
                return ERROR_CANT_ACCESS_FILE;
            if (!regfile::CanWriteName(name, nameLength)) {
                Miss(result_, path, name, nameLength, kBadName);
                continue;
            }
            if (!room) {
                Miss(result_, path, name, nameLength, kTooLarge);
                continue;
            }
            // Saved at its exact bytes all the same, and named: regedit ends
            // string data with a NUL as it restores it. Of a single byte,
            // less than one character, Wine's regedit reads before its start.
            if (!regfile::CanWriteData(type, data, size)) {
                Miss(result_, path, name, nameLength, kUnterminated);
                if (size < sizeof(wchar_t))
                    continue;
            }
            if (wantReadable)
                regfile::AppendReadable(readable, name, nameLength, type, data, size);
            regfile::AppendValue(body_, name, nameLength, type, data, size);
        }
        return ERROR_SUCCESS;
    }

    // How the reading of the key at `path` ended, said where it fell short.
    void Report(LSTATUS status)
    {
        if (status == ERROR_NO_MORE_ITEMS)
            Miss(result_, path, nullptr, 0, kChanged);
        else if (status != ERROR_SUCCESS)
            Miss(result_, path, nullptr, 0, kSomeUnreadable);
    }

private:
    Result &result_;
    Text &body_;
    Buffer name_, data_;
};

void CollectTrees(Result &result, bool wow64)
{
    Walker walker(result, result.body);
    for (const KeyTarget &target : kKeyTargets) {
        Wide subkey(target.subkey);
        walker.path.Truncate(0);
        bool spelled = false;
        size_t rootLength = AppendFilePath(walker.path, target.root, subkey, wow64, spelled);
        HKEY key = nullptr;
        LSTATUS status = RegOpenKeyExW(RootKey(target.root), subkey.text, REG_OPTION_OPEN_LINK, KEY_READ, &key);
        (status == ERROR_FILE_NOT_FOUND ? result.absent : result.found).Append(L"    ").Append(walker.path).Append(L"\r\n");
        if (status == ERROR_FILE_NOT_FOUND)
            continue;
        if (status != ERROR_SUCCESS || !spelled)
            Miss(result, walker.path, nullptr, 0, kUnreadable);
        else
            walker.Key(key, rootLength);
        if (status == ERROR_SUCCESS)
            RegCloseKey(key);
    }
}

// Only the four values, never the rest of the key, each under its own
// spelling; the message lists them in the order the cleanup deletes them. A
// value is absent only where the whole key was read, unchanged, without it.
// Each string value's text goes on a comment line of its own before the
// key's line, outside the key's section, where every .reg reader skips it:
// what a user most often wants back is their own path alone.
void CollectEnvironment(Result &result)
{
    const size_t count = sizeof kEnvironmentValues / sizeof *kEnvironmentValues;
    Text found[count];
    Text section;
    Walker walker(result, section);
    walker.path.Append(kEnvironmentPath);
    walker.wantReadable = true;
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, L"Environment", 0, KEY_QUERY_VALUE, &key);
    if (status == ERROR_SUCCESS) {
        Shape shape;
        status = shape.Read(key);
        if (status == ERROR_SUCCESS)
            status = walker.Values(key, shape, [&found](const wchar_t *name, DWORD length) {
                for (size_t i = 0; i < count; ++i) {
                    Wide wanted(kEnvironmentValues[i]);
                    int same = SameName(name, length, wanted.text, size_t(wanted.length));
                    if (same > 0) {
                        found[i].Truncate(0);
                        found[i].Append(name, length);
                    }
                    if (same)
                        return same;
                }
                return 0;
            });
        if (status == ERROR_SUCCESS)
            status = shape.Check(key);
        RegCloseKey(key);
    }
    const Reason &why = status == ERROR_NO_MORE_ITEMS ? kChanged : kUnreadable;
    for (size_t i = 0; i < count; ++i) {
        Wide wanted(kEnvironmentValues[i]);
        if (found[i].Empty() && status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            Miss(result, walker.path, wanted.text, size_t(wanted.length), why);
            continue;
        }
        Text &list = found[i].Empty() ? result.absent : result.found;
        list.Append(L"    ").Append(kEnvironmentPath).Append(texts::kInEnvironment);
        if (found[i].Empty())
            list.Append(wanted.text);
        else
            list.Append(found[i]);
        list.Append(L"\r\n");
    }
    if (!section.Empty()) {
        result.body.Append(L"\r\n").Append(walker.readable).Append(L"[").Append(walker.path).Append(L"]\r\n");
        result.body.Append(section);
    }
}

// A heading and its lines, if it has any.
void AppendList(Text &out, const wchar_t *title, const Text &lines)
{
    if (!lines.Empty())
        out.Append(L"\r\n").Append(title).Append(L"\r\n").Append(lines);
}

} // namespace

void Collect(Result &result, const wchar_t *stamp)
{
    result.head.Append(regfile::kHeader).Append(texts::kFileIntro).Append(stamp).Append(texts::kFileIntroEnd);
    CollectTrees(result, UnderWow64());
    CollectEnvironment(result);
    result.body.Append(L"\r\n");
}

void Message(Text &out, const Result &result, const wchar_t *path, const Text &error)
{
    if (!result.AnythingToSave()) {
        out.Append(texts::kNothing);
        return;
    }
    if (!*path) {
        out.Append(texts::kNotWritten).Append(error).Append(L"\r\n");
    } else {
        out.Append(texts::kSaved).Append(L"\r\n").Append(path).Append(L"\r\n");
        if (!error.Empty())
            out.Append(texts::kInDocuments).Append(error).Append(L"\r\n");
    }
    AppendList(out, texts::kFound, result.found);
    AppendList(out, texts::kAbsent, result.absent);
    if (result.missedCount) {
        out.Append(L"\r\n").Format(texts::kMissed, result.missedCount).Append(L"\r\n").Append(result.missed);
        if (result.missedCount > kMissedShown)
            out.Append(texts::kMore).Append(L"\r\n");
    }
    if (result.unknown)
        out.Append(L"\r\n").Append(texts::kDoNotClean).Append(L"\r\n");
    if (*path)
        out.Append(L"\r\n").Append(texts::kRestore);
}

} // namespace backup
