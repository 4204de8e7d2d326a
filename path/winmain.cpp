// brisvane-path: after VC6.0 is installed again, puts the user's own folders
// back at the end of path, include and lib, from the values the backup
// saved before the cleanup deleted them: those the new values lack, less
// the old VC6.0's own (under the folder two levels above the saved
// MSDevDir) and those that are gone. One box asks; nothing is written
// unless the answer is 是, and a value is written whole or not at all.
// Exits with 0 when every folder to add is in its value (added now, or
// nothing needed), 1 when the answer is 否, and 2 when something could not
// be added: an error, named in the system's words, or a value too long.
#include "path/path.h"

#include "path/texts.h"

#include <shellapi.h>
#include <stdarg.h>

namespace path {

Failure g_failure;

bool Failure::Set(DWORD code, const wchar_t *text, const wchar_t *about)
{
    error = code;
    format = text;
    lstrcpynW(subject, about, MAX_PATH);
    return false;
}

bool Fixed::Add(const wchar_t *more, size_t count)
{
    size_t room = size - 1 - length, copied = count < room ? count : room;
    CopyMemory(text + length, more, copied * sizeof(wchar_t));
    text[length += copied] = L'\0';
    return copied == count;
}

bool Fixed::Format(const wchar_t *format, ...)
{
    wchar_t line[1025];
    va_list arguments;
    va_start(arguments, format);
    int length = wvsprintfW(line, format, arguments);
    va_end(arguments);
    return Add(line, size_t(length));
}

} // namespace path

