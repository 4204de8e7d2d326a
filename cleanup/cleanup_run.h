// The cleanup run: the start button's command handler and its one helper.
#pragma once

#include "platform/platform.h"

// WM_COMMAND handler of the main dialog (HANDLE_WM_COMMAND signature).
void Main_OnCommand(HWND dialog, int id, HWND control, UINT notifyCode);

// Deletes one key tree and appends its progress line to the end of the list.
void DeleteKeyAndReport(HWND listBox, HKEY root, LPCSTR subkey);
