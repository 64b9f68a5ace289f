// Orvel's resource identifiers: the one place each is defined. Included by
// the resource script, the dialogs, the core's tables and the C++ tests;
// the Python tests read it too (tools/resource_ids.py). Plain numbers, as
// the resource compiler wants them.
#pragma once

// Dialog templates, strings, icons, bitmap.
#define IDD_ABOUTBOX        100
#define IDS_ABOUTBOX        101
#define IDD_XKT_DIALOG      102
#define IDR_MAINFRAME       128
#define IDB_TITLE           131
#define IDI_ABOUT           132

// The system-menu command that opens the about box. System commands keep
// their low four bits clear.
#define IDM_ABOUTBOX        0x0010

// Controls of the main dialog. "Quit" is the dialog's IDOK (1).
#define IDC_CONNECT         1000
#define IDC_STATUS          1001
#define IDC_INFO            1002
#define IDC_LAST_REPLY      1003
#define IDC_READ_KV         1005
#define IDC_ERASE_KV        1006
#define IDC_READ_UA         1007
#define IDC_ERASE_UA        1008
#define IDC_READ_KOHM       1009
#define IDC_ERASE_KOHM      1010
#define IDC_ERASE_ALL       1011
#define IDC_FILE_KV         1012
#define IDC_FILE_UA         1015
#define IDC_FILE_KOHM       1016
#define IDC_DATA_PATH       1022
