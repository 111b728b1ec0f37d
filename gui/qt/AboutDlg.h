// The About box: the program icon, the product line, "Version " and the project's version, and an
// OK button. Modal; it changes nothing. It closes with OK, Enter, Esc or its close box. GUI thread.
#pragma once

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    // The parent only places the box over the main dialog; it owns nothing of it.
    explicit CAboutDlg(QWidget* pParent = nullptr);

    // Runs the box modally; returns IDOK or IDCANCEL (Esc, close box).
    int DoModal();
};
