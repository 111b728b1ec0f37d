// The main dialog driving real uploads: the buttons, the stage prompts and the progress bar,
// with the real engine on a pseudo-terminal against the box simulator, which checks every byte,
// and the Qt presenter showing every box as the program does. The port is typed into the port
// field as the simulator's device path.
#include "AppTestSupport.h"
#include "BoxSimulator.h"
#include "Program.h"
#include "QtMessagePresenter.h"
#include "SimulatedUpgrade.h"
#include "UpgradeApp.h"
#include "UpgradeDlg.h"
#include "UpgradeRecord.h"
#include "UpgradeStatus.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sys/file.h>
#include <unistd.h>

using namespace sorvel::test;
using namespace std::chrono_literals;
using sorvel::boxsim::BoxSimulator;

namespace {

// The window menu's "Close".
constexpr unsigned kScClose = 0xF060;

// True while some process holds the port's exclusive lock, as the engine does while connected.
bool PortHeld(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

// The visible top-level message box whose text starts with text, or null.
QMessageBox* FindBox(const std::string& text) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->isVisible() && box->text().toStdString().rfind(text, 0) == 0)
            return box;
    }
    return nullptr;
}

QMessageBox* WaitForBox(const std::string& text) {
    QMessageBox* found = nullptr;
    WaitFor([&] { return (found = FindBox(text)) != nullptr; }, 20s);
    return found;
}

