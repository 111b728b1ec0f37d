// The upgrade sequencer driven through a scripted window system, with the real engine on a
// pseudo-terminal against the box simulator, which checks every byte of every file.
#include "BoxSimulator.h"
#include "ConfigFile.h"
#include "EngineState.h"
#include "RecordingPresenter.h"
#include "ScriptedUi.h"
#include "SimulatedUpgrade.h"
#include "TempDir.h"
#include "UniqueFd.h"
#include "UpgradeSequencer.h"
#include "UploadProtocol.h"

#include <functional>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>

#include <filesystem>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using sorvel::boxsim::BoxSimulator;
using namespace sorvel::test;
using sorvel::test::ScriptedUi;
using sorvel::test::UiEvent;

void Notify(int type, int percent) {
    // From a thread of its own, as the engine's threads notify.
    std::thread([=] {
        _tagUploadNotificationMsgstruct msg{type, percent, 0, nullptr};
        UploadNotify(&msg);
    }).join();
}

bool PortOpen() {
    return g_hPort.load() != nullptr;
}

// The engine holds no port, and the box's port opens for someone else.
bool PortFreeFor(const std::string& path) {
    HCOMM other = CommOpen(path.c_str());
    if (other == nullptr)
        return false;
    CommClose(other);
    return !PortOpen();
}

class SequencerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto files = UpgradeFolder({5, 200}, {4, 700}, {1, 300}).Write(dir);
        sti = files.sti;
        cart1 = files.cart1;
        cart2 = files.cart2;
        ASSERT_EQ(CConfigFile(dir.Path().string()).Load(&config), CONFIG_FULL);
        seq = std::make_unique<CUpgradeSequencer>(ui, config);
        seq->OnCompleteUpdate();
    }
    void TearDown() override {
        seq.reset();
        tarvik::ResetHandshakeTiming();
        tarvik::SetThreadStartFailureForTest(false);
        ReleaseConfigStrings(&config);
        for (const auto& m : channelMessages.Texts())
            ADD_FAILURE() << "unexpected message box: " << m;
        EXPECT_EQ(g_nUploadState.load(), STATE_IDLE);
        EXPECT_FALSE(PortOpen());
    }

    bool PortFreeForAnotherProgram() const { return PortFreeFor(ui.port); }

    // Starts a simulated box expecting the files in order, and points the port text at it.
    BoxSimulator& Box(std::vector<std::string> files, sorvel::boxsim::Options options = {}) {
        box = StartBox(files, std::move(options));
        ui.port = box->SlavePath();
        return *box;
    }
    // A box slow enough that an upload is still under way when the test acts.
    BoxSimulator& SlowBox(std::vector<std::string> files = {}) {
        sorvel::boxsim::Options options;
        options.baud = 9600;
        return Box(std::move(files), options);
    }
    void ExpectFilesArrived(std::size_t n) { sorvel::test::ExpectFilesArrived(*box, n); }
    bool Completed() { return seq->SequenceCompleted(); }
    bool InState(int state) { return g_nUploadState.load() == state; }
    bool Uploading() {
        return ui.Pump([&] { return seq->GetProgress() > 0; });
    }

    sorvel::test::RecordingPresenter channelMessages;
    sorvel::test::TempDir dir;
    std::string sti, cart1, cart2;
    CONFIG_INFO config;
    std::unique_ptr<BoxSimulator> box;
    ScriptedUi ui;
    std::unique_ptr<CUpgradeSequencer> seq;
};

struct ModeCase {
    const char* name;
    void (CUpgradeSequencer::*select)();
    std::vector<int> files; // 0 STI, 1 and 2 the cartridge files
    std::vector<std::string> prompts;
};

class ModeTest : public SequencerTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ModeTest, RunsFromStartToFinalMessageWithEveryFileIntact) {
    const ModeCase& c = GetParam();
    std::vector<std::string> all{sti, cart1, cart2}, files;
    for (int f : c.files)
        files.push_back(all[f]);
    Box(files);
    (seq.get()->*c.select)();
    seq->OnStartUpload();
    ASSERT_TRUE(ui.Pump([&] { return Completed(); }));
    ExpectFilesArrived(files.size());

