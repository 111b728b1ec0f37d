// Identifiers and fixed texts of the program's windows: dialog and control ids, the About
// command of the window menu and the string table. The ids are the program's own numbering;
// GetDlgItem-style lookups in the dialogs and the tests use them.
#pragma once

// Dialogs.
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDD_UPGRADE_DIALOG = 102;
constexpr int IDD_VERSIONS = 131;

// The program icon.
constexpr int IDR_MAINFRAME = 128;

// Controls of the main dialog (IDOK and IDCANCEL come from MessageBox.h).
constexpr int IDC_VERSIONS = 3;
constexpr int IDC_PORT_COMBO = 1000;
constexpr int IDC_START_UPLOAD = 1002;
constexpr int IDC_CANCEL_UPLOAD = 1003;
constexpr int IDC_PROGRESS = 1004;
constexpr int IDC_COMPLETE_UPDATE = 1006;
constexpr int IDC_ONLY_CARTRIDGE = 1007;
constexpr int IDC_ONLY_STI = 1008;

// Controls of the version dialog.
constexpr int IDC_SOFTWARE_LABEL = 1009;
constexpr int IDC_HARDWARE_LABEL = 1010;
constexpr int IDC_BREVON_LABEL = 1011;
constexpr int IDC_PELLUM_LABEL = 1012;
constexpr int IDC_CARTRIDGE_LABEL = 1013;
constexpr int IDC_SOFTWARE_VERSION = 1014;
constexpr int IDC_HARDWARE_VERSION = 1015;
constexpr int IDC_BREVON_VERSION = 1016;
constexpr int IDC_PELLUM_VERSION = 1017;
constexpr int IDC_CARTRIDGE_TYPE = 1018;

// The About entry of the window menu; a system command's low four bits are the system's own.
constexpr unsigned IDM_ABOUTBOX = 0x0010;
constexpr unsigned kSystemCommandMask = 0xFFF0;

// String table.
constexpr int IDS_ABOUTBOX = 101;
constexpr const char* kAboutMenuText = "&About Sorvel_User...";