// A stage prompt: no owner, not modal, on top of every window, the program's caption.
void ExpectStagePrompt(QMessageBox* prompt, QMessageBox::StandardButtons buttons) {
    EXPECT_EQ(prompt->parentWidget(), nullptr);
    EXPECT_EQ(prompt->windowModality(), Qt::NonModal);
    EXPECT_TRUE(prompt->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(prompt->windowTitle().toStdString(), sorvel::ApplicationTitle());
    EXPECT_EQ(prompt->standardButtons(), buttons);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// A modal box as the test saw it.
struct SeenBox {
    std::string text;
    QWidget* parent;
    Qt::WindowModality modality;
    bool onTop;
    std::string caption;
};

// Answers the next modal message box with button, noting what it showed; then (before
// answering) arms the next answer, if any.
void AnswerModal(std::vector<SeenBox>& seen, QMessageBox::StandardButton button,
                 std::function<void()> armNext = {}) {
    WhenModal<QMessageBox>([&seen, button, armNext](QMessageBox* box) {
        seen.push_back({box->text().toStdString(), box->parentWidget(), box->windowModality(),
                        box->windowFlags().testFlag(Qt::WindowStaysOnTopHint),
                        box->windowTitle().toStdString()});
        if (armNext)
            armNext();
        QAbstractButton* answer = box->button(button);
        if (answer == nullptr) {
            ADD_FAILURE() << "no such button on \"" << seen.back().text << '"';
            box->done(0);
            return;
        }
        answer->click();
    });
}

std::vector<std::string> TextsOf(const std::vector<SeenBox>& seen) {
    std::vector<std::string> texts;
    for (const SeenBox& box : seen)
        texts.push_back(box.text);
    return texts;
}

// A click as the user makes it: through the dialog's window, so that a window blocked by a
// modal box would not take it.
// pos: where on the control (its centre by default).
void ClickThroughWindow(QWidget* dialog, QWidget* control, std::optional<QPoint> pos = {}) {
    QTest::mouseClick(dialog->windowHandle(), Qt::LeftButton, {},
                      control->mapTo(dialog, pos.value_or(control->rect().center())));
}

// A radio button is clicked on its mark.
void ClickRadioThroughWindow(QWidget* dialog, QWidget* radio) {
    ClickThroughWindow(dialog, radio, QPoint(5, radio->height() / 2));
}

// What the dialog shows of its state: the controls that act ("modes": the mode buttons), then
// the status line's whole text (its tooltip's when the line cuts it).
std::string StateOf(const CUpgradeDlg& dlg) {
    std::string state;
    for (auto [id, name] :
         {std::pair{IDC_START_UPLOAD, "start"}, std::pair{IDC_CANCEL_UPLOAD, "cancel"},
          std::pair{IDC_PORT_COMBO, "port"}, std::pair{IDC_ONLY_STI, "modes"}}) {
        if (dlg.GetDlgItem(id)->isEnabled())
            state += std::string(name) + " ";
    }
    if (dlg.OpenFolderAction()->isEnabled())
        state += "folder ";
    auto* line = static_cast<QLabel*>(dlg.GetDlgItem(IDC_STATUS));
    return state + "| " +
           (line->toolTip().isEmpty() ? line->text() : line->toolTip()).toStdString();
}

class DialogUploadTest : public QtWindowTest {
protected:
    void SetUp() override {
        m_presenter.Install();
        UpgradeFolder folder({6, 200}, {5, 300}, {4, 250});
        folder.softwareVersion = ConfigTexts::kSoftware;
        const auto files = folder.Write(m_dir);
        m_sti = files.sti;
        m_cart1 = files.cart1;
        m_cart2 = files.cart2;
    }

    void TearDown() override {
        // However a test ended, the dialog's end stops the sequence and closes its prompts.
        m_dlg.reset();
        EXPECT_EQ(g_nUploadState.load(), STATE_IDLE);
        if (m_box) {
            EXPECT_TRUE(WaitFor([&] { return !PortHeld(m_box->SlavePath()); }));
        }
        QtWindowTest::TearDown();
    }

    // A simulated box expecting the files in order (none: it takes any records).
    BoxSimulator& Box(std::vector<std::string> files, sorvel::boxsim::Options options = {}) {
        m_box = StartBox(files, std::move(options));
        return *m_box;
    }

    // The main dialog as the program shows it, with the box's device typed into the port field.
    CUpgradeDlg& OpenDialog() {
        m_dlg = std::make_unique<CUpgradeDlg>(nullptr, m_dir.Path().string(), m_noDevices.Path());
        m_dlg->SetPresenter(&m_presenter);
        m_presenter.SetOwner(m_dlg.get());
        m_dlg->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(m_dlg.get()));
        EXPECT_EQ(m_dlg->m_nConfigResult, CONFIG_FULL);
        TypePort(m_box->SlavePath());
        return *m_dlg;
    }

    void TypePort(const std::string& port) {
        QLineEdit* field = m_dlg->m_cboPort->lineEdit();
        field->selectAll();
        QTest::keyClicks(field, QString::fromStdString(port));
        EXPECT_EQ(m_dlg->m_cboPort->currentText().toStdString(), port);
    }

    // Starts a complete update and waits for the reboot prompt after the STI file.
    QMessageBox* StartAndWaitForRebootPrompt() {
        ClickThroughWindow(m_dlg.get(), m_dlg->m_btnStartUpload);
        QMessageBox* reboot = WaitForBox(kReboot);
        EXPECT_NE(reboot, nullptr);
        return reboot;
    }

    bool InState(int state) const { return g_nUploadState.load() == state; }

    CQtMessagePresenter m_presenter;
    TempDir m_dir;
    TempDir m_noDevices;
    std::string m_sti, m_cart1, m_cart2;
    std::unique_ptr<BoxSimulator> m_box;
    std::unique_ptr<CUpgradeDlg> m_dlg;
};

// The controls and the status line follow the update: what a technician sees at each step.
TEST_F(DialogUploadTest, CompleteUpdateWithThePromptsAnsweredEndsWithGoodAndEveryByteArrived) {
    // A line slow enough (about 0.1 s a record) for the test to see a file on its way.
    sorvel::boxsim::Options slow;
    slow.baud = 19200;
    Box({m_sti, m_cart1, m_cart2}, slow);
    CUpgradeDlg& dlg = OpenDialog();
    std::vector<int> bar{dlg.m_ctlProgress->value()};
    QObject::connect(dlg.m_ctlProgress, &QProgressBar::valueChanged,
                     [&](int value) { bar.push_back(value); });
    const std::string idle = "start port modes folder | ",
                      sent = " sent. Answer the message to go on.";
    std::vector<std::string> seen{StateOf(dlg)};
    const std::vector<std::string> expected = {
        idle + CUpgradeStatus::IdleText(CONFIG_FULL),
        "cancel | File 1 of 3: sti.urt: ", // then the percentage and the time left
        "cancel | File 1 of 3: sti.urt" + sent,
        "cancel | File 2 of 3: cart1.urt" + sent,
        idle + "Updated: The box received sti.urt, cart1.urt and cart2.urt.",
    };

    ClickThroughWindow(m_dlg.get(), m_dlg->m_btnStartUpload);
    ASSERT_TRUE(WaitFor([&] { return dlg.m_ctlProgress->value() > 0; }));
    seen.push_back(StateOf(dlg));
    EXPECT_NE(seen.back().find(" %"), std::string::npos) << seen.back();
    seen.back().resize(std::min(seen.back().size(), expected[1].size()));
    QMessageBox* reboot = WaitForBox(kReboot);
    ASSERT_NE(reboot, nullptr);
    seen.push_back(StateOf(dlg));
    ExpectStagePrompt(reboot, QMessageBox::Ok | QMessageBox::Cancel);
    // The engine reports a file through once its last record is written; the box may still be
    // reading it.
    EXPECT_TRUE(m_box->WaitForFilesCompleted(1, 10s));
    EXPECT_TRUE(InState(STATE_STAGE_DONE));
    EXPECT_EQ(dlg.m_ctlProgress->value(), 0);
    EXPECT_TRUE(PortHeld(m_box->SlavePath()));
    QTest::mouseClick(reboot->button(QMessageBox::Ok), Qt::LeftButton);

    QMessageBox* file = WaitForBox(kFile);
    ASSERT_NE(file, nullptr);
    seen.push_back(StateOf(dlg));
    ExpectStagePrompt(file, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_TRUE(m_box->WaitForFilesCompleted(2, 10s));
    QTest::mouseClick(file->button(QMessageBox::Ok), Qt::LeftButton);

    QMessageBox* good = WaitForBox(kGood);
    ASSERT_NE(good, nullptr);
    ExpectStagePrompt(good, QMessageBox::Ok);
    ASSERT_TRUE(m_box->WaitForFilesCompleted(3, 10s));
    const sorvel::boxsim::Report report = m_box->GetReport();
    EXPECT_TRUE(report.AllIntact()) << (report.errors.empty() ? "" : report.errors.front());
    EXPECT_EQ(report.handshakesAnswered, 3u);
    seen.push_back(StateOf(dlg));
    EXPECT_EQ(seen, expected);

    // The sequence is over before the user has read the message: idle, port free, bar at 0.
    EXPECT_TRUE(InState(STATE_IDLE));
    EXPECT_EQ(dlg.Sequencer().GetStage(), STAGE_NONE);
    EXPECT_EQ(dlg.m_ctlProgress->value(), 0);
    EXPECT_TRUE(WaitFor([&] { return !PortHeld(m_box->SlavePath()); }));
    // The bar rose from 0 once per file, stayed below 100 on the way and went back to 0.
    int rises = 0;
    for (std::size_t i = 1; i < bar.size(); ++i)
        rises += bar[i - 1] == 0 && bar[i] > 0;
    EXPECT_EQ(rises, 3) << ::testing::PrintToString(bar);
    EXPECT_GT(std::count_if(bar.begin(), bar.end(), [](int v) { return v > 0 && v < 100; }), 3);
    ASSERT_FALSE(bar.empty());
    EXPECT_EQ(bar.back(), 0);

    QTest::mouseClick(good->button(QMessageBox::Ok), Qt::LeftButton);
    EXPECT_TRUE(WaitFor([] { return FindBox(kGood) == nullptr; }));
    ClickThroughWindow(&dlg, dlg.GetDlgItem(IDCANCEL));
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.m_ConfigInfo.pszStiFile, nullptr);
}

// A line lost in the middle of a file, and a file cut after the start-up check: the sequence
// stops with the message and the reason below it, the port is released at once, and the buttons
// stay usable for the next attempt.
TEST_F(DialogUploadTest, AFaultStopsWithItsReasonAndReleasesThePort) {
    struct Case {
        const char* name;
        unsigned hangUpAfter;
        bool cutWhileRebootPromptOpen;
        std::string text; // the beginning of the message
        std::size_t intact;
    };
    const std::vector<Case> cases = {
        {"hang-up mid-file", 3, false, kTimeout + "\nthe port was disconnected", 0},
        // The box took the STI file's 6 records, but nothing told the program so.
        {"hang-up right after the last record", 6, false, kTimeout + "\nthe port was disconnected",
         1},
        {"file cut after the check", 0, true, "Error 0x1c02 : Unknown uart file\n" + m_cart1 + ": ",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sorvel::boxsim::Options options;
        options.hangUpAfter = c.hangUpAfter;
        Box({m_sti, m_cart1, m_cart2}, options);
        CUpgradeDlg& dlg = OpenDialog();
        if (c.cutWhileRebootPromptOpen) {
            QMessageBox* reboot = StartAndWaitForRebootPrompt();
            ASSERT_NE(reboot, nullptr);
            std::filesystem::resize_file(m_cart1, std::filesystem::file_size(m_cart1) - 100);
            QTest::mouseClick(reboot->button(QMessageBox::Ok), Qt::LeftButton);
        } else {
            ClickThroughWindow(&dlg, dlg.m_btnStartUpload);
        }
        QMessageBox* stopped = nullptr;
        ASSERT_TRUE(WaitFor(
            [&] {
                for (QWidget* widget : QApplication::topLevelWidgets()) {
                    auto* box = qobject_cast<QMessageBox*>(widget);
                    if (box && box->isVisible() && box->text().toStdString().rfind(c.text, 0) == 0)
                        stopped = box;
                }
                return stopped != nullptr;
            },
            20s));
        ExpectStagePrompt(stopped, QMessageBox::Ok);
        EXPECT_TRUE(InState(STATE_STOPPED));
        EXPECT_FALSE(PortHeld(m_box->SlavePath()));
        // Nothing is left to cancel; the next attempt may start.
        EXPECT_TRUE(dlg.m_btnStartUpload->isEnabled());
        EXPECT_FALSE(dlg.m_btnCancelUpload->isEnabled());
        EXPECT_EQ(m_box->GetReport().filesCompleted, c.intact);
        QTest::mouseClick(stopped->button(QMessageBox::Ok), Qt::LeftButton);
        m_dlg.reset();
    }
}

TEST_F(DialogUploadTest, ExitEveryWayDuringAnUploadShowsTheMessageAndKeepsTheDialog) {
    // The box takes three records and then stops asking: the upload stays under way.
    sorvel::boxsim::Options stalls;
    stalls.stopAfter = 3;
    Box({}, stalls);
    CUpgradeDlg& dlg = OpenDialog();
    ClickThroughWindow(&dlg, dlg.m_btnStartUpload);
    ASSERT_TRUE(m_box->WaitForRecords(3, 10s));
    // The bar follows the upload while it runs.
    ASSERT_TRUE(WaitFor([&] { return dlg.m_ctlProgress->value() > 0; }));
    EXPECT_LT(dlg.m_ctlProgress->value(), 100);
    EXPECT_TRUE(InState(STATE_UPLOADING));

    const std::vector<std::pair<const char*, std::function<void()>>> waysOut = {
        {"Exit", [&] { ClickThroughWindow(&dlg, dlg.GetDlgItem(IDCANCEL)); }},
        {"Esc", [&] { QTest::keyClick(&dlg, Qt::Key_Escape); }},
        {"close box", [&] { dlg.close(); }},
        {"window menu Close", [&] { dlg.OnSysCommand(kScClose); }},
    };
    std::vector<SeenBox> seen;
    for (const auto& [name, wayOut] : waysOut) {
        SCOPED_TRACE(name);
        const std::size_t before = seen.size();
        AnswerModal(seen, QMessageBox::Ok);
        wayOut();
        ASSERT_EQ(seen.size(), before + 1);
        EXPECT_EQ(seen.back().text, kInProgress);
        // Modal to the dialog, on top, with the program's caption.
        EXPECT_EQ(seen.back().parent, &dlg);
        EXPECT_EQ(seen.back().modality, Qt::WindowModal);
        EXPECT_TRUE(seen.back().onTop);
        EXPECT_EQ(seen.back().caption, sorvel::ApplicationTitle());
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_TRUE(InState(STATE_UPLOADING));
        EXPECT_NE(dlg.m_ConfigInfo.pszStiFile, nullptr);
        EXPECT_TRUE(PortHeld(m_box->SlavePath()));
    }

    // Stopped, the upload no longer holds the dialog.
    seen.clear();
    AnswerModal(seen, QMessageBox::Yes, [&] { AnswerModal(seen, QMessageBox::Ok); });
    ClickThroughWindow(&dlg, dlg.m_btnCancelUpload);
    EXPECT_EQ(TextsOf(seen),
              (std::vector<std::string>{kReallyStop,
                                        kStoppedRestart + "\n" + RestartLine("part of sti.urt")}));
    dlg.close();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.m_ConfigInfo.pszStiFile, nullptr);
}

TEST_F(DialogUploadTest, CancelUploadAtAnOpenPromptClosesItAndEndsTheConnection) {
    Box({m_sti, m_cart1});
    CUpgradeDlg& dlg = OpenDialog();
    QPointer<QMessageBox> reboot = StartAndWaitForRebootPrompt();
    ASSERT_FALSE(reboot.isNull());
    EXPECT_TRUE(PortHeld(m_box->SlavePath()));

    std::vector<SeenBox> seen;
    AnswerModal(seen, QMessageBox::Yes, [&] { AnswerModal(seen, QMessageBox::Ok); });
    ClickThroughWindow(&dlg, dlg.m_btnCancelUpload);
    EXPECT_EQ(TextsOf(seen), (std::vector<std::string>{kReallyStop, kStoppedRestart + "\n" +
                                                                        RestartLine("sti.urt")}));
    for (const SeenBox& box : seen)
        EXPECT_EQ(box.parent, &dlg) << box.text;

    // The prompt went with the sequence; its OK can no longer start the next file.
    EXPECT_TRUE(reboot.isNull() || !reboot->isVisible());
    EXPECT_TRUE(InState(STATE_IDLE));
    EXPECT_EQ(dlg.m_ctlProgress->value(), 0);
    EXPECT_TRUE(WaitFor([&] { return !PortHeld(m_box->SlavePath()); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(m_box->GetReport().handshakesAnswered, 1u);
    EXPECT_TRUE(dlg.isVisible());
}

// "Exit" and "Cancel Upload" stay usable while a prompt is open; what would change the running
// upgrade (the mode, a new start) is disabled.
TEST_F(DialogUploadTest, AnOpenPromptLeavesExitUsableAndLocksWhatWouldChangeTheUpgrade) {
    Box({m_sti, m_cart1, m_cart2});
    CUpgradeDlg& dlg = OpenDialog();
    QPointer<QMessageBox> reboot = StartAndWaitForRebootPrompt();
    ASSERT_FALSE(reboot.isNull());

    // "Exit" gets through to the sequencer, which refuses while the prompt waits.
    std::vector<SeenBox> seen;
    AnswerModal(seen, QMessageBox::Ok);
    ClickThroughWindow(&dlg, dlg.GetDlgItem(IDCANCEL));
    EXPECT_EQ(TextsOf(seen), std::vector<std::string>{kInProgress});
    EXPECT_FALSE(reboot.isNull());
    EXPECT_TRUE(dlg.isVisible());

    // The radio buttons and "Start Upload" take no clicks: the mode stays, nothing restarts.
    for (QWidget* radio :
         {dlg.GetDlgItem(IDC_ONLY_CARTRIDGE), static_cast<QWidget*>(dlg.m_btnOnlySti)})
        ClickRadioThroughWindow(&dlg, radio);
    ClickThroughWindow(&dlg, dlg.m_btnStartUpload);
    EXPECT_EQ(dlg.GetUpdateMode(), MODE_COMPLETE);
    EXPECT_TRUE(dlg.m_btnCompleteUpdate->isChecked());
    EXPECT_TRUE(InState(STATE_STAGE_DONE));
    ASSERT_FALSE(reboot.isNull());
    EXPECT_TRUE(reboot->isVisible());
    EXPECT_TRUE(dlg.m_btnCancelUpload->isEnabled());
    QCoreApplication::processEvents();
    EXPECT_EQ(m_box->GetReport().handshakesAnswered, 1u);
}

// The program runs its dialog until it ends (InitInstance, DoModal). The stage prompts, windows
// of their own, must take the user's clicks meanwhile: a main dialog modal to the whole program
// would leave them on screen and deaf.
TEST_F(DialogUploadTest, TheProgramsDialogLeavesItsStagePromptsAnswerable) {
    Box({m_sti, m_cart1, m_cart2});
    CUpgradeApp app(m_dir.Path().string(), m_noDevices.Path());
    app.SetPresenter(&m_presenter);
    bool ran = false;
    auto user = [&](CUpgradeDlg* dlg) {
        ran = true;
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg));
        QLineEdit* field = dlg->m_cboPort->lineEdit();
        field->selectAll();
        QTest::keyClicks(field, QString::fromStdString(m_box->SlavePath()));
        ClickThroughWindow(dlg, dlg->m_btnStartUpload);

        // OK, clicked through the prompt's own window, starts the next file.
        QMessageBox* reboot = WaitForBox(kReboot);
        ASSERT_NE(reboot, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(reboot));
        ClickThroughWindow(reboot, reboot->button(QMessageBox::Ok));
        QMessageBox* file = WaitForBox(kFile);
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(m_box->WaitForFilesCompleted(2, 10s));

        // Cancel stops the sequence with the port open; "Exit" then closes it and the dialog.
        ASSERT_TRUE(QTest::qWaitForWindowExposed(file));
        ClickThroughWindow(file, file->button(QMessageBox::Cancel));
        ASSERT_NE(WaitForBox(kSwitchOff), nullptr);
        EXPECT_TRUE(InState(STATE_STOPPED));
        ClickThroughWindow(dlg, dlg->GetDlgItem(IDCANCEL));
    };
    WhenShown<CUpgradeDlg>([&](CUpgradeDlg* dlg) {
        user(dlg);
        if (dlg->isVisible()) {
            ADD_FAILURE() << "the dialog did not end";
            dlg->done(QDialog::Rejected);
        }
    });
    EXPECT_FALSE(app.InitInstance());
    EXPECT_TRUE(ran);
    EXPECT_TRUE(InState(STATE_IDLE));
    EXPECT_EQ(FindBox(kSwitchOff), nullptr);
}

// Ends other than "Exit" (a caller of done(), the program ending with the dialog destroyed)
// stop the sequence before the dialog goes: the prompt closes and the port is released.
TEST_F(DialogUploadTest, AnEndThatSkipsExitStopsTheSequenceFirst) {
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "done()");
        Box({m_sti, m_cart1, m_cart2});
        CUpgradeDlg& dlg = OpenDialog();
        QPointer<QMessageBox> reboot = StartAndWaitForRebootPrompt();
        ASSERT_FALSE(reboot.isNull());
        std::shared_ptr<CGuiCallGate> gate = dlg.CallGate();
        if (destroy)
            m_dlg.reset();
        else
            dlg.done(QDialog::Rejected);
        EXPECT_TRUE(reboot.isNull() || !reboot->isVisible());
        EXPECT_FALSE(gate->IsOpen());
        EXPECT_TRUE(InState(STATE_IDLE));
        EXPECT_TRUE(WaitFor([&] { return !PortHeld(m_box->SlavePath()); }));
        QCoreApplication::processEvents();
        EXPECT_EQ(m_box->GetReport().handshakesAnswered, 1u);
        m_dlg.reset();
    }
}

