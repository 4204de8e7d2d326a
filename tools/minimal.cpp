// The benchmark's baseline: the same dialog template and manifest as the
// tool, shown the same way, with a dialog procedure that does nothing.
#include "platform/platform.h"
#include "app/resource.h"

static INT_PTR CALLBACK EmptyDlgProc(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    InitCommonControls();
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, EmptyDlgProc, 0);
    return 0;
}
