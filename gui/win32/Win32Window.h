// Window placement shared by the program's dialogs. Dialog's thread.
#pragma once

#include <windows.h>

// Places a dialog as dialog programs on Windows expect: centred over its owner window, or on
// the work area of its screen when it has none, and kept inside that work area. For
// WM_INITDIALOG, before the dialog shows (the templates place every dialog at 0, 0).
void CenterDialog(HWND hDlg);
