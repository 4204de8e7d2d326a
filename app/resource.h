/* Resource and control ids, shared by the code, the resource script and the
   tests. Plain C preprocessor only: windres reads this file too. */
#ifndef BRISVANE_RESOURCE_H
#define BRISVANE_RESOURCE_H

#define IDI_APP       1
#define IDD_MAIN      101
#define IDC_START     1004
#define IDC_PROGRESS  1005

#endif
