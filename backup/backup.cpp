// Reading the cleanup's targets into one .reg file, and what the user is told.
#include "backup/backup.h"

#include "cleanup/targets.h"

namespace backup {

namespace {

using regfile::Text;

const wchar_t kUnreadable[] = L"无法读取";
const wchar_t kSomeUnreadable[] = L"部分内容无法读取";
const wchar_t kTooLong[] = L"路径太长，regedit 无法重建";
const wchar_t kLineBreak[] = L"名称含换行符，.reg 文件无法表示";
const wchar_t kUnterminated[] = L"字符串数据不以空字符结尾，regedit 恢复时会补上";
const wchar_t kEnvironmentPath[] = L"HKEY_CURRENT_USER\\Environment";
const wchar_t kSoftware[] = L"Software";

// How many of the items left out the message names; the file names all.
const unsigned kMissedShown = 8;

// The targets are ASCII; a registry name is at most 255 characters.
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

bool SameName(const wchar_t *a, size_t aLength, const wchar_t *b, size_t bLength)
{
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a, int(aLength), b, int(bLength)) == CSTR_EQUAL;
}

// IsWow64Process came with XP SP2; without it there is no WoW64 either.
bool UnderWow64()
{
    typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);
    auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

// The path a .reg file must name for what this process sees at root\subkey,
// each step as the registry spells it, so that a restore re-creates missing
// keys in their own letter case; as given from the first step that does not
// exist. Under WoW64, the 32-bit view of HKLM\Software is the 64-bit view's
// Software\Wow6432Node, and a double-clicked file is read by 64-bit regedit.
// Returns the length of the root's part, "HKEY_...\\", and sets `spelled`
// false if a step's spelling could not be read: the file would then
// re-create keys in another letter case than those it saved.
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
            for (DWORD i = 0;; ++i) {
                DWORD nameLength = kNameSize;
                LSTATUS status = RegEnumKeyExW(parent, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
                if (status != ERROR_SUCCESS) {
                    spelled &= status == ERROR_NO_MORE_ITEMS;
                    break;
                }
                if (SameName(step, length, name, nameLength)) {
                    CopyMemory(step, name, (nameLength + 1) * sizeof(wchar_t));
                    length = int(nameLength);
                    break;
                }
            }
            LSTATUS status = RegOpenKeyExW(parent, step, 0, KEY_ENUMERATE_SUB_KEYS, &next);
            if (status != ERROR_SUCCESS) {
                spelled &= status == ERROR_FILE_NOT_FOUND;
                next = nullptr;
            }
            if (parent != root)
                RegCloseKey(parent);
        }
        parent = next;
        if (start > 0)
            out.Append(L'\\');
        out.Append(step, length);
        if (start == 0 && wow64 && which == Root::LocalMachine &&
            SameName(step, length, kSoftware, lstrlenW(kSoftware)))
            out.Append(L"\\Wow6432Node");
    }
    if (parent && parent != root)
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
void Miss(Result &result, const Text &path, const wchar_t *value, size_t valueLength, const wchar_t *reason)
{
    result.head.Append(L"; 未能备份（").Append(reason).Append(L"）：");
    AppendNamed(result.head, path, value, valueLength);
    result.head.Append(L"\r\n");
    if (result.missedCount++ >= kMissedShown)
        return;
    // A path of thousands of characters does not fit a message box.
    Text named;
    AppendNamed(named, path, value, valueLength);
    result.missed.Append(L"    ");
    if (named.Length() <= 120)
        result.missed.Append(named);
    else
        result.missed.Append(named.Data(), 70).Append(L"…").Append(named.Data() + named.Length() - 40, 40);
    result.missed.Append(L"（").Append(reason).Append(L"）\r\n");
}

