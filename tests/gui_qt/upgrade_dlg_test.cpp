// The main dialog: start-up with each kind of configuration, the upgrade folder it finds, the
// port field, the keys and the ways out, the About box and the application object.
#include "AboutDlg.h"
#include "AppTestSupport.h"
#include "DialogUnits.h"
#include "UpgradeApp.h"
#include "UpgradeDlg.h"
#include "UpgradeFolderSettings.h"
#include "UpgradeStatus.h"
#include "VersionsDlg.h"

#include "RecordingPresenter.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>

#include <thread>

using namespace sorvel::test;

namespace {

class UpgradeDlgTest : public QtWindowTest {
protected:
    RecordingPresenter m_messages;
};

// The status line's whole text: the line's, or its tooltip's when the line had to cut it (to
// fit, with an ellipsis).
std::string StatusOf(const CUpgradeDlg& dlg) {
    auto* line = static_cast<QLabel*>(dlg.GetDlgItem(IDC_STATUS));
    EXPECT_LE(line->fontMetrics().horizontalAdvance(line->text()), line->contentsRect().width());
    EXPECT_EQ(line->toolTip().isEmpty(), !line->text().endsWith(QChar(0x2026)));
    return (line->toolTip().isEmpty() ? line->text() : line->toolTip()).toStdString();
}

// A chooser that gives the answers in order ("" cancels, as does running out) and counts its
// calls in *pAsked.
CUpgradeDlg::FolderChooser Answering(std::vector<std::string> answers, int* pAsked) {
    return [answers, pAsked](const std::string&) {
        const auto i = static_cast<std::size_t>((*pAsked)++);
        return i < answers.size() ? answers[i] : std::string();
    };
}

// The load's result sets the controls and the mode before the dialog shows.
TEST_F(UpgradeDlgTest, EachLoadResultEnablesItsControls) {
    struct Case {
        ConfigKind kind;
        BYTE result;
        bool uploadButtons;   // "Start Upload", "Versions ..."
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
          ".\\Ressources\\Configuration.zkf: No such file or directory\nlooked in "}},
        {ConfigKind::StiOnly, CONFIG_STI_ONLY, true, false, MODE_STI_ONLY, IDC_ONLY_STI, {}},
        {ConfigKind::Full, CONFIG_FULL, true, true, MODE_COMPLETE, IDC_COMPLETE_UPDATE, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        m_messages.Clear();
        ConfigFolder folder(c.kind);
        CUpgradeDlg dlg(nullptr, folder.Path());
        int asked = 0;
        dlg.SetFolderChooser(Answering({}, &asked));
        std::vector<bool> visibleAtMessage;
        m_messages.SetDefaultAnswer([&](const sorvel::MessageRequest&) {
            visibleAtMessage.push_back(dlg.isVisible());
            return IDOK;
        });
        dlg.show();

        // The message names the folder it looked in; without a configuration the chooser came.
        std::vector<std::string> expected = c.loaderMessages;
        for (std::string& text : expected)
            text += folder.Path();
        EXPECT_EQ(m_messages.Texts(), expected);
        EXPECT_EQ(asked, c.result == CONFIG_NONE ? 1 : 0);
        EXPECT_EQ(StatusOf(dlg), CUpgradeStatus::IdleText(c.result));
        EXPECT_EQ(visibleAtMessage, std::vector<bool>(expected.size(), false));
        EXPECT_EQ(dlg.m_nConfigResult, c.result);
        EXPECT_EQ(dlg.m_bConfigLoaded, c.result != CONFIG_NONE ? 1 : 0);
        EXPECT_EQ(dlg.GetUpdateMode(), c.mode);
        EXPECT_EQ(dlg.Sequencer().GetStage(), STAGE_NONE);

        EXPECT_EQ(dlg.m_btnStartUpload->isEnabled(), c.uploadButtons);
        EXPECT_FALSE(dlg.m_btnCancelUpload->isEnabled()); // nothing to cancel
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

TEST_F(UpgradeDlgTest, StartUploadHasTheFocusFirstAndTabFollowsTheTemplate) {
    ConfigFolder folder(ConfigKind::Full);
    CUpgradeDlg dlg(nullptr, folder.Path());
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    EXPECT_EQ(QApplication::focusWidget(), dlg.m_btnStartUpload);

    // Controls reached by Tab, by id, from "Exit" once round ("Cancel Upload" has nothing to do).
    dlg.GetDlgItem(IDCANCEL)->setFocus();
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
                                       IDC_COMPLETE_UPDATE, IDC_VERSIONS}));
    dlg.OnExit();
}

