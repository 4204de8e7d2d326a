// What brisvane-path shares between its two parts: the one failure of a
// run, text in fixed buffers, and the values a backup file saved.
#pragma once

#include "platform/platform.h"

namespace path {

// Windows takes an environment value of at most this many characters, with
// its NUL; no folder of one is longer.
const int kMaxValue = 32767;

// The run's one failure: the first error, which ends the run, and what the
// box says before the system's words for it (`format`, with `subject` for
// its %s). Set returns false, for the failing step to return.
struct Failure {
    DWORD error = ERROR_SUCCESS;
    const wchar_t *format = nullptr;
    wchar_t subject[MAX_PATH];
    bool Set(DWORD code, const wchar_t *text, const wchar_t *about);
};
extern Failure g_failure;

// Text in a fixed buffer, always NUL-terminated. Add says whether all of it
// fitted; what did not is left out.
struct Fixed {
    wchar_t *text;
    size_t size, length;
    bool Add(const wchar_t *more, size_t count);
    bool Add(const wchar_t *more) { return Add(more, size_t(lstrlenW(more))); }
    // wsprintfW's way: at most 1,024 characters.
    bool Format(const wchar_t *format, ...);
};
template <size_t N> struct Buffer : Fixed {
    wchar_t data[N];
    Buffer() : Fixed{data, N, 0} { data[0] = L'\0'; }
};

// The values a backup file saved, by the backup's own name for them: null
// where it holds none, or none as text (REG_SZ or REG_EXPAND_SZ).
enum Saved { kPath, kInclude, kLib, kMSDevDir, kSavedCount };
inline constexpr const wchar_t *kSavedNames[kSavedCount] = {L"path", L"include", L"lib", L"MSDevDir"};

// The backup named by `given`, or else the newest on the desktop, then in
// Documents; `file` gets its path. False, with g_failure set, if none can be
// read as one; its text stays in the heap for the run's length.
bool ReadBackup(const wchar_t *given, const wchar_t *&file, const wchar_t *(&saved)[kSavedCount]);

} // namespace path