    std::vector<UiEvent> expected;
    for (const auto& p : c.prompts) {
        bool final = &p == &c.prompts.back();
        expected.push_back({UiEvent::StagePrompt, p, final ? 0x1000u : 0x1001u});
    }
    // The final message stays open: the reset before it closed nothing.
    EXPECT_EQ(ui.events, expected);
    EXPECT_EQ(g_nUploadState.load(), STATE_IDLE);
    EXPECT_EQ(seq->GetStage(), STAGE_NONE);
    EXPECT_FALSE(PortOpen());
    ASSERT_FALSE(ui.progress.empty());
    EXPECT_EQ(ui.progress.back(), 0);
    EXPECT_GT(*std::max_element(ui.progress.begin(), ui.progress.end()), 0);
    EXPECT_LT(*std::max_element(ui.progress.begin(), ui.progress.end()), 100);
    // Each file is announced with its place in the mode's sequence, then completed.
    std::vector<std::string> announced;
    for (std::size_t i = 0; i < files.size(); ++i) {
        announced.push_back(std::to_string(i + 1) + " of " + std::to_string(files.size()) + ": " +
                            files[i]);
        announced.push_back("completed");
    }
    EXPECT_EQ(ui.files, announced);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ModeTest,
    ::testing::Values(
        ModeCase{
            "Complete", &CUpgradeSequencer::OnCompleteUpdate, {0, 1, 2}, {kReboot, kFile, kGood}},
        ModeCase{"StiOnly", &CUpgradeSequencer::OnOnlySti, {0}, {kStiUpdated}},
        ModeCase{"CartridgeOnly", &CUpgradeSequencer::OnOnlyCartridge, {1, 2}, {kFile, kGood}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SequencerTest, RefusedPromptStopsAndReleasesThePort) {
    for (int refused : {0, 1}) { // the reboot prompt, then the 'FILE' prompt
        SCOPED_TRACE(refused);
        Box({sti, cart1, cart2});
        ui.events.clear();
        ui.promptAnswers =
            refused == 0 ? std::deque<int>{IDCANCEL} : std::deque<int>{IDOK, IDCANCEL};
        seq->OnStartUpload();
        ASSERT_TRUE(ui.Pump([&] { return InState(STATE_STOPPED); }));
        ExpectFilesArrived(refused + 1);
        // The message says what the box now holds and what to do.
        const std::string holds = refused == 0 ? "sti.urt" : "sti.urt and cart1.urt";
        EXPECT_EQ(ui.events.back(),
                  (UiEvent{UiEvent::StagePrompt, kSwitchOff + "\n" + RestartLine(holds), 0x1000}));
        ASSERT_FALSE(ui.outcomes.empty());
        EXPECT_EQ(ui.outcomes.back().result, UpgradeResult::Stopped);
        EXPECT_EQ(ui.outcomes.back().failure, FailureClass::User);
        EXPECT_EQ(ui.outcomes.back().delivered.size(), static_cast<std::size_t>(refused + 1));
        EXPECT_EQ(ui.Count(kGood), 0u);
        EXPECT_TRUE(PortFreeForAnotherProgram());
        EXPECT_EQ(ui.progress.back(), 0);
        EXPECT_EQ(seq->GetStage(), refused == 0 ? STAGE_CARTRIDGE1 : STAGE_CARTRIDGE2);

        const std::size_t shown = ui.events.size();
        if (refused == 0) {
            seq->OnCancelUpload(); // closes silently (and the open message with it)
            EXPECT_EQ(ui.events.size(), shown + 1);
            EXPECT_EQ(ui.events.back().kind, UiEvent::ClosePrompt);
            EXPECT_EQ(ui.endDialogCalls, 0);
        } else {
            seq->OnExit();
            EXPECT_EQ(ui.endDialogCalls, 1);
        }
        EXPECT_EQ(g_nUploadState.load(), STATE_IDLE);
        EXPECT_FALSE(PortOpen());
    }
}

TEST_F(SequencerTest, TimeOutIsShownOnceHoweverLongTheBoxStaysSilent) {
    tarvik::SetHandshakeTimingForTest(5ms, 60ms);
    ui.holdPrompts = true;
    sorvel::boxsim::Options silent;
    silent.answerHandshake = false;
    auto& box = Box({}, silent);
    // The handshake's time-out has no reason of the engine's: the sequencer gives one.
    const std::string kTimeout = sorvel::test::kTimeout + "\n" + kNoAnswer + "\n" + RestartLine("");
    seq->OnStartUpload();
    ASSERT_TRUE(ui.Pump([&] { return ui.Count(kTimeout) == 1; }));
    EXPECT_EQ(ui.events.back(), (UiEvent{UiEvent::StagePrompt, kTimeout, 0x1000}));
    EXPECT_EQ(ui.outcomes.back().failure, FailureClass::Line);
    EXPECT_EQ(ui.outcomes.back().summary,
              "Failed: Error during upload. Nothing was sent to the box.");
    EXPECT_EQ(g_nUploadState.load(), STATE_STOPPED);
    // The sequence stopped for good: the port is released at once, and a late notification
    // shows nothing and leaves the bar alone.
    EXPECT_TRUE(PortFreeForAnotherProgram());
    Notify(UPLOAD_MSG_TIMEOUT, 0);
    Notify(UPLOAD_MSG_PROGRESS, 50);
    ui.Drain();
    EXPECT_EQ(ui.Count(kTimeout), 1u);
    EXPECT_EQ(seq->GetProgress(), 0);
    (void)box;

    // A new sequence closes the old message and may time out once again.
    seq->OnStartUpload();
    EXPECT_EQ(ui.events.back().kind, UiEvent::ClosePrompt);
    ASSERT_TRUE(ui.Pump([&] { return ui.Count(kTimeout) == 2; }));
    seq->OnCancelUpload();
    EXPECT_EQ(ui.Texts(UiEvent::Message).size(), 0u);
}

TEST_F(SequencerTest, ButtonsWithNothingToDoSaySo) {
    seq->OnCancelUpload();
    seq.reset();
    seq = std::make_unique<CUpgradeSequencer>(ui, config); // no radio button chosen yet
    ui.port = "/nonexistent/sorvel-port";
    seq->OnStartUpload();
    EXPECT_EQ(ui.events, (std::vector<UiEvent>{
                             {UiEvent::Message, kNoUpload, 0x1000},
                             {UiEvent::Message,
                              "Please select your Update mode first and then click on start", 0}}));
}

TEST_F(SequencerTest, CancelUploadAnsweredNoLetsTheUploadFinish) {
    SlowBox({sti});
    seq->OnOnlySti();
    seq->OnStartUpload();
    ASSERT_TRUE(Uploading());
    ui.messageAnswers = {IDNO};
    seq->OnCancelUpload();
    EXPECT_EQ(ui.events, (std::vector<UiEvent>{{UiEvent::Message, kReallyStop, 0x1004}}));
    ASSERT_TRUE(ui.Pump([&] { return Completed(); }));
    ExpectFilesArrived(1);
}

TEST_F(SequencerTest, CancelUploadAnsweredYesStopsAtOnce) {
    SlowBox();
    seq->OnStartUpload();
    ASSERT_TRUE(Uploading());
    seq->OnCancelUpload();
    EXPECT_EQ(ui.events, (std::vector<UiEvent>{
                             {UiEvent::Message, kReallyStop, 0x1004},
                             {UiEvent::Message,
                              kStoppedRestart + "\n" + RestartLine("part of sti.urt"), 0x1000}}));
    EXPECT_EQ(g_nUploadState.load(), STATE_IDLE);
    EXPECT_FALSE(PortOpen());
    EXPECT_EQ(ui.progress.back(), 0);
    EXPECT_EQ(seq->GetStage(), STAGE_STI); // the next start resets it
    ui.Drain();
    EXPECT_EQ(ui.events.size(), 2u);
}

TEST_F(SequencerTest, CancelUploadAtAnOpenPromptClosesItAndIgnoresItsLateAnswer) {
    Box({sti, cart1});
    ui.holdPrompts = true;
    seq->OnStartUpload();
    ASSERT_TRUE(ui.Pump([&] { return seq->StagePromptOpen(); }));
    EXPECT_EQ(g_nUploadState.load(), STATE_STAGE_DONE);
    seq->OnCancelUpload();
    EXPECT_EQ(ui.events,
              (std::vector<UiEvent>{
                  {UiEvent::StagePrompt, kReboot, 0x1001},
                  {UiEvent::Message, kReallyStop, 0x1004},
                  {UiEvent::ClosePrompt, "", 0},
                  {UiEvent::Message, kStoppedRestart + "\n" + RestartLine("sti.urt"), 0x1000}}));
    ui.AnswerHeld(IDOK);
    ui.Drain();
    EXPECT_EQ(ui.events.size(), 4u);
    EXPECT_EQ(g_nUploadState.load(), STATE_IDLE);
    EXPECT_EQ(box->GetReport().handshakesAnswered, 1u);
}

TEST_F(SequencerTest, AnswerOfAPromptClosedByANewStartDoesNotActOnTheNewSequence) {
    Box({sti});
    ui.holdPrompts = true;
    seq->OnStartUpload();
    ASSERT_TRUE(ui.Pump([&] { return seq->StagePromptOpen(); }));
    auto oldAnswer = ui.heldAnswer;
    Box({sti, cart1});
    seq->OnStartUpload(); // closes the first sequence's reboot prompt
    ASSERT_TRUE(ui.Pump([&] { return ui.Count(kReboot) == 2; }));
    ui.queue.Post([&] { oldAnswer(IDCANCEL); });
    ui.Drain();
    EXPECT_EQ(g_nUploadState.load(), STATE_STAGE_DONE);
    EXPECT_EQ(ui.Count(kSwitchOff), 0u);
    ui.AnswerHeld(IDOK); // the open prompt's own answer goes on
    ASSERT_TRUE(ui.Pump([&] { return box->GetReport().filesCompleted == 2; }));
    seq->Abort();
}

TEST_F(SequencerTest, CancelQuestionOutlivedByTheSequenceChangesNothing) {
    Box({sti});
    seq->OnOnlySti();
    seq->OnStartUpload();
    // The sequence finishes while the question is open; the Yes that follows has nothing to stop.
    ui.whileMessageOpen = [&] { ASSERT_TRUE(ui.Pump([&] { return Completed(); })); };
    seq->OnCancelUpload();
    EXPECT_EQ(ui.Count(kStoppedRestart), 0u);
    EXPECT_EQ(ui.events.back(), (UiEvent{UiEvent::StagePrompt, kStiUpdated, 0x1000}));
    ExpectFilesArrived(1);
}

TEST_F(SequencerTest, ExitDuringAnUploadKeepsTheSequenceGoing) {
    ui.holdPrompts = true;
    SlowBox({sti});
    seq->OnOnlySti();
    seq->OnStartUpload();
    ASSERT_TRUE(Uploading());
    seq->OnExit();
    EXPECT_EQ(ui.events, (std::vector<UiEvent>{{UiEvent::Message, kInProgress, 0x1000}}));
    EXPECT_EQ(ui.endDialogCalls, 0);
    ASSERT_TRUE(ui.Pump([&] { return Completed(); }));
    ExpectFilesArrived(1);
    seq->OnExit(); // closes the final message and the dialog
    EXPECT_EQ(ui.events.back().kind, UiEvent::ClosePrompt);
    EXPECT_EQ(ui.endDialogCalls, 1);
}

TEST_F(SequencerTest, StartUploadDuringAnUploadStartsAfreshWithoutAsking) {
    SlowBox();
    seq->OnStartUpload();
    ASSERT_TRUE(Uploading());
    auto first = std::move(box);
    Box({sti, cart1, cart2});
    seq->OnStartUpload();
    EXPECT_EQ(seq->GetStage(), STAGE_STI);
    ASSERT_TRUE(ui.Pump([&] { return Completed(); }));
    ExpectFilesArrived(3);
    EXPECT_TRUE(ui.Texts(UiEvent::Message).empty());
    EXPECT_EQ(ui.Texts(UiEvent::StagePrompt), (std::vector<std::string>{kReboot, kFile, kGood}));
}

TEST_F(SequencerTest, NotificationOfAResetConnectionIsDropped) {
    sorvel::boxsim::Options silent;
    silent.answerHandshake = false;
    Box({}, silent);
    ui.holdPrompts = true;
    seq->OnStartUpload();
    Notify(UPLOAD_MSG_COMPLETE, 100); // queued for the first connection
    seq->OnStartUpload();             // which this resets
    ui.Drain();
    EXPECT_EQ(seq->GetStage(), STAGE_STI);
    EXPECT_TRUE(ui.events.empty());
    Notify(UPLOAD_MSG_COMPLETE, 100); // the current connection's counts
    ui.Drain();
    EXPECT_EQ(seq->GetStage(), STAGE_CARTRIDGE1);
    EXPECT_EQ(ui.Texts(UiEvent::StagePrompt), (std::vector<std::string>{kReboot}));
    seq->Abort();
}

TEST_F(SequencerTest, ModeIsReadAfreshAtEachStage) {
    // Only the STI while the STI file of a complete update runs: ends after it.
    Box({sti});
    seq->OnStartUpload();
    seq->OnOnlySti();
    ASSERT_TRUE(ui.Pump([&] { return Completed(); }));
    ExpectFilesArrived(1);
    EXPECT_EQ(ui.Texts(UiEvent::StagePrompt), (std::vector<std::string>{kStiUpdated}));

    // Only the Cartridge before the reboot prompt: the prompt is skipped.
    Box({sti, cart1, cart2});
    ui.events.clear();
    seq->OnCompleteUpdate();
    seq->OnStartUpload();
    seq->OnOnlyCartridge();
    ASSERT_TRUE(ui.Pump([&] { return Completed(); }));
    ExpectFilesArrived(3);
    EXPECT_EQ(ui.Texts(UiEvent::StagePrompt), (std::vector<std::string>{kFile, kGood}));
}

TEST_F(SequencerTest, FileThatFailsToStartIsReportedAndStopsTheSequence) {
    // The handshake thread of the first cartridge file does not start.
    Box({sti});
    ui.holdPrompts = true;
    seq->OnStartUpload();
    ASSERT_TRUE(ui.Pump([&] { return seq->StagePromptOpen(); }));
    tarvik::SetThreadStartFailureForTest(true);
    ui.AnswerHeld(IDOK);
    ui.Drain();
    tarvik::SetThreadStartFailureForTest(false);
    EXPECT_EQ(g_nUploadState.load(), STATE_STOPPED);
    EXPECT_NE(ui.events.back().text.find(cart1 + " cannot be uploaded:\nthe upload could not be "
                                                 "started"),
              std::string::npos)
        << ui.events.back().text;
    seq->OnCancelUpload();
    ui.holdPrompts = false;
    ui.events.clear();

    // Files checked again right before they are sent: the first cartridge file vanished, or
    // the STI file changed, after the configuration was checked. The loader's message, then the
    // file and the reason; nothing of the file is sent and the port is released.
    struct Case {
        std::function<void()> change;
        std::size_t filesBefore;
        std::string text;
    };
    const std::vector<Case> cases = {
        {[&] { std::filesystem::remove(cart1); }, 1,
         "Error 0x3c01 : File not found !\n" + cart1 + ": No such file or directory"},
        {[&] { dir.Write("Ressources/sti.urt", std::string("not an upload file")); }, 0,
         "Error 0x1c01 : Unknown uart file\n" + sti + ": "},
    };
    for (const Case& c : cases) {
        c.change();
        // A box that takes any records: the changed STI file is no upload file it could expect.
        auto& box =
            Box(c.filesBefore != 0 ? std::vector<std::string>{sti} : std::vector<std::string>{});
        ui.events.clear();
        seq->OnStartUpload();
        ASSERT_TRUE(ui.Pump([&] { return InState(STATE_STOPPED); }));
        ui.Drain();
        EXPECT_EQ(ui.events.back().text.rfind(c.text, 0), 0u) << ui.events.back().text;
        EXPECT_EQ(ui.events.back().flags, 0x1000u);
        EXPECT_EQ(box.GetReport().recordsReceived, c.filesBefore * 5);
        EXPECT_TRUE(PortFreeForAnotherProgram());
        seq->OnCancelUpload();
    }
}

TEST_F(SequencerTest, ConnectFailuresAreReportedAndStartCanBeTriedAgain) {
    // Result 3: the headline that is true for the port, the system's reason on a line of its
    // own, then what to do. Only a port that another program holds is "used by another
    // application".
    auto& held = Box({sti});
    const sorvel::UniqueFd holder(::open(held.SlavePath().c_str(), O_RDWR | O_NOCTTY));
    ASSERT_TRUE(holder.Valid());
    ASSERT_EQ(::flock(holder.Get(), LOCK_EX | LOCK_NB), 0);
    struct Case {
        std::string port, headline, reason;
    };
    const Case cases[] = {
        {"/nonexistent/sorvel-port", kInvalidPort, "No such file or directory"},
        {"/dev/null", kInvalidPort, "not a serial port"},
        {held.SlavePath(), kPortUsed, "held by another program"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        ui.events.clear();
        ui.port = c.port;
        seq->OnStartUpload();
        ASSERT_EQ(ui.events.size(), 1u);
        EXPECT_EQ(ui.events[0].text.rfind(c.headline + "\n", 0), 0u) << ui.events[0].text;
        EXPECT_NE(ui.events[0].text.find(c.reason), std::string::npos) << ui.events[0].text;
        EXPECT_NE(ui.events[0].text.find("\nNothing was sent to the box; "), std::string::npos);
        EXPECT_EQ(ui.events[0].flags, 0x1000u);
        EXPECT_EQ(g_nUploadState.load(), STATE_IDLE);
        EXPECT_EQ(seq->GetStage(), STAGE_NONE);
        EXPECT_EQ(ui.outcomes.back().failure, FailureClass::Port);
    }
    ui.port = "/nonexistent/sorvel-port";
    seq->OnStartUpload();

    // Result 2: the engine object has no notification function.
    g_Uploader.m_pfnNotify = nullptr;
    seq->OnStartUpload();
    g_Uploader.m_pfnNotify = UploadNotify;
    EXPECT_EQ(ui.events.back().text, "Service unvailable.\nPlease contact VIV.");

    // A port name longer than the engine holds is refused before anything else happens.
    ui.port = std::string(100, 'x');
    seq->OnStartUpload();
    EXPECT_EQ(ui.events.back(),
              (UiEvent{UiEvent::Message, CUpgradeSequencer::PortNameTooLongText(), 0x1000}));
    EXPECT_STREQ(g_Uploader.m_szPortName, "/nonexistent/sorvel-port");

    // Result 4: the port's reader does not start; the port is not kept open with nobody reading.
    Box({sti});
    tarvik::SetThreadStartFailureForTest(true);
    seq->OnStartUpload();
    tarvik::SetThreadStartFailureForTest(false);
    EXPECT_EQ(ui.events.back().text, kInvalidPort);
    EXPECT_EQ(g_nUploadState.load(), STATE_IDLE);
    EXPECT_FALSE(PortOpen());

    // The next try reaches the box.
    seq->OnOnlySti();
    seq->OnStartUpload();
    ASSERT_TRUE(ui.Pump([&] { return Completed(); }));
    ExpectFilesArrived(1);
    EXPECT_EQ(ui.Texts(UiEvent::Message).size(), 5u);
}

} // namespace
