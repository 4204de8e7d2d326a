// The Windows calls a fault test makes a shipped program fail, by imported
// name, with the failures Windows gives that the program tells apart.
#pragma once

#include "platform/platform.h"

#include <string_view>

namespace harness {

// Not error codes: a write of half the bytes that says it succeeded; a key
// written meanwhile; one added within the clock's tick (seen by one look only).
inline constexpr DWORD kShortWrite = 0xB0000001;
inline constexpr DWORD kWrittenMeanwhile = 0xB0000002;
inline constexpr DWORD kAddedMeanwhile = 0xB0000003;

enum Exe { kBackup = 1, kTool = 2, kPath = 3 };

struct InjectableCall {
    const char *name;
    Exe exe;
    // Called (or mattering) only once this one failed: failed with it from then on.
    const char *after;
    DWORD codes[4];      // returned, or left in GetLastError
    bool whole = false;  // every call failed by tools/test, not first, middle, last
};

inline constexpr InjectableCall kInjectableCalls[] = {
    {"RegOpenKeyExW", kBackup, nullptr, {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
    {"RegQueryInfoKeyW", kBackup, nullptr, {ERROR_KEY_DELETED, kWrittenMeanwhile, kAddedMeanwhile}},
    {"RegEnumKeyExW", kBackup, nullptr, {ERROR_NO_MORE_ITEMS, ERROR_ACCESS_DENIED}},
    {"RegEnumValueW", kBackup, nullptr, {ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ERROR_NOT_ENOUGH_MEMORY}},
    // HeapReAlloc counts as HeapAlloc: from then on no allocation succeeds.
    {"HeapAlloc", kBackup, nullptr, {ERROR_NOT_ENOUGH_MEMORY}, true},
    {"LCMapStringW", kBackup, nullptr, {ERROR_INVALID_PARAMETER}},
    {"SHGetFolderPathW", kBackup, nullptr, {DWORD(E_FAIL)}, true},
    {"CreateFileW", kBackup, nullptr, {ERROR_FILE_EXISTS, ERROR_ACCESS_DENIED}, true},
    {"WriteFile", kBackup, nullptr, {ERROR_NOT_ENOUGH_QUOTA, kShortWrite}, true},
    {"FlushFileBuffers", kBackup, nullptr, {ERROR_DISK_FULL}, true},
    {"MoveFileExW", kBackup, nullptr, {ERROR_ALREADY_EXISTS, ERROR_FILE_EXISTS, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}, true},
    {"DeleteFileW", kBackup, "FlushFileBuffers", {ERROR_SHARING_VIOLATION}},
    {"FormatMessageW", kBackup, "FlushFileBuffers", {ERROR_NOT_ENOUGH_MEMORY}},
    {"HeapAlloc", kBackup, "SHGetFolderPathW", {ERROR_NOT_ENOUGH_MEMORY}},
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
    // SendMessageA: only a list box's insertion fails.
    {"RegCreateKeyExA", kTool, nullptr, {ERROR_ACCESS_DENIED}},
    {"SHDeleteKeyA", kTool, nullptr, {ERROR_ACCESS_DENIED}},
    {"RegDeleteValueA", kTool, nullptr, {ERROR_ACCESS_DENIED}},
    {"SendMessageA", kTool, nullptr, {DWORD(LB_ERRSPACE)}},
    {"MessageBoxA", kTool, nullptr, {ERROR_NOT_ENOUGH_MEMORY}},
};

inline constexpr int kInjectableCount = sizeof kInjectableCalls / sizeof *kInjectableCalls;

constexpr int CodeCount(const InjectableCall &call) { return call.codes[3] ? 4 : call.codes[2] ? 3 : call.codes[1] ? 2 : 1; }

// The first row of function `name`, or -1: the one that counts its calls.
constexpr int Row(std::string_view name, int i = 0)
{
    return i == kInjectableCount ? -1 : name == kInjectableCalls[i].name ? i : Row(name, i + 1);
}

} // namespace harness
