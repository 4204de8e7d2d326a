// The cleanup run. It executes synchronously on the dialog's thread; only the
// two message boxes run message loops of their own.
#include "cleanup/cleanup_run.h"

#include "app/resource.h"
#include "cleanup/targets.h"

void DeleteKeyAndReport(HWND listBox, HKEY root, LPCSTR subkey)
{
    CHAR line[kLineBufferSize];
    lstrcpyA(line, kLinePrefix);
    lstrcatA(line, subkey);
    LSTATUS result = SHDeleteKeyA(root, subkey);
    lstrcatA(line, result == ERROR_SUCCESS ? kSuccessSuffix : kFailureSuffix);
    // Inserted at the end rather than added: the list box sorts added strings.
    ListBox_InsertString(listBox, -1, line);
}

void Main_OnCommand(HWND dialog, int id, HWND control, UINT notifyCode)
{
    (void)control;
    (void)notifyCode;
    if (id != IDC_START)
        return;
    if (MessageBoxA(dialog, kConfirmText, kConfirmTitle, MB_YESNO | MB_ICONEXCLAMATION) != IDYES)
        return;

    HWND list = GetDlgItem(dialog, IDC_PROGRESS);
    HWND button = GetDlgItem(dialog, IDC_START);

    // A missing key is created, empty, as RegCreateKeyExA does. Only a key
    // that can be neither opened nor created (access denied, say) leaves no
    // values to delete and nothing to close; the key trees are still handled.
    HKEY environment = nullptr;
    bool haveEnvironment =
        RegCreateKeyExA(HKEY_CURRENT_USER, kEnvironmentSubkey, 0, nullptr, 0,
                        kEnvironmentAccess, nullptr, &environment, nullptr) == ERROR_SUCCESS;

    EnableWindow(button, FALSE);
    ListBox_ResetContent(list);
    for (const KeyTarget &target : kKeyTargets)
        DeleteKeyAndReport(list, RootKey(target.root), target.subkey);
    EnableWindow(button, TRUE);

    if (haveEnvironment)
        for (const char *value : kEnvironmentValues)
            RegDeleteValueA(environment, value);

    MessageBoxA(dialog, kDoneText, kDoneTitle, MB_ICONINFORMATION);

    if (haveEnvironment)
        RegCloseKey(environment);
}
