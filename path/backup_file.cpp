// Reading what brisvane-backup wrote, and nothing else: its file's opening
// lines, then its HKEY_CURRENT_USER\Environment section's value lines in
// the layout regedit exports, decoded in place.
#include "path/path.h"

#include "backup/reg_file.h"
#include "backup/texts.h"
#include "path/texts.h"

#include <shlobj.h>

namespace path {

namespace {

const wchar_t kSection[] = L"\r\n[HKEY_CURRENT_USER\\Environment]\r\n";
// A path's folder and a name found in it.
const int kFileSize = 2 * MAX_PATH + 2;
// A file larger than this leaves 32 bits no room for its NUL.
const LONGLONG kMaxFile = MAXDWORD / 2;

bool StartsWith(const wchar_t *text, const wchar_t *prefix)
{
    while (*prefix && *text == *prefix)
        ++text, ++prefix;
    return !*prefix;
}

// The first `what` in `text`, or null.
wchar_t *Find(wchar_t *text, const wchar_t *what)
{
    for (; *text; ++text)
        if (StartsWith(text, what))
            return text;
    return nullptr;
}

// A hex digit as regedit writes them, or 16 or more for anything else.
unsigned Digit(wchar_t c)
{
    unsigned digit = unsigned(c) - L'0', letter = unsigned(c) - L'a';
    return digit < 10 ? digit : letter < 6 ? letter + 10 : 16;
}

// The text after an opening quote, its escapes (\\ and \") undone in place
// and NUL-terminated; what follows its closing quote, or null where the
// line ends first.
wchar_t *Unquote(wchar_t *at)
{
    wchar_t *out = at;
    while (*at != L'"') {
        at += *at == L'\\';
        if ((*at == L'\0') | (*at == L'\r'))
            return nullptr;
        *out++ = *at++;
    }
    *out = L'\0';
    return at + 1;
}

// "xx,xx,\<CR><LF>  xx" up to the line's end, as bytes from `out` on, which
// lies no later than `at`: each byte takes at least two characters. The
// line's end, or null where something else stands in it.
wchar_t *Unhex(wchar_t *at, BYTE *out, DWORD &size)
{
    for (size = 0; *at != L'\r';) {
        unsigned high = Digit(at[0]), low = Digit(at[1]);
        if ((high | low) > 15)
            return nullptr;
        out[size++] = BYTE(high << 4 | low);
        at += 2;
        if (*at == L',')
            at += StartsWith(at + 1, L"\\\r\n  ") ? 6 : 1;
    }
    return at;
}

// The forms of data other than "text", by the type they stand for; hex(N)
// gives its type itself.
const struct {
    const wchar_t *prefix;
    DWORD type;
} kForms[] = {{L"dword:", REG_DWORD}, {L"hex:", REG_BINARY}, {L"hex(", REG_NONE}};

// One value line at `at`, `"name"=data` and its line end: its name and, for
// text, its text, both in place; what follows, or null if it is not one.
wchar_t *ValueLine(wchar_t *at, const wchar_t *&name, const wchar_t *&text)
{
    name = at + 1;
    at = Unquote(at + 1);
    if (!at || *at++ != L'=')
        return nullptr;
    DWORD type = REG_SZ, size = 0;
    wchar_t *data = at;
    if (*at == L'"') {
        at = Unquote(data = at + 1);
    } else {
        const size_t forms = sizeof kForms / sizeof *kForms;
        size_t form = 0;
        while (form < forms && !StartsWith(at, kForms[form].prefix))
            ++form;
        if (form == forms)
            return nullptr;
        at += lstrlenW(kForms[form].prefix);
        type = kForms[form].type;
        if (type == REG_NONE) { // hex(N):
            for (unsigned digit; (digit = Digit(*at)) < 16; ++at)
                type = type * 16 + digit;
            if (!StartsWith(at, L"):"))
                return nullptr;
            at += 2;
        }
        at = Unhex(at, reinterpret_cast<BYTE *>(data), size);
        // Read past the data's end by now: room for its NUL.
        data[size / sizeof(wchar_t)] = L'\0';
    }
    if (!at || !StartsWith(at, L"\r\n"))
        return nullptr;
    text = type == REG_SZ || type == REG_EXPAND_SZ ? data : nullptr;
    return at + 2;
}

// The newest backup in folder `csidl`, by the time it was written, into
// `file`; false if there is none (or no such folder), or with g_failure
// set if the folder's list could not be read.
bool Newest(int csidl, wchar_t (&file)[kFileSize])
{
    wchar_t folder[MAX_PATH], pattern[kFileSize];
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return false;
    wsprintfW(pattern, L"%s\\brisvane-backup-*.reg", folder);
    WIN32_FIND_DATAW found, newest;
    HANDLE find = FindFirstFileW(pattern, &newest);
    if (find == INVALID_HANDLE_VALUE) {
        // None there, or no such folder; any other answer is not "none".
        DWORD error = GetLastError();
        if ((error != ERROR_FILE_NOT_FOUND) & (error != ERROR_PATH_NOT_FOUND))
            g_failure.Set(error, texts::kUnreadable, folder);
        return false;
    }
    while (FindNextFileW(find, &found))
        if (CompareFileTime(&found.ftLastWriteTime, &newest.ftLastWriteTime) > 0)
            newest = found;
    DWORD error = GetLastError();
    FindClose(find);
    wsprintfW(file, L"%s\\%s", folder, newest.cFileName);
    if (error != ERROR_NO_MORE_FILES)
        return g_failure.Set(error, texts::kUnreadable, folder);
    return true;
}

// The whole of `file` in the heap, NUL-terminated; null with g_failure set.
wchar_t *Load(const wchar_t *file)
{
    HANDLE handle = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return g_failure.Set(GetLastError(), texts::kUnreadable, file), nullptr;
    LARGE_INTEGER size;
    wchar_t *text = nullptr;
    DWORD read = 0;
    if (!GetFileSizeEx(handle, &size))
        g_failure.Set(GetLastError(), texts::kUnreadable, file);
    // One too large for 32 bits is as one too large for the heap.
    else if ((size.QuadPart > kMaxFile) |
             !(text = static_cast<wchar_t *>(HeapAlloc(GetProcessHeap(), 0, size.LowPart + sizeof(wchar_t)))))
        text = nullptr, g_failure.Set(ERROR_NOT_ENOUGH_MEMORY, texts::kUnreadable, file);
    else {
        // A file that shrank as it was read is not read as a shorter one.
        DWORD error = ReadFile(handle, text, size.LowPart, &read, nullptr) ? ERROR_HANDLE_EOF : GetLastError();
        text[read / sizeof(wchar_t)] = L'\0';
        if (read != size.LowPart)
            text = nullptr, g_failure.Set(error, texts::kUnreadable, file);
    }
    CloseHandle(handle);
    return text;
}

} // namespace

bool ReadBackup(const wchar_t *given, const wchar_t *&file, const wchar_t *(&saved)[kSavedCount])
{
    static wchar_t found[kFileSize];
    file = given;
    if (!file) {
        file = found;
        bool any = Newest(CSIDL_DESKTOPDIRECTORY, found) || (!g_failure.error && Newest(CSIDL_PERSONAL, found));
        if (g_failure.error)
            return false;
        if (!any)
            return g_failure.Set(ERROR_FILE_NOT_FOUND, texts::kNoBackup, L"");
    }
    wchar_t *text = Load(file);
    if (!text)
        return false;
    // A backup's opening lines, then its environment section, if it saved any value there.
    const size_t header = lstrlenW(regfile::kHeader);
    if (!StartsWith(text, regfile::kHeader) || !StartsWith(text + header, backup::texts::kFileIntro))
        return g_failure.Set(ERROR_INVALID_DATA, texts::kNotBackup, file);
    wchar_t *at = Find(text, kSection);
    for (at = at ? at + lstrlenW(kSection) : text; at && *at == L'"';) {
        const wchar_t *name = nullptr, *value = nullptr;
        at = ValueLine(at, name, value);
        for (int i = 0; at && i < kSavedCount; ++i)
            if (lstrcmpiW(name, kSavedNames[i]) == 0)
                saved[i] = value;
    }
    if (!at)
        return g_failure.Set(ERROR_INVALID_DATA, texts::kNotBackup, file);
    return true;
}

} // namespace path
