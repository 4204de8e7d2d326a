// Reading the cleanup's targets into one .reg file, and what the user is told.
#include "backup/backup.h"

#include "backup/reg_file.h"
#include "cleanup/targets.h"

#include <algorithm>

namespace backup {

namespace {

const wchar_t kUnreadable[] = L"无法读取";
const wchar_t kSomeUnreadable[] = L"部分内容无法读取";
const wchar_t kTooLong[] = L"路径太长，regedit 无法重建";
const wchar_t kLineBreak[] = L"名称含换行符，.reg 文件无法表示";
const wchar_t kUnterminated[] = L"字符串数据不以空字符结尾，regedit 恢复时会补上";
const wchar_t kEnvironmentPath[] = L"HKEY_CURRENT_USER\\Environment";

std::wstring Widen(const char *ascii)
{
    return std::wstring(ascii, ascii + lstrlenA(ascii));
}

bool SameName(const std::wstring &a, const std::wstring &b)
{
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), int(a.size()), b.c_str(),
                          int(b.size())) == CSTR_EQUAL;
}

// IsWow64Process came with XP SP2; without it there is no WoW64 either.
bool UnderWow64()
{
    typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);
    auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

// The path as the registry spells it, so that a restore re-creates missing
// keys in their own letter case; as given from the first step it cannot see.
std::wstring Spelled(HKEY root, const std::wstring &subkey)
{
    std::wstring out;
    HKEY parent = root;
    size_t start = 0;
    while (start <= subkey.size()) {
        size_t end = std::min(subkey.find(L'\\', start), subkey.size());
        std::wstring step = subkey.substr(start, end - start);
        start = end + 1;
        HKEY next = nullptr;
        if (parent) {
            wchar_t name[256];
            for (DWORD i = 0;; ++i) {
                DWORD length = 256;
                if (RegEnumKeyExW(parent, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                    break;
                if (SameName(step, std::wstring(name, length))) {
                    step.assign(name, length);
                    break;
                }
            }
            if (RegOpenKeyExW(parent, step.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &next) != ERROR_SUCCESS)
                next = nullptr;
            if (parent != root)
                RegCloseKey(parent);
        }
        parent = next;
        out += (out.empty() ? L"" : L"\\") + step;
    }
    if (parent && parent != root)
        RegCloseKey(parent);
    return out;
}

// The path a .reg file must name for what this process sees at root\path:
// under WoW64, the 32-bit view of HKLM\Software is the 64-bit view's
// Software\Wow6432Node, and a double-clicked file is read by 64-bit regedit.
std::wstring FilePath(Root root, const std::wstring &path, bool wow64)
{
    if (root == Root::CurrentUser)
        return L"HKEY_CURRENT_USER\\" + path;
    size_t first = path.find(L'\\');
    if (wow64 && SameName(path.substr(0, first), L"Software"))
        return L"HKEY_LOCAL_MACHINE\\" + path.substr(0, first) + L"\\Wow6432Node" +
               (first == std::wstring::npos ? L"" : path.substr(first));
    return L"HKEY_LOCAL_MACHINE\\" + path;
}

class Walker {
public:
    Walker(Result &result, std::wstring &body, size_t rootLength)
        : result_(result), body_(body), rootLength_(rootLength) {}

    // The key, its values, then each subkey below it the same way; stops at
    // a key's first enumeration error and says so.
    void Key(HKEY key, const std::wstring &path)
    {
        if (path.size() - rootLength_ > regfile::kMaxPathBelowRoot)
            return Miss(path, kTooLong);
        DWORD longestName = 0, largestData = 0;
        if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName,
                             &largestData, nullptr, nullptr) != ERROR_SUCCESS)
            return Miss(path, kUnreadable);
        regfile::AppendKey(body_, path);
        Values(key, path, longestName + 1, largestData + 1);
        for (DWORD i = 0;; ++i) {
            wchar_t name[256];
            DWORD length = 256;
            LSTATUS status = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (status == ERROR_NO_MORE_ITEMS)
                break;
            if (status != ERROR_SUCCESS)
                return Miss(path, kSomeUnreadable);
            std::wstring child = path + L"\\" + std::wstring(name, length);
            HKEY sub = nullptr;
            if (!regfile::CanWriteName(std::wstring(name, length)))
                Miss(child, kLineBreak);
            else if (RegOpenKeyExW(key, name, REG_OPTION_OPEN_LINK, KEY_READ, &sub) != ERROR_SUCCESS)
                Miss(child, kUnreadable);
            else {
                Key(sub, child);
                RegCloseKey(sub);
            }
        }
    }

    // Only the values `keep` accepts, from the key at `path` (already written).
    template <class Keep> void Values(HKEY key, const std::wstring &path, DWORD nameSize, DWORD dataSize, Keep keep)
    {
        std::vector<wchar_t> name(nameSize);
        std::vector<BYTE> data(dataSize);
        for (DWORD i = 0;;) {
            DWORD nameLength = DWORD(name.size()), size = DWORD(data.size()), type = 0;
            LSTATUS status = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &size);
            if (status == ERROR_MORE_DATA) { // changed since it was measured: measure again
                name.resize(name.size() * 2);
                data.resize(std::max<size_t>(size, data.size() * 2));
                continue;
            }
            if (status == ERROR_NO_MORE_ITEMS)
                break;
            if (status != ERROR_SUCCESS)
                return Miss(path, kSomeUnreadable);
            ++i;
            std::wstring valueName(name.data(), nameLength);
            if (!keep(valueName))
                continue;
            if (!regfile::CanWriteName(valueName))
                result_.missed.push_back({path, true, valueName, kLineBreak});
            else if (!regfile::CanWriteData(type, data.data(), size))
                result_.missed.push_back({path, true, valueName, kUnterminated});
            else
                regfile::AppendValue(body_, valueName, type, data.data(), size);
        }
    }
    void Values(HKEY key, const std::wstring &path, DWORD nameSize, DWORD dataSize)
    {
        Values(key, path, nameSize, dataSize, [](const std::wstring &) { return true; });
    }

    void Miss(const std::wstring &path, const wchar_t *reason) { result_.missed.push_back({path, false, L"", reason}); }

