// brisvane_inject.dll: fails chosen Windows calls of a shipped program, for
// the tests only. Loaded into the program before its own code runs, it
// points entries of the program's import table at stand-ins that count each
// call and fail the Nth one the way Windows fails it, once (transient) or
// from then on (persistent). What to fail comes from the environment the
// program is started with:
//   BRISVANE_FAULT_CALLS   the functions counted, by name, comma-separated
//   BRISVANE_FAULT_AT      N: the call, counted across those functions, that
//                          fails first; 0 or unset fails nothing
//   BRISVANE_FAULT_MODE    "persistent" fails every later call too
//   BRISVANE_FAULT_COUNTS  a file that gets "name=count" per function at exit,
//                          and "injected=count" of the calls it failed
// Only the program's own calls go through its import table: Windows' calls
// inside its DLLs, and this DLL's own, reach the real functions.
#include "platform/platform.h"

#include <shlobj.h>

namespace {

enum Call {
    kRegOpenKeyExW, kRegQueryInfoKeyW, kRegEnumKeyExW, kRegEnumValueW,
    kHeapAlloc, kHeapReAlloc,
    kCreateFileW, kWriteFile, kFlushFileBuffers, kMoveFileW,
    kSHGetFolderPathW,
    kRegCreateKeyExA, kSHDeleteKeyA, kRegDeleteValueA, kListInsert, kMessageBoxA,
    kCallCount
};

LONG g_counts[kCallCount];
LONG g_calls;          // across the chosen functions
LONG g_injected;       // calls failed
bool g_chosen[kCallCount];
LONG g_at;             // 0: fail nothing
bool g_persistent;
void *g_real[kCallCount];

// Counts a call of `call` and says whether it is to fail; `code` picks the
// failure, among those Windows gives for it, by the call's number.
bool Fails(Call call, DWORD &code, const DWORD *codes, size_t codeCount)
{
    InterlockedIncrement(&g_counts[call]);
    if (!g_chosen[call])
        return false;
    LONG n = InterlockedIncrement(&g_calls);
    if (g_at == 0 || n < g_at || (n > g_at && !g_persistent))
        return false;
    code = codes[DWORD(n) % codeCount];
    InterlockedIncrement(&g_injected);
    return true;
}

template <class F> F Real(Call call)
{
    return reinterpret_cast<F>(g_real[call]);
}

const DWORD kRegistryErrors[] = {ERROR_KEY_DELETED, ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY};
const DWORD kFileErrors[] = {ERROR_DISK_FULL, ERROR_ACCESS_DENIED};
const DWORD kDenied[] = {ERROR_ACCESS_DENIED};
const DWORD kNone[] = {0};
const DWORD kFolderErrors[] = {DWORD(E_FAIL), DWORD(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED))};

// The stand-ins, each with its function's signature.
#define FAIL_OR(call, codes) \
    DWORD code = 0;          \
    if (Fails(call, code, codes, sizeof codes / sizeof *codes))

LSTATUS WINAPI OpenKey(HKEY key, LPCWSTR name, DWORD options, REGSAM sam, PHKEY out)
{
    FAIL_OR(kRegOpenKeyExW, kRegistryErrors) return LSTATUS(code);
    return Real<decltype(&RegOpenKeyExW)>(kRegOpenKeyExW)(key, name, options, sam, out);
}

LSTATUS WINAPI QueryInfoKey(HKEY key, LPWSTR className, LPDWORD classLength, LPDWORD reserved, LPDWORD subkeys,
                            LPDWORD longestSubkey, LPDWORD longestClass, LPDWORD values, LPDWORD longestValueName,
                            LPDWORD longestValueData, LPDWORD security, PFILETIME written)
{
    FAIL_OR(kRegQueryInfoKeyW, kRegistryErrors) return LSTATUS(code);
    return Real<decltype(&RegQueryInfoKeyW)>(kRegQueryInfoKeyW)(key, className, classLength, reserved, subkeys,
                                                                 longestSubkey, longestClass, values,
                                                                 longestValueName, longestValueData, security,
                                                                 written);
}

LSTATUS WINAPI EnumKey(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPWSTR className,
                       LPDWORD classLength, PFILETIME written)
{
    FAIL_OR(kRegEnumKeyExW, kRegistryErrors) return LSTATUS(code);
    return Real<decltype(&RegEnumKeyExW)>(kRegEnumKeyExW)(key, index, name, nameLength, reserved, className,
                                                           classLength, written);
}