// The dialog records every attempt: an update, and one that the dialog's end cut short.
TEST_F(DialogUploadTest, EveryAttemptLeavesARecord) {
    const TempDir records;
    const auto record = records.Path() / "upgrades.jsonl";
    ::setenv("SORVEL_RECORD", record.string().c_str(), 1);
    Box({m_sti, m_cart1, m_cart2});
    std::vector<std::string> ports;
    {
        CUpgradeDlg& dlg = OpenDialog();
        ::setenv("SORVEL_RECORD", "", 1); // the dialog has its record file
        QMessageBox* reboot = StartAndWaitForRebootPrompt();
        ASSERT_NE(reboot, nullptr);
        QTest::mouseClick(reboot->button(QMessageBox::Ok), Qt::LeftButton);
        QMessageBox* file = WaitForBox(kFile);
        ASSERT_NE(file, nullptr);
        QTest::mouseClick(file->button(QMessageBox::Ok), Qt::LeftButton);
        QMessageBox* good = WaitForBox(kGood);
        ASSERT_NE(good, nullptr);
        QTest::mouseClick(good->button(QMessageBox::Ok), Qt::LeftButton);
        ASSERT_TRUE(m_box->WaitForFilesCompleted(3, 10s));
        ports.push_back(m_box->SlavePath());
        // Again, ended by the dialog's end at the first prompt.
        Box({m_sti, m_cart1, m_cart2});
        TypePort(m_box->SlavePath());
        ports.push_back(m_box->SlavePath());
        ASSERT_NE(StartAndWaitForRebootPrompt(), nullptr);
        (void)dlg;
        m_dlg.reset();
    }
    std::ifstream in(record);
    std::vector<sorvel::record::UpgradeAttempt> got;
    for (std::string line; std::getline(in, line);) {
        sorvel::record::UpgradeAttempt attempt;
        std::string error;
        EXPECT_TRUE(
            sorvel::record::FromJson(nlohmann::json::parse(line, nullptr, false), &attempt, &error))
            << error;
        got.push_back(attempt);
    }
    ASSERT_EQ(got.size(), 2u);
    const struct {
        const char* outcome;
        const char* failureClass;
        std::vector<bool> delivered;
    } expected[] = {{"updated", "", {true, true, true}}, {"stopped", "user", {true, false, false}}};
    for (std::size_t i = 0; i < got.size(); ++i) {
        const auto& r = got[i];
        EXPECT_EQ(r.outcome, expected[i].outcome);
        EXPECT_EQ(r.failureClass, expected[i].failureClass);
        EXPECT_EQ(r.program, sorvel::ApplicationTitle());
        EXPECT_EQ(r.port, ports[i]);
        EXPECT_TRUE(std::filesystem::equivalent(r.folder, m_dir.Path())) << r.folder;
        EXPECT_EQ(r.unit, "");
        EXPECT_EQ(r.mode, "complete");
        ASSERT_EQ(r.files.size(), 3u);
        for (std::size_t f = 0; f < 3; ++f)
            EXPECT_EQ(r.files[f].delivered, expected[i].delivered[f]) << f;
    }
    EXPECT_EQ(got[0].files[0].records, 6u);
}

} // namespace
