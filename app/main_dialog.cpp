// The main dialog: its procedure only routes, one line per message.
#include "app/main_dialog.h"

#include "cleanup/cleanup_run.h"

BOOL Main_OnInitDialog(HWND dialog, HWND focusWindow, LPARAM lParam)
{
    (void)dialog;
    (void)focusWindow;
    (void)lParam;
    return TRUE; // the dialog manager focuses the first tab stop, the start button
}

void Main_OnClose(HWND dialog)
{
    EndDialog(dialog, 0);
}

INT_PTR CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
        HANDLE_MSG(dialog, WM_INITDIALOG, Main_OnInitDialog);
        HANDLE_MSG(dialog, WM_COMMAND, Main_OnCommand);
        HANDLE_MSG(dialog, WM_CLOSE, Main_OnClose);
    }
    return FALSE;
}
