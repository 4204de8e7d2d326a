// Program entry: initialise the common controls, run the dialog, exit with 0.
#include "app/main_dialog.h"
#include "app/resource.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showCommand)
{
    (void)previousInstance;
    (void)commandLine;
    (void)showCommand;
    InitCommonControls();
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDlgProc, 0);
    return 0;
}
