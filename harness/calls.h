// The Windows calls a fault test makes a shipped program fail: each by the
// name the program imports it under, whose fault test fails it, and the
// failures Windows gives for it that the program's code tells apart. The one
// table for the injector (brisvane_inject.dll), both fault tests and the
// developer's guide.
#pragma once

#include "platform/platform.h"

namespace harness {

// Failures that are not an error code: WriteFile writes half its bytes and
// says it succeeded, as a write to a full disk can; RegQueryInfoKeyW gives
// another time of last writing, as for a key written meanwhile, or the same
// time and one subkey (or value) fewer than there are, as for one added
// within the clock's tick: that one only once, from then on too.
inline constexpr DWORD kShortWrite = 0xB0000001;
inline constexpr DWORD kWrittenMeanwhile = 0xB0000002;
inline constexpr DWORD kAddedMeanwhile = 0xB0000003;

enum Exe { kBackup = 1, kTool = 2, kPath = 3 };

struct InjectableCall {
    const char *name;
    Exe exe;
    // A call made only after another one failed, or failing only matters
    // then: failed together with that one, from its first call on, for each
    // of its own codes. A function's first row is the one it is failed by.
    const char *after;
    // What a failure returns, or leaves in GetLastError, by kind; up to 4.
    DWORD codes[4];
    // Failed at every call by tools/test too, not only at its first, middle
    // and last: a whole sweep of it takes seconds.
    bool whole = false;
};

inline constexpr InjectableCall kInjectableCalls[] = {
    // The backup's: a key removed meanwhile, or one denied; a list that ends
    // early or holds a value that grew since it was measured.
    {"RegOpenKeyExW", kBackup, nullptr, {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
    {"RegQueryInfoKeyW", kBackup, nullptr, {ERROR_KEY_DELETED, kWrittenMeanwhile, kAddedMeanwhile}},
    {"RegEnumKeyExW", kBackup, nullptr, {ERROR_NO_MORE_ITEMS, ERROR_ACCESS_DENIED}},
    {"RegEnumValueW", kBackup, nullptr, {ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ERROR_NOT_ENOUGH_MEMORY}},
    // One heap: HeapReAlloc's calls are counted as HeapAlloc's, so that from
    // then on no allocation succeeds.
    {"HeapAlloc", kBackup, nullptr, {ERROR_NOT_ENOUGH_MEMORY}, true},
    {"LCMapStringW", kBackup, nullptr, {ERROR_INVALID_PARAMETER}},
    {"SHGetFolderPathW", kBackup, nullptr, {DWORD(E_FAIL)}, true},
    // A name taken meanwhile, a folder denied, a quota or a disk full; an
    // antivirus holding the file just closed.
    {"CreateFileW", kBackup, nullptr, {ERROR_FILE_EXISTS, ERROR_ACCESS_DENIED}, true},
    {"WriteFile", kBackup, nullptr, {ERROR_NOT_ENOUGH_QUOTA, kShortWrite}, true},
    {"FlushFileBuffers", kBackup, nullptr, {ERROR_DISK_FULL}, true},
    {"MoveFileExW", kBackup, nullptr, {ERROR_ALREADY_EXISTS, ERROR_FILE_EXISTS, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}, true},
    {"DeleteFileW", kBackup, "FlushFileBuffers", {ERROR_SHARING_VIOLATION}},
    {"FormatMessageW", kBackup, "FlushFileBuffers", {ERROR_NOT_ENOUGH_MEMORY}},
    // The heap gone once no folder could be had: the box that needs none.
    {"HeapAlloc", kBackup, "SHGetFolderPathW", {ERROR_NOT_ENOUGH_MEMORY}},
    // brisvane-path's: no folder or list to look in, a file or a key denied,
    // a value denied or grown too long, no heap, no box. A function that an
    // earlier row names fails with that row's codes.
    {"CommandLineToArgvW", kPath, nullptr, {ERROR_NOT_ENOUGH_MEMORY}},
    {"SHGetFolderPathW", kPath, nullptr, {DWORD(E_FAIL)}},
    {"FindFirstFileW", kPath, nullptr, {ERROR_ACCESS_DENIED}},
    {"FindNextFileW", kPath, nullptr, {ERROR_ACCESS_DENIED}},
    {"CreateFileW", kPath, nullptr, {ERROR_FILE_EXISTS, ERROR_ACCESS_DENIED}},
    {"GetFileSizeEx", kPath, nullptr, {ERROR_ACCESS_DENIED}},
    {"HeapAlloc", kPath, nullptr, {ERROR_NOT_ENOUGH_MEMORY}},
    {"ReadFile", kPath, nullptr, {ERROR_LOCK_VIOLATION}},
    {"ExpandEnvironmentStringsW", kPath, nullptr, {ERROR_NOT_ENOUGH_MEMORY}},
    {"RegOpenKeyExW", kPath, nullptr, {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
    {"RegQueryValueExW", kPath, nullptr, {ERROR_ACCESS_DENIED, ERROR_MORE_DATA}},
    {"MessageBoxW", kPath, nullptr, {ERROR_NOT_ENOUGH_MEMORY}},
    {"RegSetValueExW", kPath, nullptr, {ERROR_ACCESS_DENIED}},
    {"SendMessageTimeoutW", kPath, nullptr, {ERROR_TIMEOUT}},
    {"FormatMessageW", kPath, "RegSetValueExW", {ERROR_NOT_ENOUGH_MEMORY}},
    // The tool's. SendMessageA: only a list box's insertion fails.
    {"RegCreateKeyExA", kTool, nullptr, {ERROR_ACCESS_DENIED}},
    {"SHDeleteKeyA", kTool, nullptr, {ERROR_ACCESS_DENIED}},
    {"RegDeleteValueA", kTool, nullptr, {ERROR_ACCESS_DENIED}},
    {"SendMessageA", kTool, nullptr, {DWORD(LB_ERRSPACE)}},
    {"MessageBoxA", kTool, nullptr, {ERROR_NOT_ENOUGH_MEMORY}},
};

inline constexpr int kInjectableCount = sizeof kInjectableCalls / sizeof *kInjectableCalls;

constexpr int CodeCount(const InjectableCall &call)
{
    int count = 1;
    while (count < 4 && call.codes[count])
        ++count;
    return count;
}

} // namespace harness
