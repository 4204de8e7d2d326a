// The benchmark's baselines: the tool's dialog template and manifest, shown
// the same way, with a dialog procedure that does nothing at all; the
// FOCUS_START_BUTTON one only answers TRUE to WM_INITDIALOG, so that the
// dialog manager focuses the start button, as the tool must.
#include "platform/platform.h"
#include "app/resource.h"

static INT_PTR CALLBACK BaselineDlgProc(HWND, [[maybe_unused]] UINT message, WPARAM, LPARAM)
{
#ifdef FOCUS_START_BUTTON
    return message == WM_INITDIALOG;
#else
    return FALSE;
#endif
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    InitCommonControls();
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, BaselineDlgProc, 0);
    return 0;
}
