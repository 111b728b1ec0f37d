// The version dialog: what the loaded configuration says about the software being installed.
//
// Five read-only fields show the software, hardware, Brevon and Pellum Mail versions and the
// cartridge type, top to bottom, each beside its label; "close", Enter, Esc and the close box end
// it. The fields show their text in upper case (the texts themselves are kept as loaded) and
// scroll horizontally when a text is longer than the field, whose tooltip then shows the whole
// text; nothing is cut.
//
// Use: construct, SetConfigInfo, DoModal. The dialog keeps its own copies of the texts; it never
// touches the record it was given after SetConfigInfo returns. GUI thread only.
#pragma once

#include "ConfigFile.h"

#include <QDialog>
#include <QString>

class QLineEdit;

class CVersionsDlg : public QDialog {
    Q_OBJECT
public:
    explicit CVersionsDlg(QWidget* pParent = nullptr);
    ~CVersionsDlg() override;

    // Takes the texts of a CONFIG_STI_ONLY or CONFIG_FULL load. The Pellum Mail version is
    // taken only from a full load (other loads never read it); every other text always. Each
    // text is taken up to its first NUL; a missing text is empty. Call before DoModal.
    void SetConfigInfo(const CONFIG_INFO& info, BYTE nConfigResult);

    // Shows the dialog modally with the texts; returns IDOK ("close", Enter) or IDCANCEL.
    int DoModal();

    // The texts as taken by SetConfigInfo.
    QString m_strSoftwareVersion;
    QString m_strBrevonVersion;
    QString m_strPellumVersion;
    QString m_strHardwareVersion;
    QString m_strCartridgeType;

    // The field of control id nID (IDC_SOFTWARE_VERSION ... IDC_CARTRIDGE_TYPE), or null.
    QLineEdit* Field(int nID) const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Moves the texts into the fields.
    void DoDataExchange();

    QLineEdit* m_edtSoftware = nullptr;
    QLineEdit* m_edtHardware = nullptr;
    QLineEdit* m_edtBrevon = nullptr;
    QLineEdit* m_edtPellum = nullptr;
    QLineEdit* m_edtCartridge = nullptr;
};