// A heap buffer that only grows, shared by every key of a walk.
struct Buffer {
    void *data = nullptr;
    DWORD size = 0;
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { regfile::Free(data); }
    bool Grow(DWORD wanted)
    {
        if (wanted <= size)
            return true;
        void *grown = regfile::Grow(data, wanted);
        if (!grown)
            return false;
        data = grown;
        size = wanted;
        return true;
    }
};

class Walker {
public:
    Walker(Result &result, Text &body) : result_(result), body_(body) {}

    Text path;             // of the key being read, as the file names it
    bool readable = false; // each string value's text on a comment line above it

    // The key at `path`, its values, then each subkey below it the same way;
    // stops listing a key's values, or its subkeys, at the first enumeration
    // error and says so. Each registry
    // call is a round trip (to the kernel, or to Wine's server), so the key's
    // counts and sizes, asked for once, spare the calls that would only
    // have found the end of a list.
    void Key(HKEY key, size_t rootLength)
    {
        if (path.Length() - rootLength > regfile::kMaxPathBelowRoot)
            return Miss(result_, path, nullptr, 0, kTooLong);
        DWORD subkeys = 0, values = 0, longestName = 0, largestData = 0;
        if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, &longestName,
                             &largestData, nullptr, nullptr) != ERROR_SUCCESS)
            return Miss(result_, path, nullptr, 0, kUnreadable);
        regfile::AppendKey(body_, path);
        Values(key, values, longestName + 1, largestData + 1, [](const wchar_t *, DWORD) { return true; });
        size_t length = path.Length();
        for (DWORD i = 0; i < subkeys; ++i) {
            wchar_t name[kNameSize];
            DWORD nameLength = kNameSize;
            LSTATUS status = RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
            if (status == ERROR_NO_MORE_ITEMS) // fewer than counted: removed meanwhile
                break;
            if (status != ERROR_SUCCESS)
                return Miss(result_, path, nullptr, 0, kSomeUnreadable);
            path.Append(L'\\').Append(name, nameLength);
            HKEY sub = nullptr;
            if (!regfile::CanWriteName(name, nameLength))
                Miss(result_, path, nullptr, 0, kLineBreak);
            else if (RegOpenKeyExW(key, name, REG_OPTION_OPEN_LINK, KEY_READ, &sub) != ERROR_SUCCESS)
                Miss(result_, path, nullptr, 0, kUnreadable);
            else {
                Key(sub, rootLength);
                RegCloseKey(sub);
            }
            path.Truncate(length);
        }
    }

    // Up to `count` values (MAXDWORD: all there are), only those `keep`
    // accepts, from the key at `path` (already written), with buffers of at
    // least these sizes to start with.
    template <class Keep> void Values(HKEY key, DWORD count, DWORD nameSize, DWORD dataSize, Keep keep)
    {
        if (!name_.Grow(nameSize * sizeof(wchar_t)) || !data_.Grow(dataSize))
            return;
        for (DWORD i = 0; i < count;) {
            wchar_t *name = static_cast<wchar_t *>(name_.data);
            BYTE *data = static_cast<BYTE *>(data_.data);
            DWORD nameLength = name_.size / sizeof(wchar_t), size = data_.size, type = 0;
            LSTATUS status = RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size);
            if (status == ERROR_MORE_DATA) { // changed since it was measured: measure again
                if (!name_.Grow(name_.size * 2) || !data_.Grow(size > data_.size * 2 ? size : data_.size * 2))
                    return;
                continue;
            }
            if (status == ERROR_NO_MORE_ITEMS)
                break;
            if (status != ERROR_SUCCESS)
                return Miss(result_, path, nullptr, 0, kSomeUnreadable);
            ++i;
            if (!keep(name, nameLength))
                continue;
            if (!regfile::CanWriteName(name, nameLength))
                Miss(result_, path, name, nameLength, kLineBreak);
            else if (!regfile::CanWriteData(type, data, size))
                Miss(result_, path, name, nameLength, kUnterminated);
            else {
                if (readable)
                    regfile::AppendReadable(body_, name, nameLength, type, data, size);
                regfile::AppendValue(body_, name, nameLength, type, data, size);
            }
        }
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
        if (status != ERROR_SUCCESS || !spelled) {
            Miss(result, walker.path, nullptr, 0, kUnreadable);
            if (key)
                RegCloseKey(key);
            continue;
        }
        walker.Key(key, rootLength);
        RegCloseKey(key);
    }
}

