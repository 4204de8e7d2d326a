// The benchmark's baselines: the tool's dialog template and manifest, shown
// the same way, by a procedure that does nothing; the FOCUS_START_BUTTON one
// answers TRUE to WM_INITDIALOG, so the start button gets the focus, as in the tool.
#include "platform/platform.h"
#include "app/resource.h"

static INT_PTR CALLBACK BaselineDlgProc(HWND, [[maybe_unused]] UINT message, WPARAM, LPARAM)
{
#ifdef FOCUS_START_BUTTON
    return message == WM_INITDIALOG;
#endif
    return FALSE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    InitCommonControls();
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, BaselineDlgProc, 0);
    return 0;
}
