// The version dialog: its template, the texts of STI-only and full loads, and the main
// dialog's copy of the configuration.
#include "AppTestSupport.h"
#include "UpgradeDlg.h"
#include "VersionsDlg.h"

#include "RecordingPresenter.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cstring>

using namespace sorvel::test;

namespace {

class VersionsDlgTest : public QtWindowTest {
protected:
    RecordingPresenter m_messages;
};

// The five fields, top to bottom as the dialog shows them.
struct ShownFields {
    QString software, hardware, brevon, pellum, cartridge;
    bool readOnly = true;
};

ShownFields Read(CVersionsDlg* dlg) {
    ShownFields f;
    const std::pair<int, QString*> ids[] = {{IDC_SOFTWARE_VERSION, &f.software},
                                            {IDC_HARDWARE_VERSION, &f.hardware},
                                            {IDC_BREVON_VERSION, &f.brevon},
                                            {IDC_PELLUM_VERSION, &f.pellum},
                                            {IDC_CARTRIDGE_TYPE, &f.cartridge}};
    int lastY = -1;
    for (const auto& [id, text] : ids) {
        QLineEdit* edit = dlg->Field(id);
        EXPECT_NE(edit, nullptr);
        if (!edit)
            continue;
        *text = edit->text();
        f.readOnly = f.readOnly && edit->isReadOnly();
        EXPECT_GT(edit->y(), lastY) << "field " << id << " out of order";
        lastY = edit->y();
    }
    return f;
}

// Opens "Versions ..." on the main dialog and returns what the version dialog showed.
ShownFields OpenVersions(CUpgradeDlg& dlg) {
    ShownFields shown;
    WhenModal<CVersionsDlg>([&](CVersionsDlg* versions) {
        shown = Read(versions);
        versions->findChild<QPushButton*>()->click();
    });
    dlg.m_btnVersions->click();
    return shown;
}

std::string Text(const char* p) {
    return p ? std::string(p) : std::string("<null>");
}

// Shown in upper case, twice in a row, with the main dialog's record unchanged. An STI-only load
// leaves the Pellum Mail version empty although the file has it.
TEST_F(VersionsDlgTest, EachLoadShowsItsTextsTwiceWithTheRecordUnchanged) {
    for (ConfigKind kind : {ConfigKind::Full, ConfigKind::StiOnly}) {
        SCOPED_TRACE(static_cast<int>(kind));
        ConfigFolder folder(kind);
        CUpgradeDlg dlg(nullptr, folder.Path());
        dlg.show();
        ASSERT_EQ(dlg.m_nConfigResult, kind == ConfigKind::Full ? CONFIG_FULL : CONFIG_STI_ONLY);
        const CONFIG_INFO before = dlg.m_ConfigInfo; // pointers and lengths
        const std::string pellumBefore = Text(before.pszPellumVersion);
        for (int round = 0; round < 2; ++round) {
            ShownFields f = OpenVersions(dlg);
            EXPECT_EQ(f.software, QStringLiteral("SW-1.3.9B"));
            EXPECT_EQ(f.hardware, QStringLiteral("HW REV C"));
            EXPECT_EQ(f.brevon, QStringLiteral("BREVON 4.2A"));
            EXPECT_EQ(f.pellum,
                      kind == ConfigKind::Full ? QStringLiteral("PELLUM 7.0") : QString());
            EXPECT_EQ(f.cartridge, QStringLiteral("CT-X2"));
            EXPECT_TRUE(f.readOnly);
        }
        EXPECT_EQ(0, std::memcmp(&before, &dlg.m_ConfigInfo, sizeof before));
        EXPECT_EQ(Text(dlg.m_ConfigInfo.pszPellumVersion), pellumBefore);
        EXPECT_EQ(Text(dlg.m_ConfigInfo.pszSoftwareVersion), ConfigTexts::kSoftware);
        dlg.OnExit();
    }
}

TEST_F(VersionsDlgTest, CopyTakesFreshBlocksAndOnlyTheTextsOfTheLoad) {
    ConfigFolder folder(ConfigKind::StiOnly);
    CUpgradeDlg dlg(nullptr, folder.Path());
    dlg.show();
    CONFIG_INFO copy;
    dlg.CopyConfigInfo(&copy);
    ASSERT_NE(copy.pszStiFile, nullptr);
    EXPECT_NE(copy.pszStiFile, dlg.m_ConfigInfo.pszStiFile);
    EXPECT_STREQ(copy.pszStiFile, dlg.m_ConfigInfo.pszStiFile);
    EXPECT_STREQ(copy.pszBrevonVersion, ConfigTexts::kBrevon);
    EXPECT_STREQ(copy.szCartridgeType, ConfigTexts::kCartridgeType);
    EXPECT_EQ(copy.pszPellumVersion, nullptr);
    EXPECT_EQ(copy.pszCartridgeFile1, nullptr);
    EXPECT_EQ(copy.nSoftwareVersionLen, dlg.m_ConfigInfo.nSoftwareVersionLen);
    ReleaseConfigStrings(&copy);
    dlg.OnExit();
}

TEST_F(VersionsDlgTest, TemplateTextsAndOrder) {
    CVersionsDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Brevon Upgrade Tool - Version Infos"));
    QStringList labels;
    for (QLabel* label : dlg.findChildren<QLabel*>())
        labels << label->text();
    EXPECT_EQ(labels,
              (QStringList{"Software version ", "Hardware version", "Brevon version",
                           "Pellum Mail version", "Cartridge Type", ":", ":", ":", ":", ":"}));
    auto* close = dlg.findChild<QPushButton*>();
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(close->text(), QStringLiteral("close"));
    EXPECT_TRUE(close->isDefault());
    // Tab order: "close", then the fields top to bottom.
    QWidget* w = close;
    for (int id : {IDC_SOFTWARE_VERSION, IDC_HARDWARE_VERSION, IDC_BREVON_VERSION,
                   IDC_PELLUM_VERSION, IDC_CARTRIDGE_TYPE}) {
        do
            w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus));
        EXPECT_EQ(w, dlg.Field(id)) << id;
    }
}