namespace {

using namespace path;

// The three values put back, in the order they are written.
const int kValueCount = 3;

// What is said of a saved folder: added, the old VC6.0's, gone.
enum Kind { kAdd, kOldVc, kGone, kKinds };
const wchar_t *const kHeads[kKinds] = {texts::kWillAdd, texts::kOldVc, texts::kGone};

struct Value {
    Buffer<kMaxValue + 1> current;   // as it is now
    DWORD type = REG_SZ;
    const wchar_t *blocked = nullptr; // why it is not written
    Buffer<kMaxValue> next;           // as it is written: the current value, then each folder added
    Buffer<kMaxValue> lists[kKinds];  // for the box, a line each
};
Value g_values[kValueCount];
Buffer<kKinds * kValueCount * kMaxValue + 4096> g_message;

// A folder as the system compares it: %VARIABLES% expanded, upper-case,
// without a trailing backslash. False with g_failure set where it cannot be
// expanded.
bool Key(const wchar_t *folder, size_t length, wchar_t (&key)[kMaxValue])
{
    static wchar_t raw[kMaxValue];
    lstrcpynW(raw, folder, int(length < kMaxValue ? length + 1 : kMaxValue));
    // A result too long for any folder fails as a buffer too small.
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    if (ExpandEnvironmentStringsW(raw, key, kMaxValue) - 1 >= DWORD(kMaxValue))
        return g_failure.Set(GetLastError(), texts::kNoFolder, raw);
    PathRemoveBackslashW(key);
    CharUpperW(key);
    return true;
}

bool Same(const wchar_t *a, const wchar_t *b)
{
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

bool HoldsPercent(const wchar_t *text)
{
    while (*text && *text != L'%')
        ++text;
    return *text != L'\0';
}

// `key` is `root` or a folder below it.
bool Under(const wchar_t *key, const wchar_t *root)
{
    for (; *root; ++root, ++key)
        if (*root != *key)
            return false;
    return (*key == L'\\') | (*key == L'\0');
}

// Calls `each(folder, length)` for each folder of `list`, in order, until
// one returns false.
template <class Each> bool Folders(const wchar_t *list, Each each)
{
    for (const wchar_t *at = list; *at;) {
        const wchar_t *end = at;
        while (*end && *end != L';')
            ++end;
        if (end > at && !each(at, size_t(end - at)))
            return false;
        at = end + (*end != L'\0');
    }
    return true;
}

// Whether `list` holds a folder whose key is `key`; it stops at a failure.
void Holds(const wchar_t *list, const wchar_t *key, bool &held)
{
    static wchar_t other[kMaxValue];
    held = false;
    Folders(list, [&](const wchar_t *folder, size_t length) {
        held |= Key(folder, length, other) && Same(other, key);
        return !g_failure.error;
    });
}

// The value `name` as it is now, in `value`; false with g_failure set.
bool ReadCurrent(HKEY environment, const wchar_t *name, Value &value)
{
    // One character short of the buffer: the value and its NUL fit `next`,
    // and one that fills the buffer could take no more anyway.
    DWORD bytes = DWORD(value.current.size - 2) * sizeof(wchar_t);
    LSTATUS status = RegQueryValueExW(environment, name, nullptr, &value.type,
                                      reinterpret_cast<BYTE *>(value.current.text), &bytes);
    if (status == ERROR_FILE_NOT_FOUND)
        bytes = 0, value.type = REG_SZ;
    else if (status == ERROR_MORE_DATA)
        bytes = 0, value.blocked = texts::kTooLong;
    else if (status != ERROR_SUCCESS)
        return g_failure.Set(DWORD(status), texts::kNoRegistry, name);
    else if (value.type != REG_SZ && value.type != REG_EXPAND_SZ)
        bytes = 0, value.blocked = texts::kNotText;
    size_t &length = value.current.length = bytes / sizeof(wchar_t);
    while (length && value.current.text[length - 1] == L'\0')
        --length;
    value.current.text[length] = L'\0';
    value.next.Add(value.current.text, length);
    return true;
}

// Sorts each folder of the saved value `saved` into what is added to
// `value` and what is left out; false with g_failure set.
bool Plan(const wchar_t *saved, const wchar_t *root, Value &value)
{
    static wchar_t key[kMaxValue];
    return Folders(saved, [&](const wchar_t *folder, size_t length) {
        bool held = false;
        if (value.blocked)
            return true;
        // Each expansion's failure ends the run, asked once after both.
        Key(folder, length, key);
        Holds(value.next.text, key, held);
        if (g_failure.error)
            return false;
        if (held)
            return true;
        DWORD attributes = GetFileAttributesW(key);
        Kind kind = *root && Under(key, root) ? kOldVc
                    : (attributes == INVALID_FILE_ATTRIBUTES) | !(attributes & FILE_ATTRIBUTE_DIRECTORY) ? kGone
                                                                                                          : kAdd;
        // A list too long for its buffer is cut short; the box shows it so.
        value.lists[kind].Add(L"    ");
        value.lists[kind].Add(folder, length);
        value.lists[kind].Add(L"\r\n");
        // A value that cannot take all of it is not written at all.
        bool separate = value.next.length && value.next.text[value.next.length - 1] != L';';
        if (kind == kAdd && !(value.next.Add(L";", separate) & value.next.Add(folder, length)))
            value.blocked = texts::kTooLong;
        return true;
    });
}

// The system's words for `error`, on one line.
void AddSystemWords(Fixed &out, DWORD error)
{
    wchar_t words[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, words,
                                  512, nullptr);
    while (length && words[length - 1] <= L' ')
        --length;
    if (length)
        out.Add(words, length);
    else
        out.Format(texts::kError, error);
}

// The box's answer, or 0 (with g_failure set) where none could be shown.
int Box(const wchar_t *text, UINT flags)
{
    int answer = MessageBoxW(nullptr, text, texts::kTitle, flags);
    return answer ? answer : (g_failure.Set(GetLastError(), texts::kNoBox, L""), 0);
}

// The whole run but its error box: the exit code, or 2 with g_failure set.
int Run()
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const wchar_t *saved[kSavedCount] = {}, *file = nullptr;
    if (!arguments)
        return g_failure.Set(GetLastError(), texts::kNoCommandLine, L""), 2;
    if (!ReadBackup(count > 1 ? arguments[1] : nullptr, file, saved))
        return 2;
    // The old VC6.0's folder, where it is not a drive's root.
    static wchar_t root[kMaxValue];
    if (saved[kMSDevDir] && !Key(saved[kMSDevDir], size_t(lstrlenW(saved[kMSDevDir])), root))
        return 2;
    PathRemoveFileSpecW(root);
    PathRemoveFileSpecW(root);
    if (PathIsRootW(root))
        root[0] = L'\0';

    HKEY environment = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, L"Environment", 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &environment);
    if (status != ERROR_SUCCESS)
        return g_failure.Set(DWORD(status), texts::kNoRegistry, L""), 2;
    g_message.Format(texts::kFrom, file);
    bool anything = false, unable = false;
    for (int i = 0; i < kValueCount; ++i) {
        Value &value = g_values[i];
        if (!saved[i])
            continue;
        if (!ReadCurrent(environment, kSavedNames[i], value) || !Plan(saved[i], root, value))
            return 2;
        unable |= value.blocked != nullptr;
        anything |= !value.blocked && value.lists[kAdd].length;
        if (value.blocked)
            g_message.Format(value.blocked, kSavedNames[i]);
        for (int kind = 0; kind < kKinds && !value.blocked; ++kind)
            if (value.lists[kind].length) {
                g_message.Format(kHeads[kind], kSavedNames[i]);
                g_message.Add(value.lists[kind].text);
            }
    }
    if (!anything) {
        g_message.Add(unable ? L"" : texts::kNothing);
        Box(g_message.text, MB_OK | (unable ? MB_ICONWARNING : MB_ICONINFORMATION));
        return 2 * unable;
    }
    g_message.Add(texts::kAsk);
    int answer = Box(g_message.text, MB_YESNO | MB_ICONQUESTION);
    if (answer != IDYES)
        return answer ? 1 : 2;