// Enter presses a focused "Start Upload" (the port does not open) or "Versions ...", nothing
// else, and never ends the dialog; Space presses a focused "Exit".
TEST_F(UpgradeDlgTest, EnterOnAnyControlNeverEndsTheDialog) {
    ConfigFolder folder(ConfigKind::Full);
    TempDir noDevices;
    CUpgradeDlg dlg(nullptr, folder.Path(), noDevices.Path());
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    dlg.m_cboPort->setEditText(QString::fromStdString((noDevices.Path() / "ttyNone").string()));
    for (int id : CUpgradeDlgLogic::kControls) {
        SCOPED_TRACE(id);
        QWidget* control = dlg.GetDlgItem(id);
        if (!control->isEnabled() || control->focusPolicy() == Qt::NoFocus)
            continue; // no tab stop: the progress bar, "Cancel Upload" with nothing to cancel
        control->setFocus();
        QWidget* target = QApplication::focusWidget(); // the port field's is its line edit
        m_messages.Clear();
        int versions = 0;
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
            if (id == IDC_VERSIONS)
                WhenModal<CVersionsDlg>([&](CVersionsDlg* shown) {
                    ++versions;
                    shown->close();
                });
            QTest::keyClick(target, key);
        }
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_EQ(dlg.GetUpdateMode(), MODE_COMPLETE);
        EXPECT_EQ(versions, id == IDC_VERSIONS ? 2 : 0);
        EXPECT_EQ(m_messages.Count(), id == IDC_START_UPLOAD ? 2u : 0u);
        for (const std::string& text : m_messages.Texts())
            EXPECT_EQ(text.rfind("Invalid COM port.\n", 0), 0u) << text;
    }
    QTest::keyClick(dlg.GetDlgItem(IDCANCEL), Qt::Key_Space);
    EXPECT_FALSE(dlg.isVisible());
}

// The folder loaded first: the command line's, the start folder with an upgrade, the remembered
// one, else the chooser's until one loads or the user cancels. "Open upgrade folder ..." later
// switches only to a folder that loads. The folder that loaded is remembered and current.
TEST_F(UpgradeDlgTest, TheUpgradeFolderIsFoundChosenSwitchedAndRemembered) {
    ConfigFolder empty(ConfigKind::None), start(ConfigKind::Full), kept(ConfigKind::Full),
        named(ConfigKind::StiOnly), chosen(ConfigKind::Full);
    const std::string none;
    struct Case {
        const char* name;
        const ConfigFolder& start;
        std::string remembered, commandLine;
        bool openAnother; // after the first load
        const ConfigFolder& loaded;
        BYTE result;
        std::vector<std::string> answers; // the chooser's
    };
    // clang-format off
    const Case cases[] = {
        {"nothing found: chosen", empty, none, none, false, chosen, CONFIG_FULL,
         {empty.Path(), chosen.Path()}},
        {"chooser cancelled: greyed", empty, none, none, false, empty, CONFIG_NONE, {none}},
        {"remembered next", empty, kept.Path(), none, false, kept, CONFIG_FULL, {}},
        {"start folder first", start, kept.Path(), none, false, start, CONFIG_FULL, {}},
        {"command line wins", start, kept.Path(), named.Path(), false, named, CONFIG_STI_ONLY, {}},
        {"switched", start, none, none, true, named, CONFIG_STI_ONLY, {named.Path()}},
        {"no upgrade picked: kept", start, none, none, true, start, CONFIG_FULL,
         {empty.Path(), none}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::current_path(c.start.Path());
        RememberUpgradeFolder(c.remembered);
        CUpgradeDlg dlg(nullptr, CUpgradeApp(c.commandLine).FirstFolder());
        int asked = 0;
        dlg.SetFolderChooser(Answering(c.answers, &asked));
        dlg.show();
        if (c.openAnother)
            dlg.OpenFolderAction()->trigger();
        EXPECT_EQ(asked, static_cast<int>(c.answers.size()));
        EXPECT_EQ(dlg.m_nConfigResult, c.result);
        EXPECT_EQ(dlg.GetUpdateMode(), DefaultUpdateMode(c.result));
        EXPECT_EQ(dlg.m_btnStartUpload->isEnabled(), c.result != CONFIG_NONE);
        EXPECT_TRUE(std::filesystem::equivalent(dlg.Folder(), c.loaded.Path()));
        EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), c.loaded.Path()));
        EXPECT_EQ(RememberedUpgradeFolder(), c.result != CONFIG_NONE ? dlg.Folder() : none);
        dlg.OnExit();
    }
}

TEST_F(UpgradeDlgTest, PortListStartsWithComPortsThenThisMachinesDevices) {
    TempDir root;
    root.Write("dev/ttyUSB3", std::string());
    root.Write("dev/ttyACM0", std::string());
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
    EXPECT_EQ(items, (QStringList{"COM1:", "COM2:", "COM3:", "COM4:", "/dev/ttyACM0", "/dev/ttyS5",
                                  "/dev/ttyUSB3"}));
    EXPECT_EQ(dlg.m_cboPort->currentIndex(), 0);
    // The drop-down list shows every entry without a scroll bar.
    dlg.m_cboPort->showPopup();
    EXPECT_FALSE(dlg.m_cboPort->view()->verticalScrollBar()->isVisible());
    dlg.m_cboPort->hidePopup();
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

// Without a configuration the system's folder chooser comes, once, at the folder it looked in.
TEST_F(UpgradeDlgTest, TheLoaderRunsOnceWhateverShowsTheDialog) {
    ConfigFolder empty(ConfigKind::None);
    CUpgradeDlg dlg(nullptr, empty.Path());
    int chosen = 0;
    WhenModal<QFileDialog>([&](QFileDialog* chooser) {
        ++chosen;
        EXPECT_EQ(chooser->windowTitle(), QStringLiteral("Open upgrade folder"));
        EXPECT_EQ(chooser->directory().absolutePath().toStdString(), empty.Path());
        chooser->reject();
    });
    EXPECT_TRUE(dlg.OnInitDialog());
    EXPECT_EQ(chosen, 1);
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