LSTATUS WINAPI EnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type,
                         LPBYTE data, LPDWORD size)
{
    FAIL_OR(kRegEnumValueW, kRegistryErrors) return LSTATUS(code);
    return Real<decltype(&RegEnumValueW)>(kRegEnumValueW)(key, index, name, nameLength, reserved, type, data, size);
}

LPVOID WINAPI Alloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    FAIL_OR(kHeapAlloc, kNone) return (void)code, nullptr;
    return Real<decltype(&HeapAlloc)>(kHeapAlloc)(heap, flags, bytes);
}

LPVOID WINAPI ReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes)
{
    FAIL_OR(kHeapReAlloc, kNone) return (void)code, nullptr;
    return Real<decltype(&HeapReAlloc)>(kHeapReAlloc)(heap, flags, block, bytes);
}

HANDLE WINAPI NewFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                         DWORD attributes, HANDLE templateFile)
{
    FAIL_OR(kCreateFileW, kFileErrors) return SetLastError(code), INVALID_HANDLE_VALUE;
    return Real<decltype(&CreateFileW)>(kCreateFileW)(name, access, share, security, disposition, attributes,
                                                       templateFile);
}

// A write that fails may have written part of its bytes, as on a full disk.
BOOL WINAPI Write(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped)
{
    FAIL_OR(kWriteFile, kFileErrors)
    {
        DWORD part = 0;
        Real<decltype(&WriteFile)>(kWriteFile)(file, data, bytes / 2, &part, overlapped);
        if (written)
            *written = part;
        SetLastError(code);
        return FALSE;
    }
    return Real<decltype(&WriteFile)>(kWriteFile)(file, data, bytes, written, overlapped);
}

// A flush that fails has not put the file's bytes on the disk: here they
// are lost, so that a program that trusts the file anyway shows it.
BOOL WINAPI Flush(HANDLE file)
{
    FAIL_OR(kFlushFileBuffers, kFileErrors)
    {
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        SetEndOfFile(file);
        SetLastError(code);
        return FALSE;
    }
    return Real<decltype(&FlushFileBuffers)>(kFlushFileBuffers)(file);
}

BOOL WINAPI Move(LPCWSTR from, LPCWSTR to)
{
    FAIL_OR(kMoveFileW, kFileErrors) return SetLastError(code), FALSE;
    return Real<decltype(&MoveFileW)>(kMoveFileW)(from, to);
}

HRESULT WINAPI FolderPath(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path)
{
    FAIL_OR(kSHGetFolderPathW, kFolderErrors) return HRESULT(code);
    return Real<decltype(&SHGetFolderPathW)>(kSHGetFolderPathW)(owner, folder, token, flags, path);
}

LSTATUS WINAPI CreateKey(HKEY key, LPCSTR name, DWORD reserved, LPSTR className, DWORD options, REGSAM sam,
                         LPSECURITY_ATTRIBUTES security, PHKEY out, LPDWORD disposition)
{
    FAIL_OR(kRegCreateKeyExA, kRegistryErrors) return LSTATUS(code);
    return Real<decltype(&RegCreateKeyExA)>(kRegCreateKeyExA)(key, name, reserved, className, options, sam,
                                                               security, out, disposition);
}

LSTATUS WINAPI DeleteKey(HKEY key, LPCSTR name)
{
    FAIL_OR(kSHDeleteKeyA, kDenied) return LSTATUS(code);
    return Real<decltype(&SHDeleteKeyA)>(kSHDeleteKeyA)(key, name);
}

LSTATUS WINAPI DeleteValue(HKEY key, LPCSTR name)
{
    FAIL_OR(kRegDeleteValueA, kDenied) return LSTATUS(code);
    return Real<decltype(&RegDeleteValueA)>(kRegDeleteValueA)(key, name);
}

// Only a list box's insertion is counted; every other message passes.
LRESULT WINAPI Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == LB_INSERTSTRING) {
        FAIL_OR(kListInsert, kNone) return (void)code, LB_ERRSPACE;
    }
    return Real<decltype(&SendMessageA)>(kListInsert)(window, message, wParam, lParam);
}

