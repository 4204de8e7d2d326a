// brisvane-backup: saves what the cleanup would delete as a .reg file on the
// desktop (in Documents when the desktop cannot be written), says where and
// what it holds, and exits with 0 only when the file restores everything
// that was found, or nothing was found (1: some of it, 2: no file written).
#include "backup/backup.h"

#include <shlobj.h>

namespace {

using regfile::Text;

const wchar_t kTitle[] = L"Brisvane 备份";
const wchar_t kOutOfMemory[] = L"内存不足，未能完成备份，没有写入文件。";

void AppendSystemMessage(Text &out, DWORD error)
{
    wchar_t *text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    while (length && (text[length - 1] == L'\n' || text[length - 1] == L'\r'))
        --length;
    if (text && length)
        out.Append(text, length);
    else
        out.Format(L"错误 %lu", error);
    LocalFree(text);
}

// Written in `folder` under a temporary name, then renamed to the first free
// name: no existing file is overwritten, and no half-written one looks
// complete. On failure, nothing is left and `error` gains a line saying why.
bool SaveIn(const wchar_t *folder, const backup::Result &result, const SYSTEMTIME &now, Text &path, Text &error)
{
    Text base, temporary;
    base.Append(folder).Format(L"\\brisvane-backup-%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay,
                               now.wHour, now.wMinute, now.wSecond);
    auto numbered = [&base](Text &out, int n, const wchar_t *extension) {
        out.Truncate(0);
        out.Append(base);
        if (n > 1)
            out.Format(L"-%d", n);
        out.Append(extension);
    };
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD status = ERROR_NOT_ENOUGH_MEMORY;
    // A name cut short by a full heap would be a file somewhere else.
    for (int n = 1; n < 100 && file == INVALID_HANDLE_VALUE && !regfile::OutOfMemory(); ++n) {
        numbered(temporary, n, L".reg.tmp");
        if (regfile::OutOfMemory())
            break;
        file = CreateFileW(temporary.Data(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        status = GetLastError();
        if (file == INVALID_HANDLE_VALUE && status != ERROR_FILE_EXISTS)
            break;
    }
    if (file != INVALID_HANDLE_VALUE) {
        const Text *parts[] = {&result.head, &result.body};
        bool ok = true;
        for (const Text *part : parts) {
            DWORD bytes = DWORD(part->Length() * sizeof(wchar_t)), written = 0;
            ok = WriteFile(file, part->Data(), bytes, &written, nullptr);
            status = GetLastError();
            // A write that stops short without an error has met a full disk.
            if (ok && written != bytes) {
                ok = false;
                status = ERROR_DISK_FULL;
            }
            if (!ok)
                break;
        }
        if (ok && !FlushFileBuffers(file)) {
            ok = false;
            status = GetLastError();
        }
        CloseHandle(file);
        for (int n = 1; ok && n < 100; ++n) {
            numbered(path, n, L".reg");
            if (regfile::OutOfMemory()) {
                status = ERROR_NOT_ENOUGH_MEMORY;
                break;
            }
            if (MoveFileW(temporary.Data(), path.Data()))
                return true;
            status = GetLastError();
            if (status != ERROR_ALREADY_EXISTS && status != ERROR_FILE_EXISTS)
                break;
        }
        DeleteFileW(temporary.Data());
        path.Truncate(0);
    }
    error.Append(L"\r\n    ");
    AppendSystemMessage(error, status);
    error.Append(L"（").Append(folder).Append(L"）");
    return false;
}

// Where the user finds the file again, and that outlives the program: the
// desktop, else Documents; never beside the program, which may be a
// temporary folder that a zip was opened into.
bool Save(const backup::Result &result, const SYSTEMTIME &now, Text &path, Text &error)
{
    static const struct {
        int id;
        const wchar_t *missing;
    } folders[] = {
        {CSIDL_DESKTOPDIRECTORY, L"找不到桌面文件夹"},
        {CSIDL_PERSONAL, L"找不到“文档”文件夹"},
    };
    for (const auto &folder : folders) {
        wchar_t name[MAX_PATH];
        if (FAILED(SHGetFolderPathW(nullptr, folder.id | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, name)))
            error.Append(L"\r\n    ").Append(folder.missing);
        else if (SaveIn(name, result, now, path, error))
            return true;
    }
    return false;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showCommand)
{
    (void)instance;
    (void)previousInstance;
    (void)commandLine;
    (void)showCommand;
    InitCommonControls();
    SYSTEMTIME now;
    GetLocalTime(&now);
    Text stamp;
    stamp.Format(L"%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                 now.wSecond);
    backup::Result result;
    backup::Collect(result, stamp.Data());
    if (regfile::OutOfMemory()) {
        MessageBoxW(nullptr, kOutOfMemory, kTitle, MB_OK | MB_ICONERROR);
        return 2;
    }
    Text path, error, message;
    int code = 0;
    if (result.AnythingFound())
        code = !Save(result, now, path, error) ? 2 : result.missedCount == 0 ? 0 : 1;
    backup::Message(message, result, path, error);
    // A message cut short would not say what was saved, or why not: then
    // nothing is kept, and the one message that needs no heap is shown.
    if (regfile::OutOfMemory()) {
        if (!path.Empty())
            DeleteFileW(path.Data());
        MessageBoxW(nullptr, kOutOfMemory, kTitle, MB_OK | MB_ICONERROR);
        return 2;
    }
    const UINT icons[] = {MB_ICONINFORMATION, MB_ICONWARNING, MB_ICONERROR};
    MessageBoxW(nullptr, message.Data(), kTitle, MB_OK | icons[code]);
    return code;
}