private:
    Result &result_;
    std::wstring &body_;
    size_t rootLength_;
};

void CollectTrees(Result &result, std::wstring &body, bool wow64)
{
    for (const KeyTarget &target : kKeyTargets) {
        HKEY root = RootKey(target.root);
        std::wstring path = FilePath(target.root, Spelled(root, Widen(target.subkey)), wow64);
        Walker walker(result, body, path.find(L'\\') + 1);
        HKEY key = nullptr;
        LSTATUS status = RegOpenKeyExW(root, Widen(target.subkey).c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &key);
        if (status == ERROR_FILE_NOT_FOUND) {
            result.absent.push_back(path);
            continue;
        }
        result.found.push_back(path);
        if (status != ERROR_SUCCESS) {
            walker.Miss(path, kUnreadable);
            continue;
        }
        walker.Key(key, path);
        RegCloseKey(key);
    }
}

// Only the four values, never the rest of the key, each under its own
// spelling; the message lists them in the order the cleanup deletes them.
void CollectEnvironment(Result &result, std::wstring &body)
{
    std::wstring found[std::size(kEnvironmentValues)];
    std::wstring section;
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, L"Environment", 0, KEY_QUERY_VALUE, &key);
    if (status == ERROR_SUCCESS) {
        Walker(result, section, 0).Values(key, kEnvironmentPath, 256, 1024, [&found](const std::wstring &name) {
            for (size_t i = 0; i < std::size(kEnvironmentValues); ++i)
                if (SameName(name, Widen(kEnvironmentValues[i])))
                    return found[i] = name, true;
            return false;
        });
        RegCloseKey(key);
    }
    // A key that cannot be read says nothing of whether the values exist.
    bool unreadable = status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND;
    for (size_t i = 0; i < std::size(kEnvironmentValues); ++i) {
        std::wstring wanted = Widen(kEnvironmentValues[i]);
        if (unreadable)
            result.missed.push_back({kEnvironmentPath, true, wanted, kUnreadable});
        else
            (found[i].empty() ? result.absent : result.found)
                .push_back(std::wstring(kEnvironmentPath) + L" 中的 " + (found[i].empty() ? wanted : found[i]));
    }
    if (!section.empty()) {
        regfile::AppendKey(body, kEnvironmentPath);
        body += section;
    }
}

std::wstring Named(const Missed &missed)
{
    std::wstring item = L"[" + regfile::CommentText(missed.path) + L"]";
    if (missed.isValue)
        item += L" \"" + regfile::CommentText(missed.value) + L"\"";
    return item;
}

// A path of thousands of characters does not fit a message box.
std::wstring Short(std::wstring text)
{
    return text.size() <= 120 ? text : text.substr(0, 70) + L"…" + text.substr(text.size() - 40);
}

} // namespace

Result Collect(const std::wstring &stamp)
{
    Result result;
    std::wstring body;
    CollectTrees(result, body, UnderWow64());
    CollectEnvironment(result, body);
    result.text = regfile::kHeader;
    result.text += L"\r\n; Brisvane 备份：VC6.0 留在注册表中的信息，" + stamp + L" 保存。\r\n";
    result.text += L"; 恢复：双击本文件，在询问时选择“是”。\r\n";
    for (const Missed &missed : result.missed)
        result.text += std::wstring(L"; 未能备份（") + missed.reason + L"）：" + Named(missed) + L"\r\n";
    result.text += body + L"\r\n";
    return result;
}

std::wstring Message(const Result &result, const std::wstring &path, const std::wstring &error)
{
    if (!result.AnythingFound())
        return L"没有需要备份的内容：清理工具会删除的注册表项和环境变量都不存在，因此没有写入文件。";
    std::wstring text = path.empty() ? L"未能写入备份文件：" + error + L"\r\n"
                                     : L"备份文件已保存到：\r\n" + path + L"\r\n";
    auto list = [&text](const wchar_t *title, const std::vector<std::wstring> &lines) {
        if (lines.empty())
            return;
        text += std::wstring(L"\r\n") + title + L"\r\n";
        for (const std::wstring &line : lines)
            text += L"    " + line + L"\r\n";
    };
    list(L"已找到：", result.found);
    list(L"未找到（无需备份）：", result.absent);
    if (!result.missed.empty()) {
        text += L"\r\n以下内容未能备份，恢复时不会还原（共 " + std::to_wstring(result.missed.size()) +
                L" 项，文件开头的注释逐项列出）：\r\n";
        for (size_t i = 0; i < result.missed.size() && i < 8; ++i)
            text += L"    " + Short(Named(result.missed[i])) + L"（" + result.missed[i].reason + L"）\r\n";
        if (result.missed.size() > 8)
            text += L"    ……\r\n";
    }
    if (!path.empty())
        text += L"\r\n恢复方法：双击这个文件，在询问时选择“是”。恢复 HKEY_LOCAL_MACHINE 下的项需要管理员权限。"
                L"恢复的环境变量要在注销并重新登录后才对程序生效。";
    return text;
}

} // namespace backup
