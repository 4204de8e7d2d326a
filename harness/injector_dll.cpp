// brisvane_inject.dll, for the tests only: points a shipped program's import
// entries at stand-ins that count each call and fail the Nth the way Windows
// does, as Fault says in BRISVANE_FAULT ("AT CODE PERSISTENT LARGER
// FUNCTIONS"); at exit it writes "name=count" lines to BRISVANE_FAULT_COUNTS.
// Only the program's own calls go through its import table.
#include "harness/calls.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>

namespace {

using namespace harness;

LONG g_counts[kInjectableCount], g_calls /* across the chosen */, g_injected, g_at, g_code;
bool g_persistent;
int g_first = -1, g_second = -1;  // the rows of the functions named
SIZE_T g_larger;   // the heap's blocks of at most this many bytes pass
void *g_real[kInjectableCount], *g_realReAlloc;

bool Fails(int call, DWORD &code)
{
    InterlockedIncrement(&g_counts[call]);
    if (call != g_first && (call != g_second || g_injected == 0))
        return false;
    LONG n = InterlockedIncrement(&g_calls);
    DWORD failure = kInjectableCalls[call].codes[g_code % CodeCount(kInjectableCalls[call])];
    // Only one look sees a key added within the clock's tick, in either mode.
    if (g_at == 0 || n < g_at || (n > g_at && !g_persistent) || (g_injected && failure == kAddedMeanwhile))
        return false;
    code = failure;
    InterlockedIncrement(&g_injected);
    return true;
}

// A stand-in that only fails or passes the call on is StandIn<decltype(F)>::Call,
// failing as Failure::Of says; in the others FAIL_OR(name) runs what follows
// it as the failure, and REAL(name) is the function itself.
template <class Function> struct StandIn;
template <class R, class... A> struct StandIn<R WINAPI(A...)> {
    template <int row, class Failure> static R WINAPI Call(A... arguments)
    {
        static_assert(row >= 0, "the function is in harness/calls.h");
        DWORD code = 0;
        if (Fails(row, code))
            return Failure::template Of<R>(code);
        return reinterpret_cast<R(WINAPI *)(A...)>(g_real[row])(arguments...);
    }
};

struct ReturnsCode { template <class R> static R Of(DWORD code) { return R(code); } };
struct SetsLastError { template <class R> static R Of(DWORD code) { return SetLastError(code), R(); } };
struct NoHandle { template <class R> static R Of(DWORD code) { return SetLastError(code), INVALID_HANDLE_VALUE; } };

#define FAIL_OR(name)                                                      \
    constexpr int kRow = Row(#name);                                       \
    static_assert(kRow >= 0, #name " is in harness/calls.h");              \
    DWORD code = 0;                                                        \
    if (Fails(kRow, code))
#define REAL(name) reinterpret_cast<decltype(&name)>(g_real[kRow])

LSTATUS WINAPI QueryInfoKey(HKEY key, LPWSTR className, LPDWORD classLength, LPDWORD reserved, LPDWORD subkeys,
                            LPDWORD longestSubkey, LPDWORD longestClass, LPDWORD values, LPDWORD longestValueName,
                            LPDWORD longestValueData, LPDWORD security, PFILETIME written)
{
    FAIL_OR(RegQueryInfoKeyW) if (code != kWrittenMeanwhile && code != kAddedMeanwhile) return LSTATUS(code);
    LSTATUS status = REAL(RegQueryInfoKeyW)(key, className, classLength, reserved, subkeys, longestSubkey, longestClass,
                                            values, longestValueName, longestValueData, security, written);
    if (code == kWrittenMeanwhile && written)
        ++written->dwLowDateTime;
    // One fewer than there are: subkeys where there are any, else values.
    if (DWORD *count = subkeys && *subkeys ? subkeys : values && *values ? values : nullptr; code == kAddedMeanwhile && count)
        --*count;
    return status;
}

// A value that grew since it was measured.
LSTATUS WINAPI EnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type,
                         LPBYTE data, LPDWORD size)
{
    FAIL_OR(RegEnumValueW) return size && code == ERROR_MORE_DATA && (*size += 64), LSTATUS(code);
    return REAL(RegEnumValueW)(key, index, name, nameLength, reserved, type, data, size);
}

// Half the bytes written, as on a full disk.
BOOL WINAPI Write(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped)
{
    FAIL_OR(WriteFile)
    {
        DWORD part = 0;
        REAL(WriteFile)(file, data, bytes / 2, written ? written : &part, overlapped);
        return code == kShortWrite || (SetLastError(code), FALSE);
    }
    return REAL(WriteFile)(file, data, bytes, written, overlapped);
}

// The bytes lost, so that a program that trusts the file anyway shows it.
BOOL WINAPI Flush(HANDLE file)
{
    FAIL_OR(FlushFileBuffers) return SetFilePointer(file, 0, nullptr, FILE_BEGIN), SetEndOfFile(file), SetLastError(code), FALSE;
    return REAL(FlushFileBuffers)(file);
}

// Given a block size, a heap with no room left for a block that large.
LPVOID WINAPI Alloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    FAIL_OR(HeapAlloc) if (bytes > g_larger) return nullptr;
    return REAL(HeapAlloc)(heap, flags, bytes);
}

LPVOID WINAPI ReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes)
{
    FAIL_OR(HeapAlloc) if (bytes > g_larger) return nullptr;
    return reinterpret_cast<decltype(&HeapReAlloc)>(g_realReAlloc)(heap, flags, block, bytes);
}

