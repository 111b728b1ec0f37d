// The main dialog: start-up with each kind of configuration, the port field, the ways out,
// the About box and the application object.
#include "AboutDlg.h"
#include "AppTestSupport.h"
#include "DialogUnits.h"
#include "UpgradeApp.h"
#include "UpgradeDlg.h"

#include "RecordingPresenter.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <thread>

using namespace sorvel::test;

namespace {

class UpgradeDlgTest : public QtWindowTest {
protected:
    RecordingPresenter m_messages;
};

// The load's result sets the controls and the mode before the dialog shows.
TEST_F(UpgradeDlgTest, EachLoadResultEnablesItsControls) {
    struct Case {
        ConfigKind kind;
        BYTE result;
        bool uploadButtons;   // "Start Upload", "Cancel Upload", "Versions ..."
        bool completeEnabled; // "Complete Update" and "Only the Cartridge"
        BYTE mode;
        int checkedId; // 0: no radio button marked
        std::vector<std::string> loaderMessages;
    };
    const Case cases[] = {
        {ConfigKind::None,
         CONFIG_NONE,
         false,
         true,
         MODE_NONE,
         0,
         {"Error 0x3c00 : Configuration File not found !\n"
          ".\\Ressources\\Configuration.zkf: No such file or directory"}},
        {ConfigKind::StiOnly, CONFIG_STI_ONLY, true, false, MODE_STI_ONLY, IDC_ONLY_STI, {}},
        {ConfigKind::Full, CONFIG_FULL, true, true, MODE_COMPLETE, IDC_COMPLETE_UPDATE, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        m_messages.Clear();
        ConfigFolder folder(c.kind);
        CUpgradeDlg dlg(nullptr, folder.Path());
        std::vector<bool> visibleAtMessage;
        m_messages.SetDefaultAnswer([&](const sorvel::MessageRequest&) {
            visibleAtMessage.push_back(dlg.isVisible());
            return IDOK;
        });
        dlg.show();

        EXPECT_EQ(m_messages.Texts(), c.loaderMessages);
        EXPECT_EQ(visibleAtMessage, std::vector<bool>(c.loaderMessages.size(), false));
        EXPECT_EQ(dlg.m_nConfigResult, c.result);
        EXPECT_EQ(dlg.m_bConfigLoaded, c.result != CONFIG_NONE ? 1 : 0);
        EXPECT_EQ(dlg.GetUpdateMode(), c.mode);
        EXPECT_EQ(dlg.Sequencer().GetStage(), STAGE_NONE);

        EXPECT_EQ(dlg.m_btnStartUpload->isEnabled(), c.uploadButtons);
        EXPECT_EQ(dlg.m_btnCancelUpload->isEnabled(), c.uploadButtons);
        EXPECT_EQ(dlg.m_btnVersions->isEnabled(), c.uploadButtons);
        EXPECT_EQ(dlg.m_btnCompleteUpdate->isEnabled(), c.completeEnabled);
        EXPECT_EQ(dlg.GetDlgItem(IDC_ONLY_CARTRIDGE)->isEnabled(), c.completeEnabled);
        EXPECT_TRUE(dlg.m_btnOnlySti->isEnabled());
        EXPECT_TRUE(dlg.m_cboPort->isEnabled());
        EXPECT_TRUE(dlg.GetDlgItem(IDCANCEL)->isEnabled());

        for (int id : {IDC_COMPLETE_UPDATE, IDC_ONLY_CARTRIDGE, IDC_ONLY_STI}) {
            auto* radio = qobject_cast<QRadioButton*>(dlg.GetDlgItem(id));
            ASSERT_NE(radio, nullptr);
            EXPECT_EQ(radio->isChecked(), id == c.checkedId) << id;
        }
        dlg.OnExit();
    }
}

TEST_F(UpgradeDlgTest, TemplateCaptionFrameAndInitialState) {
    ConfigFolder folder(ConfigKind::Full);
    CUpgradeDlg dlg(nullptr, folder.Path());
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Brevon Box Upgrade tool v1.3.9"));
    EXPECT_FALSE(dlg.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(dlg.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(dlg.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(dlg.windowIcon().isNull());
    EXPECT_FALSE(dlg.windowIcon().pixmap(16, 16).isNull());
    EXPECT_EQ(dlg.m_ctlProgress->value(), 0);

    // Every control lies inside the dialog: the template's units were converted consistently.
    const QRect inside = dlg.rect();
    for (QWidget* child : dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isWindow())
            continue;
        EXPECT_TRUE(inside.contains(child->geometry())) << child->objectName().toStdString();
    }
    // The buttons' column lies right of the port field, the bar below the mode group.
    EXPECT_GT(dlg.m_btnStartUpload->x(), dlg.m_cboPort->geometry().right());
    EXPECT_GT(dlg.m_ctlProgress->y(), dlg.m_btnOnlySti->geometry().bottom());
    dlg.OnExit();
}

TEST_F(UpgradeDlgTest, ExitHasTheFocusFirstAndTabFollowsTheTemplate) {
    ConfigFolder folder(ConfigKind::Full);
    CUpgradeDlg dlg(nullptr, folder.Path());
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    QWidget* exit = dlg.GetDlgItem(IDCANCEL);
    EXPECT_EQ(QApplication::focusWidget(), exit);

    // Controls reached by Tab, by id, from "Exit" once round.
    auto idOf = [&](QWidget* w) {
        for (; w && w != &dlg; w = w->parentWidget()) {
            QVariant id = w->property("dlgCtrlId");
            if (id.isValid())
                return id.toInt();
        }
        return 0;
    };
    std::vector<int> order{idOf(QApplication::focusWidget())};
    for (int i = 0; i < 10; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        int id = idOf(QApplication::focusWidget());
        if (id == IDCANCEL)
            break;
        order.push_back(id);
    }
    EXPECT_EQ(order, (std::vector<int>{IDCANCEL, IDC_PORT_COMBO, IDC_START_UPLOAD,
                                       IDC_CANCEL_UPLOAD, IDC_COMPLETE_UPDATE, IDC_VERSIONS}));
    dlg.OnExit();
}

TEST_F(UpgradeDlgTest, PortListStartsWithComPortsThenThisMachinesDevices) {
    TempDir root;
    root.Write("dev/ttyUSB3", std::string());
    // Real UARTs: ttyS0 is what "COM1:" opens and is not offered twice; ttyS5 is no COM entry.
    for (const char* uart : {"ttyS0", "ttyS5"}) {
        root.Write(std::string("dev/") + uart, std::string());
        root.Write(std::string("sys/class/tty/") + uart + "/type", std::string("4\n"));
    }
    ConfigFolder folder(ConfigKind::Full);
    CUpgradeDlg dlg(nullptr, folder.Path(), root.Path());
    dlg.show();
    QStringList items;
    for (int i = 0; i < dlg.m_cboPort->count(); ++i)
        items << dlg.m_cboPort->itemText(i);
    EXPECT_EQ(items,
              (QStringList{"COM1:", "COM2:", "COM3:", "COM4:", "/dev/ttyS5", "/dev/ttyUSB3"}));
    EXPECT_EQ(dlg.m_cboPort->currentIndex(), 0);
    dlg.UpdateData(true);
    EXPECT_EQ(dlg.m_strPort, QStringLiteral("COM1:"));
    dlg.OnExit();
}

TEST_F(UpgradeDlgTest, ATypedPortIsTakenAsTypedAndEnterNeitherClosesNorAddsIt) {
    ConfigFolder folder(ConfigKind::Full);
    TempDir noDevices;
    CUpgradeDlg dlg(nullptr, folder.Path(), noDevices.Path());
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    QLineEdit* field = dlg.m_cboPort->lineEdit();
    ASSERT_NE(field, nullptr);
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, " /dev/ttyUSB0 : x ");
    dlg.UpdateData(true);
    EXPECT_EQ(dlg.m_strPort, QStringLiteral(" /dev/ttyUSB0 : x "));

    // Enter in the field, and on a radio button: the dialog stays, the list is unchanged.
    QTest::keyClick(field, Qt::Key_Return);
    QTest::keyClick(field, Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClick(dlg.m_btnOnlySti, Qt::Key_Return);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.m_cboPort->count(), 4);
    EXPECT_EQ(dlg.m_cboPort->currentText(), QStringLiteral(" /dev/ttyUSB0 : x "));

    // A prefix of a listed name stays as typed: no completion from the list.
    field->selectAll();
    QTest::keyClicks(field, "COM1");
    dlg.UpdateData(true);
    EXPECT_EQ(dlg.m_strPort, QStringLiteral("COM1"));

    dlg.m_strPort = QStringLiteral("COM9:");
    dlg.UpdateData(false);
    EXPECT_EQ(dlg.m_cboPort->currentText(), QStringLiteral("COM9:"));
    dlg.OnExit();
}

TEST_F(UpgradeDlgTest, ExitEndsTheDialogThatDoModalRunsAndReleasesTheConfiguration) {
    ConfigFolder folder(ConfigKind::Full);
    CUpgradeDlg dlg(nullptr, folder.Path());
    WhenShown<CUpgradeDlg>([](CUpgradeDlg* d) {
        EXPECT_NE(d->m_ConfigInfo.pszCartridgeFile2, nullptr);
        QTest::mouseClick(d->GetDlgItem(IDCANCEL), Qt::LeftButton);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(dlg.m_ConfigInfo.pszCartridgeFile2, nullptr);
    EXPECT_EQ(dlg.m_ConfigInfo.pszPellumVersion, nullptr);
}

// A failed load may leave texts in the record; they are released too (no leak under ASan).
TEST_F(UpgradeDlgTest, AFailedLoadLeavesNothingBehind) {
    TempDir folder;
    ConfigFolder full(ConfigKind::Full);
    std::filesystem::copy(std::filesystem::path(full.Path()) / "Ressources",
                          folder.Path() / "Ressources");
    std::filesystem::remove(folder.Path() / "Ressources/cart2.urt");
    CUpgradeDlg dlg(nullptr, folder.Path().string());
    dlg.show();
    ASSERT_EQ(m_messages.Texts().size(), 1u);
    EXPECT_EQ(m_messages.Texts().front().rfind("Error 0x3c01 : File not found !\n", 0), 0u);
    EXPECT_EQ(dlg.m_nConfigResult, CONFIG_NONE);
    EXPECT_FALSE(dlg.m_btnVersions->isEnabled());
    dlg.OnExit();
    EXPECT_EQ(dlg.m_ConfigInfo.pszStiFile, nullptr);
}

TEST_F(UpgradeDlgTest, TheLoaderRunsOnceWhateverShowsTheDialog) {
    CUpgradeDlg dlg(nullptr, ConfigFolder(ConfigKind::None).Path());
    EXPECT_TRUE(dlg.OnInitDialog());
    dlg.show();
    dlg.hide();
    dlg.show();
    EXPECT_EQ(m_messages.Count(), 1u);
    dlg.OnExit();
}

void ExpectAboutBox(CAboutDlg* about) {
    EXPECT_EQ(about->windowTitle(), QStringLiteral("About Sorvel_User"));
    QStringList texts;
    bool icon = false;
    for (QLabel* label : about->findChildren<QLabel*>()) {
        texts << label->text();
        icon = icon || !label->pixmap().isNull();
    }
    EXPECT_TRUE(texts.contains(QStringLiteral("Brevon Box Upgrade tool")));
    EXPECT_TRUE(icon);
    auto* ok = about->findChild<QPushButton*>();
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    EXPECT_TRUE(ok->isDefault());
}

TEST_F(UpgradeDlgTest, TheAboutBoxOpensFromItsEntryAndClosesEveryWay) {
    ConfigFolder folder(ConfigKind::Full);
    CUpgradeDlg dlg(nullptr, folder.Path());
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    dlg.m_ctlProgress->setValue(30);
    EXPECT_EQ(dlg.AboutAction()->text(), QStringLiteral("&About Sorvel_User..."));
    EXPECT_TRUE(dlg.actions().contains(dlg.AboutAction()));
    EXPECT_EQ(dlg.contextMenuPolicy(), Qt::ActionsContextMenu);

    int shown = 0;
    // The entry's key, as the user reaches it: F1.
    WhenModal<CAboutDlg>([&](CAboutDlg* about) {
        ++shown;
        about->close();
    });
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
    EXPECT_EQ(shown, 1);
    const std::vector<std::function<void(CAboutDlg*)>> closers = {
        [](CAboutDlg* a) { a->findChild<QPushButton*>()->click(); },
        [](CAboutDlg* a) { QTest::keyClick(a, Qt::Key_Return); },
        [](CAboutDlg* a) { QTest::keyClick(a, Qt::Key_Escape); },
        [](CAboutDlg* a) { a->close(); },
    };
    for (const auto& closeIt : closers) {
        WhenModal<CAboutDlg>([&](CAboutDlg* about) {
            ++shown;
            ExpectAboutBox(about);
            closeIt(about);
        });
        dlg.OnSysCommand(IDM_ABOUTBOX);
    }
    EXPECT_EQ(shown, 5);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.m_ctlProgress->value(), 30);
    dlg.OnExit();
}

TEST(DialogUnits, MulDivRoundsHalvesAwayFromZero) {
    EXPECT_EQ(CDialogUnits::MulDiv(135, 6, 4), 203); // 202.5
    EXPECT_EQ(CDialogUnits::MulDiv(53, 13, 8), 86);  // 86.125
    EXPECT_EQ(CDialogUnits::MulDiv(7, 13, 8), 11);   // 11.375
    EXPECT_EQ(CDialogUnits::MulDiv(-3, 5, 2), -8);   // -7.5
    EXPECT_EQ(CDialogUnits::MulDiv(1, 1, 0), -1);
    CDialogUnits du(6, 13);
    EXPECT_EQ(du.Rect(135, 53, 50, 14), QRect(203, 86, 75, 23));
}

class UpgradeAppTest : public UpgradeDlgTest {};

TEST_F(UpgradeAppTest, InitInstanceRunsTheDialogAndEndsWithIt) {
    ConfigFolder folder(ConfigKind::StiOnly);
    CUpgradeApp app(folder.Path());
    EXPECT_FALSE(app.PostToMainWnd([](CUpgradeDlg&) {}));
    int posted = 0;
    BYTE mode = 0;
    WhenShown<CUpgradeDlg>([&](CUpgradeDlg* dlg) {
        EXPECT_EQ(app.GetMainWnd(), dlg);
        std::thread([&] {
            EXPECT_TRUE(app.PostToMainWnd([&](CUpgradeDlg& d) {
                ++posted;
                mode = d.GetUpdateMode();
            }));
        }).join();
        EXPECT_TRUE(WaitFor([&] { return posted == 1; }));
        QTest::keyClick(dlg, Qt::Key_Escape);
    });
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(mode, MODE_STI_ONLY);
    EXPECT_EQ(app.GetMainWnd(), nullptr);
    EXPECT_FALSE(app.PostToMainWnd([&](CUpgradeDlg&) { ++posted; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(posted, 1);
}

} // namespace
