// brisvane-backup: saves what the cleanup would delete as a .reg file on the
// desktop (in Documents when the desktop cannot be written), says where and
// what it holds, and exits with 0 only when the file restores everything
// that was found, or nothing was there and everything could be read (1: a
// file with named gaps, 2: no file written).
#include "backup/backup.h"

#include "backup/texts.h"

using backup::Text;
namespace texts = backup::texts;

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
    // Incomplete for want of memory: nothing is written.
    if (backup::OutOfMemory()) {
        MessageBoxW(nullptr, texts::kOutOfMemory, texts::kTitle, MB_OK | MB_ICONERROR);
        return 2;
    }
    wchar_t path[backup::kPathSize] = L"";
    Text error, message;
    int code = 0;
    if (result.AnythingToSave())
        code = !backup::Save(result, now, path, error) ? 2 : result.missedCount == 0 ? 0 : 1;
    backup::Message(message, result, path, error);
    // A message cut short would not say what was saved, or why not: then the
    // box that needs no heap says whether the file, complete, is there.
    if (backup::OutOfMemory()) {
        wchar_t text[1024];
        wsprintfW(text, L"%s%s", texts::kOutOfMemorySaved, path);
        MessageBoxW(nullptr, *path ? text : texts::kOutOfMemory, texts::kTitle, MB_OK | MB_ICONERROR);
        return *path ? code : 2;
    }
    const UINT icons[] = {MB_ICONINFORMATION, MB_ICONWARNING, MB_ICONERROR};
    MessageBoxW(nullptr, message.Data(), texts::kTitle, MB_OK | icons[code]);
    return code;
}
