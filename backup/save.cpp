// Where and how the file is written: under a temporary name no longer than
// the final one, flushed, then renamed to the first free name, durably. No
// existing file is overwritten, and no half-written one looks complete.
#include "backup/backup.h"

#include "backup/texts.h"

#include <shlobj.h>

namespace backup {

namespace {

// The system's words for `error`, on one line.
void AppendSystemMessage(Text &out, DWORD error)
{
    wchar_t text[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                  text, 512, nullptr);
    while (length && text[length - 1] <= L' ')
        --length;
    if (length)
        out.Append(text, length);
    else
        out.Format(L"错误 %lu", error);
}

// The head, then the body, then on the disk; false with `status` on failure.
bool Write(HANDLE file, const Result &result, DWORD &status)
{
    const Text *parts[] = {&result.head, &result.body};
    for (const Text *part : parts) {
        DWORD bytes = DWORD(part->Length() * sizeof(wchar_t)), written = 0;
        if (!WriteFile(file, part->Data(), bytes, &written, nullptr)) {
            status = GetLastError();
            return false;
        }
        // A write that stops short without an error has met a full disk.
        if (written != bytes) {
            status = ERROR_DISK_FULL;
            return false;
        }
    }
    if (FlushFileBuffers(file))
        return true;
    status = GetLastError();
    return false;
}

// In `folder`; on failure nothing is left (or `error` names what is) and
// `error` gains a line saying why. The names are made in fixed buffers: a
// name cut short by a full heap would be a file somewhere else.
bool SaveIn(const wchar_t *folder, const Result &result, const SYSTEMTIME &now, wchar_t (&path)[kPathSize],
            Text &error)
{
    wchar_t base[kPathSize], temporary[kPathSize];
    wsprintfW(base, L"%s\\brisvane-backup-%04u%02u%02u-%02u%02u%02u", folder, now.wYear, now.wMonth, now.wDay,
              now.wHour, now.wMinute, now.wSecond);
    auto numbered = [&base](wchar_t (&out)[kPathSize], int n, const wchar_t *extension) {
        wchar_t number[16] = L"";
        if (n > 1)
            wsprintfW(number, L"-%d", n);
        wsprintfW(out, L"%s%s%s", base, number, extension);
    };
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD status = ERROR_FILE_EXISTS;
    for (int n = 1; n < 100 && status == ERROR_FILE_EXISTS; ++n) {
        numbered(temporary, n, L".tmp");
        file = CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        status = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    }
    if (file != INVALID_HANDLE_VALUE) {
        bool ok = Write(file, result, status);
        CloseHandle(file);
        // A rename refused for a moment (an antivirus scanning the file just
        // closed) is tried again a few times, some 0.8 s in all.
        for (int n = 1, tries = 1; ok && n < 100;) {
            numbered(path, n, L".reg");
            if (MoveFileExW(temporary, path, MOVEFILE_WRITE_THROUGH))
                return true;
            status = GetLastError();
            if (status == ERROR_SHARING_VIOLATION && tries++ < 5) {
                Sleep(200);
                continue;
            }
            ok = status == ERROR_ALREADY_EXISTS || status == ERROR_FILE_EXISTS;
            ++n;
        }
        path[0] = L'\0';
        if (!DeleteFileW(temporary)) {
            DWORD why = GetLastError();
            error.Append(L"\r\n    ").Append(texts::kTemporaryLeft).Append(temporary).Append(L"（");
            AppendSystemMessage(error, why);
            error.Append(L"）");
        }
    }
    error.Append(L"\r\n    ");
    AppendSystemMessage(error, status);
    error.Append(L"（").Append(folder).Append(L"）");
    return false;
}

} // namespace

// Where the user finds the file again, and that outlives the program: the
// desktop, else Documents; never beside the program, which may be a
// temporary folder that a zip was opened into.
bool Save(const Result &result, const SYSTEMTIME &now, wchar_t (&path)[kPathSize], Text &error)
{
    static const struct {
        int id;
        const wchar_t *missing;
    } folders[] = {
        {CSIDL_DESKTOPDIRECTORY, texts::kNoDesktop},
        {CSIDL_PERSONAL, texts::kNoDocuments},
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

} // namespace backup
