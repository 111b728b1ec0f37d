// Identifiers of the program's windows: dialog and control ids, the About command of the window
// menu and the string table. The ids are the program's own numbering; GetDlgItem-style lookups
// in the dialogs and the tests use them. Plain #defines, so that a Windows resource script can
// include this header as well as the C++ code.
#pragma once

// Dialogs.
#define IDD_ABOUTBOX 100
#define IDD_UPGRADE_DIALOG 102
#define IDD_VERSIONS 131

// The program icon.
#define IDR_MAINFRAME 128

// Controls of the main dialog (IDOK and IDCANCEL are the system's: <windows.h> on Windows,
// MessageBox.h elsewhere).
#define IDC_VERSIONS 3
#define IDC_PORT_COMBO 1000
#define IDC_START_UPLOAD 1002
#define IDC_CANCEL_UPLOAD 1003
#define IDC_PROGRESS 1004
#define IDC_COMPLETE_UPDATE 1006
#define IDC_ONLY_CARTRIDGE 1007
#define IDC_ONLY_STI 1008
// The status line below the progress bar.
#define IDC_STATUS 1019

// Controls of the version dialog.
#define IDC_SOFTWARE_LABEL 1009
#define IDC_HARDWARE_LABEL 1010
#define IDC_BREVON_LABEL 1011
#define IDC_PELLUM_LABEL 1012
#define IDC_CARTRIDGE_LABEL 1013
#define IDC_SOFTWARE_VERSION 1014
#define IDC_HARDWARE_VERSION 1015
#define IDC_BREVON_VERSION 1016
#define IDC_PELLUM_VERSION 1017
#define IDC_CARTRIDGE_TYPE 1018

// The About entry of the window menu; a system command's low four bits are the system's own.
#define IDM_ABOUTBOX 0x0010
// The window menu's "Open upgrade folder ..." entry.
#define IDM_OPENFOLDER 0x0020

// String table: IDS_ABOUTBOX is the About entry's text, "&About Sorvel_User...".
#define IDS_ABOUTBOX 101
