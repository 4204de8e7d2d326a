// brisvane-backup: saves what the cleanup would delete as a .reg file on the
// desktop, says where and what it holds, and exits with 0 only when the file
// restores everything that was found (1: some of it, 2: no file written).
#include "backup/backup.h"

#include <shlobj.h>

namespace {

std::wstring SystemMessage(DWORD error)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring message = text ? text : L"错误 " + std::to_wstring(error);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
        message.pop_back();
    return message;
}

// Where the user finds the file again, and that outlives the program: the
// desktop, else Documents; never beside the program, which may be a
// temporary folder that a zip was opened into.
bool Folder(std::wstring &folder)
{
    wchar_t path[MAX_PATH];
    for (int id : {CSIDL_DESKTOPDIRECTORY, CSIDL_PERSONAL})
        if (SUCCEEDED(SHGetFolderPathW(nullptr, id | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path))) {
            folder = path;
            return true;
        }
    return false;
}

// Written under a temporary name, then renamed to the first free name: no
// existing file is overwritten, and no half-written one looks complete.
bool Save(const std::wstring &text, const SYSTEMTIME &now, std::wstring &path, std::wstring &error)
{
    std::wstring folder;
    if (!Folder(folder)) {
        error = L"找不到桌面文件夹";
        return false;
    }
    wchar_t name[64];
    wsprintfW(name, L"\\brisvane-backup-%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
              now.wMinute, now.wSecond);
    std::wstring base = folder + name;
    auto numbered = [&base](int n, const wchar_t *extension) {
        return base + (n > 1 ? L"-" + std::to_wstring(n) : L"") + extension;
    };
    HANDLE file = INVALID_HANDLE_VALUE;
    std::wstring temporary;
    for (int n = 1; n < 100 && file == INVALID_HANDLE_VALUE; ++n) {
        temporary = numbered(n, L".reg.tmp");
        file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        error = SystemMessage(GetLastError()) + L"（" + folder + L"）";
        return false;
    }
    DWORD bytes = DWORD(text.size() * sizeof(wchar_t)), written = 0;
    bool ok = WriteFile(file, text.data(), bytes, &written, nullptr) && written == bytes && FlushFileBuffers(file);
    DWORD status = GetLastError();
    CloseHandle(file);
    for (int n = 1; ok && n < 100; ++n) {
        path = numbered(n, L".reg");
        if (MoveFileW(temporary.c_str(), path.c_str()))
            return true;
        status = GetLastError();
        if (status != ERROR_ALREADY_EXISTS && status != ERROR_FILE_EXISTS)
            break;
    }
    DeleteFileW(temporary.c_str());
    path.clear();
    error = SystemMessage(status) + L"（" + folder + L"）";
    return false;
}

} // namespace

#ifndef _WIN64
// The posix runtime's exception support brings in winpthreads, which imports
// GetTickCount64, and Windows XP has none: a program importing it would not
// start there. The import is answered here, with the real one where it exists.
namespace {
ULONGLONG WINAPI TickCount64()
{
    auto real = reinterpret_cast<ULONGLONG(WINAPI *)()>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount64")));
    return real ? real() : GetTickCount();
}
} // namespace
extern "C" ULONGLONG(WINAPI *const kTickCount64Import)() __asm__("__imp__GetTickCount64@0") = TickCount64;
#endif

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showCommand)
{
    (void)instance;
    (void)previousInstance;
    (void)commandLine;
    (void)showCommand;
    InitCommonControls();
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t stamp[32];
    wsprintfW(stamp, L"%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
              now.wSecond);
    backup::Result result = backup::Collect(stamp);
    std::wstring path, error;
    int code = 0;
    if (result.AnythingFound())
        code = !Save(result.text, now, path, error) ? 2 : result.missed.empty() ? 0 : 1;
    const UINT icons[] = {MB_ICONINFORMATION, MB_ICONWARNING, MB_ICONERROR};
    MessageBoxW(nullptr, backup::Message(result, path, error).c_str(), L"Brisvane 备份", MB_OK | icons[code]);
    return code;
}
