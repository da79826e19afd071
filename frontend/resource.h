// Resource and control ids of the front end, shared by the resource script
// and the code. Plain preprocessor definitions only: the resource compiler
// reads this file too.
#ifndef QXFRONT_RESOURCE_H
#define QXFRONT_RESOURCE_H

#define IDD_ABOUTBOX        100
#define IDS_ABOUTBOX        101
#define IDD_MAIN            102
#define IDS_TEMPLATE_HDD    102
#define IDS_TEMPLATE_ZIP    103
#define IDR_MAINFRAME       128
#define IDR_TOOL_EXE        129
#define IDR_ARCHIVE         131
#define IDB_BANNER          139
#define IDR_HAND_CURSOR     143

/* The boot files for the stick's data partition, of type "STICK": the list
   of their paths, then each file in the list's order. */
#define IDR_STICK_LIST      1
#define IDR_STICK_FIRST     2

#define IDC_DRIVE_LIST      1000
#define IDC_REFRESH         1001
#define IDC_START           1002
#define IDC_PROGRESS        1003
#define IDC_BANNER          1008
#define IDC_LINK            1011
#define IDC_UNUSED_RADIO    1014
#define IDC_MODE_HDD        1015
#define IDC_MODE_ZIP        1016

/* The about item of the system menu. */
#define IDM_ABOUTBOX        0x0010

#endif
