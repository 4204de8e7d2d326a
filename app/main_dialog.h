// The main dialog's procedure and handlers (the command handler lives with
// the cleanup run).
#pragma once

#include "platform/platform.h"

INT_PTR CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
BOOL Main_OnInitDialog(HWND dialog, HWND focusWindow, LPARAM lParam);
void Main_OnClose(HWND dialog);