int WINAPI Box(HWND owner, LPCSTR text, LPCSTR title, UINT type)
{
    FAIL_OR(kMessageBoxA, kNone) return (void)code, SetLastError(ERROR_NOT_ENOUGH_MEMORY), 0;
    return Real<decltype(&MessageBoxA)>(kMessageBoxA)(owner, text, title, type);
}

const struct {
    const char *name;
    void *standIn;
} kCalls[kCallCount] = {
    {"RegOpenKeyExW", reinterpret_cast<void *>(OpenKey)},
    {"RegQueryInfoKeyW", reinterpret_cast<void *>(QueryInfoKey)},
    {"RegEnumKeyExW", reinterpret_cast<void *>(EnumKey)},
    {"RegEnumValueW", reinterpret_cast<void *>(EnumValue)},
    {"HeapAlloc", reinterpret_cast<void *>(Alloc)},
    {"HeapReAlloc", reinterpret_cast<void *>(ReAlloc)},
    {"CreateFileW", reinterpret_cast<void *>(NewFile)},
    {"WriteFile", reinterpret_cast<void *>(Write)},
    {"FlushFileBuffers", reinterpret_cast<void *>(Flush)},
    {"MoveFileW", reinterpret_cast<void *>(Move)},
    {"SHGetFolderPathW", reinterpret_cast<void *>(FolderPath)},
    {"RegCreateKeyExA", reinterpret_cast<void *>(CreateKey)},
    {"SHDeleteKeyA", reinterpret_cast<void *>(DeleteKey)},
    {"RegDeleteValueA", reinterpret_cast<void *>(DeleteValue)},
    {"SendMessageA", reinterpret_cast<void *>(Send)},
    {"MessageBoxA", reinterpret_cast<void *>(Box)},
};

bool SameName(const char *a, const char *b, size_t length)
{
    return CompareStringA(LOCALE_INVARIANT, 0, a, int(length), b, lstrlenA(b)) == CSTR_EQUAL;
}

void ReadChoice()
{
    char text[1024];
    DWORD length = GetEnvironmentVariableA("BRISVANE_FAULT_CALLS", text, sizeof text);
    if (length >= sizeof text)
        length = 0;
    for (DWORD start = 0, end; start < length; start = end + 1) {
        for (end = start; end < length && text[end] != ',';)
            ++end;
        for (int i = 0; i < kCallCount; ++i)
            g_chosen[i] |= SameName(text + start, kCalls[i].name, end - start);
    }
    if (GetEnvironmentVariableA("BRISVANE_FAULT_AT", text, 16) - 1 < 15)
        for (const char *c = text; *c >= '0' && *c <= '9'; ++c)
            g_at = g_at * 10 + (*c - '0');
    g_persistent = GetEnvironmentVariableA("BRISVANE_FAULT_MODE", text, 16) - 1 < 15 &&
                   lstrcmpA(text, "persistent") == 0;
}

// Points the program's import entries for the functions above at their
// stand-ins, keeping what they pointed at as the real functions.
void Redirect()
{
    auto base = reinterpret_cast<BYTE *>(GetModuleHandleW(nullptr));
    auto dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress)
        return;
    for (auto d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress); d->Name; ++d) {
        if (!d->OriginalFirstThunk)
            continue;
        auto names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->OriginalFirstThunk);
        auto slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            const char *name = reinterpret_cast<const char *>(byName->Name);
            for (int i = 0; i < kCallCount; ++i) {
                if (lstrcmpA(name, kCalls[i].name) != 0)
                    continue;
                DWORD old = 0;
                if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old))
                    break;
                g_real[i] = reinterpret_cast<void *>(slots->u1.Function);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(kCalls[i].standIn);
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            }
        }
    }
}

// "name=count" for every function the program imports, so that a clean
// run tells the tests how many calls there are to fail.
void WriteCounts()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"BRISVANE_FAULT_COUNTS", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char line[64];
    DWORD written = 0;
    for (int i = 0; i < kCallCount; ++i)
        if (g_real[i])
            WriteFile(file, line, DWORD(wsprintfA(line, "%s=%ld\n", kCalls[i].name, g_counts[i])), &written, nullptr);
    WriteFile(file, line, DWORD(wsprintfA(line, "injected=%ld\n", g_injected)), &written, nullptr);
    CloseHandle(file);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        ReadChoice();
        Redirect();
    } else if (reason == DLL_PROCESS_DETACH) {
        WriteCounts();
    }
    return TRUE;
}