// Held to Windows' MAX_PATH, where Wine takes longer paths.
HANDLE WINAPI Create(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                     DWORD attributes, HANDLE model)
{
    FAIL_OR(CreateFileW) return SetLastError(code), INVALID_HANDLE_VALUE;
    if (lstrlenW(name) >= MAX_PATH)
        return SetLastError(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
    return REAL(CreateFileW)(name, access, share, security, disposition, attributes, model);
}

LRESULT WINAPI Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == LB_INSERTSTRING) { FAIL_OR(SendMessageA) return LRESULT(LONG(code)); }
    return reinterpret_cast<decltype(&SendMessageA)>(g_real[Row("SendMessageA")])(window, message, wParam, lParam);
}

#define STAND_IN(name, failure) {Row(#name), reinterpret_cast<void *>(StandIn<decltype(name)>::Call<Row(#name), failure>)}
#define OWN_STAND_IN(name, standIn) {Row(#name), reinterpret_cast<void *>(standIn)}
const struct {
    int row;
    void *standIn;
    const char *name = kInjectableCalls[row].name;   // the import's
    void **real = &g_real[row];
} kStandIns[] = {
    STAND_IN(RegOpenKeyExW, ReturnsCode), STAND_IN(RegEnumKeyExW, ReturnsCode), STAND_IN(SHGetFolderPathW, ReturnsCode),
    STAND_IN(RegCreateKeyExA, ReturnsCode), STAND_IN(SHDeleteKeyA, ReturnsCode), STAND_IN(RegDeleteValueA, ReturnsCode),
    STAND_IN(RegQueryValueExW, ReturnsCode), STAND_IN(RegSetValueExW, ReturnsCode), STAND_IN(FindFirstFileW, NoHandle),
    STAND_IN(LCMapStringW, SetsLastError), STAND_IN(MoveFileExW, SetsLastError), STAND_IN(DeleteFileW, SetsLastError),
    STAND_IN(FormatMessageW, SetsLastError), STAND_IN(MessageBoxA, SetsLastError), STAND_IN(MessageBoxW, SetsLastError),
    STAND_IN(CommandLineToArgvW, SetsLastError), STAND_IN(FindNextFileW, SetsLastError), STAND_IN(ReadFile, SetsLastError),
    STAND_IN(GetFileSizeEx, SetsLastError), STAND_IN(ExpandEnvironmentStringsW, SetsLastError),
    STAND_IN(SendMessageTimeoutW, SetsLastError), OWN_STAND_IN(RegQueryInfoKeyW, QueryInfoKey),
    OWN_STAND_IN(RegEnumValueW, EnumValue), OWN_STAND_IN(CreateFileW, Create), OWN_STAND_IN(WriteFile, Write),
    OWN_STAND_IN(FlushFileBuffers, Flush), OWN_STAND_IN(SendMessageA, Send), OWN_STAND_IN(HeapAlloc, Alloc),
    {Row("HeapAlloc"), reinterpret_cast<void *>(ReAlloc), "HeapReAlloc", &g_realReAlloc},
};

void ReadChoice()
{
    char text[256], first[64] = "", second[64] = "";
    unsigned long larger = 0;
    int persistent = 0;
    DWORD length = GetEnvironmentVariableA("BRISVANE_FAULT", text, sizeof text);
    if (length == 0 || length >= sizeof text ||
        std::sscanf(text, "%ld %ld %d %lu %63[^,],%63s", &g_at, &g_code, &persistent, &larger, first, second) < 5)
        return;
    g_persistent = persistent, g_larger = larger, g_first = Row(first), g_second = *second ? Row(second) : -1;
}

void Redirect()
{
    auto base = reinterpret_cast<BYTE *>(GetModuleHandleW(nullptr));
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    // By name only, as tests/exe_check.py holds them.
    DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports); d->Name; ++d) {
        auto names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->OriginalFirstThunk);
        auto slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            const char *name = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData)->Name;
            for (const auto &standIn : kStandIns) {
                DWORD old = 0;
                if (lstrcmpA(name, standIn.name) != 0 ||
                    !VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old))
                    continue;
                *standIn.real = reinterpret_cast<void *>(slots->u1.Function);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(standIn.standIn);
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            }
        }
    }
}

// Every function the program imports: a clean run tells how many calls there are to fail.
void WriteCounts()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"BRISVANE_FAULT_COUNTS", path, MAX_PATH);
    FILE *out = length && length < MAX_PATH ? _wfopen(path, L"w") : nullptr;
    if (!out)
        return;
    for (int i = 0; i < kInjectableCount; ++i)
        if (g_real[i])
            std::fprintf(out, "%s=%ld\n", kInjectableCalls[i].name, g_counts[i]);
    std::fprintf(out, "injected=%ld\n", g_injected);
    std::fclose(out);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        ReadChoice(), Redirect();
    else if (reason == DLL_PROCESS_DETACH)
        WriteCounts();
    return TRUE;
}