TEST_F(VersionsDlgTest, TextsAreShownWholeUpToTheirNulAndKeptAsGiven) {
    std::string longVersion = "\xc3\xa9" + std::string(40000, 'v') + "END"; // UTF-8 e-acute first
    char cartridge[6] = {'a', 'b', 'c', 'd', 'e', 'f'}; // no NUL inside the field
    CONFIG_INFO info;
    info.pszSoftwareVersion = longVersion.data();
    info.pszHardwareVersion = const_cast<char*>("hw\0hidden");
    info.pszBrevonVersion = const_cast<char*>("b\xe9ta"); // Latin-1 "beta" with e-acute
    info.pszPellumVersion = const_cast<char*>("never read");
    std::memcpy(info.szCartridgeType, cartridge, sizeof cartridge);

    CVersionsDlg dlg;
    dlg.SetConfigInfo(info, CONFIG_STI_ONLY);
    EXPECT_EQ(dlg.m_strSoftwareVersion.size(), 40004);
    EXPECT_TRUE(dlg.m_strSoftwareVersion.startsWith(QString::fromUtf8("\xc3\xa9v")));
    EXPECT_EQ(dlg.m_strHardwareVersion, QStringLiteral("hw"));
    EXPECT_EQ(dlg.m_strBrevonVersion, QString::fromLatin1("b\xe9ta"));
    EXPECT_EQ(dlg.m_strPellumVersion, QString());
    EXPECT_EQ(dlg.m_strCartridgeType, QStringLiteral("abcdef"));

    WhenModal<CVersionsDlg>([](CVersionsDlg* d) {
        QString shown = d->Field(IDC_SOFTWARE_VERSION)->text();
        EXPECT_EQ(shown.size(), 40004);
        EXPECT_TRUE(shown.endsWith(QStringLiteral("VEND")));
        EXPECT_EQ(d->Field(IDC_CARTRIDGE_TYPE)->text(), QStringLiteral("ABCDEF"));
        // The field keeps its width; what it cannot show is in its tooltip.
        EXPECT_EQ(d->Field(IDC_SOFTWARE_VERSION)->toolTip(), shown);
        EXPECT_EQ(d->Field(IDC_CARTRIDGE_TYPE)->toolTip(), QString());
        EXPECT_EQ(d->Field(IDC_SOFTWARE_VERSION)->width(), d->Field(IDC_CARTRIDGE_TYPE)->width());
        QTest::keyClick(d, Qt::Key_Escape);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    // The dialog's own texts keep their case.
    EXPECT_EQ(dlg.m_strCartridgeType, QStringLiteral("abcdef"));
}

} // namespace