    // Each value whole, in one call; the first that fails ends the run.
    bool written = false;
    for (int i = 0; i < kValueCount && !g_failure.error; ++i) {
        Value &value = g_values[i];
        if (value.blocked || !value.lists[kAdd].length)
            continue;
        DWORD type = value.type == REG_EXPAND_SZ || HoldsPercent(value.next.text) ? REG_EXPAND_SZ : REG_SZ;
        status = RegSetValueExW(environment, kSavedNames[i], 0, type, reinterpret_cast<const BYTE *>(value.next.text),
                                DWORD(value.next.length + 1) * sizeof(wchar_t));
        if (status != ERROR_SUCCESS)
            g_failure.Set(DWORD(status), texts::kNotWritten, kSavedNames[i]);
        written |= status == ERROR_SUCCESS;
    }
    // Running programs that listen (Explorer) take the new values for the
    // programs they start; a program that hangs is not waited for.
    DWORD_PTR result = 0;
    bool announced = !written || SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                                                     reinterpret_cast<LPARAM>(L"Environment"), SMTO_ABORTIFHUNG, 5000,
                                                     &result);
    if (g_failure.error)
        return 2;
    Buffer<1024> done;
    done.Add(texts::kDone);
    if (!announced)
        done.Add(texts::kUnannounced);
    if (unable)
        done.Add(texts::kNotAll);
    Box(done.text, MB_OK | (unable ? MB_ICONWARNING : MB_ICONINFORMATION));
    return 2 * unable;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showCommand)
{
    (void)instance;
    (void)previousInstance;
    (void)commandLine;
    (void)showCommand;
    InitCommonControls();
    int code = Run();
    if (g_failure.error) {
        Buffer<2048> message;
        message.Format(g_failure.format, g_failure.subject);
        AddSystemWords(message, g_failure.error);
        MessageBoxW(nullptr, message.text, texts::kTitle, MB_OK | MB_ICONERROR);
        return 2;
    }
    return code;
}