// Only the four values, never the rest of the key, each under its own
// spelling; the message lists them in the order the cleanup deletes them.
void CollectEnvironment(Result &result)
{
    const size_t count = sizeof kEnvironmentValues / sizeof *kEnvironmentValues;
    Text found[count];
    Text section;
    Walker walker(result, section);
    walker.path.Append(kEnvironmentPath);
    // What a user most often wants back is their own path alone.
    walker.readable = true;
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, L"Environment", 0, KEY_QUERY_VALUE, &key);
    if (status == ERROR_SUCCESS) {
        walker.Values(key, MAXDWORD, 256, 1024, [&found](const wchar_t *name, DWORD length) {
            for (size_t i = 0; i < count; ++i) {
                Wide wanted(kEnvironmentValues[i]);
                if (SameName(name, length, wanted.text, size_t(wanted.length))) {
                    found[i].Truncate(0);
                    found[i].Append(name, length);
                    return true;
                }
            }
            return false;
        });
        RegCloseKey(key);
    }
    // A key that cannot be read says nothing of whether the values exist.
    bool unreadable = status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND;
    for (size_t i = 0; i < count; ++i) {
        Wide wanted(kEnvironmentValues[i]);
        if (unreadable) {
            Miss(result, walker.path, wanted.text, size_t(wanted.length), kUnreadable);
            continue;
        }
        Text &list = found[i].Empty() ? result.absent : result.found;
        list.Append(L"    ").Append(kEnvironmentPath).Append(L" 中的 ");
        if (found[i].Empty())
            list.Append(wanted.text);
        else
            list.Append(found[i]);
        list.Append(L"\r\n");
    }
    if (!section.Empty()) {
        regfile::AppendKey(result.body, walker.path);
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
    result.head.Append(regfile::kHeader)
        .Append(L"\r\n; Brisvane 备份：VC6.0 留在注册表中的信息，")
        .Append(stamp)
        .Append(L" 保存。\r\n; 恢复：双击本文件，在询问时选择“是”。\r\n");
    CollectTrees(result, UnderWow64());
    CollectEnvironment(result);
    result.body.Append(L"\r\n");
}

void Message(Text &out, const Result &result, const Text &path, const Text &error)
{
    if (!result.AnythingFound()) {
        out.Append(L"没有需要备份的内容：清理工具会删除的注册表项和环境变量都不存在，因此没有写入文件。");
        return;
    }
    if (path.Empty())
        out.Append(L"未能写入备份文件：").Append(error).Append(L"\r\n");
    else
        out.Append(L"备份文件已保存到：\r\n").Append(path).Append(L"\r\n");
    if (!path.Empty() && !error.Empty())
        out.Append(L"桌面无法写入，因此保存到了“文档”文件夹：").Append(error).Append(L"\r\n");
    AppendList(out, L"已找到：", result.found);
    AppendList(out, L"未找到（无需备份）：", result.absent);
    if (result.missedCount) {
        out.Format(L"\r\n以下内容未能备份，恢复时不会还原（共 %u 项，文件开头的注释逐项列出）：\r\n", result.missedCount)
            .Append(result.missed);
        if (result.missedCount > kMissedShown)
            out.Append(L"    ……\r\n");
    }
    if (!path.Empty())
        out.Append(L"\r\n恢复方法：双击这个文件，在询问时选择“是”。恢复 HKEY_LOCAL_MACHINE 下的项需要管理员权限。"
                   L"恢复的环境变量要在注销并重新登录后才对程序生效。");
}

} // namespace backup
