// The upgrade sequencer: drives the program's one engine object through an upgrade.
//
// "Start Upload" hands the port name to the engine, connects and starts the first upload file of
// the selected update mode. Each completed file moves the sequence to its next stage: a prompt
// asks the user to watch the box's front panel, the next file starts, and at the end a message
// tells the user that the box was updated and the port is released. "Cancel Upload", "Exit",
// engine time-outs and the progress bar are handled here too.
//
//   Mode                 Start Upload         1st file done        2nd file done      3rd file done
//   MODE_COMPLETE        stage 1: STI file    2: reboot prompt,    3: 'FILE' prompt,  4: 'Good'
//                                             1st cartridge file   2nd cartridge file    message
//   MODE_STI_ONLY        stage 1: STI file    2: STI-only message
//   MODE_CARTRIDGE_ONLY  stage 2: 1st cart.   3: 'FILE' prompt,    4: 'Good' message
//                        file, no prompt      2nd cartridge file
//
// The class knows nothing of the window system. It talks to it through ISequencerUi: the Qt
// dialog implements it with real widgets, the command-line front end with the console, tests
// with a script.
//
// Threads. Everything of a CUpgradeSequencer runs on one thread, its owner (the dialog's thread):
// the constructor, every operation, the destructor, and every task it posts through
// ISequencerUi::Post. The engine notifies on its own threads; UploadNotify only copies what the
// sequencer needs (kind and percentage), hands it to the owner thread with Post and returns, so
// no engine thread ever waits for the user and no sequencer state is touched by two threads.
// A notification of a connection that has since been reset (a new "Start Upload", "Cancel
// Upload", "Exit", the end of a sequence) is dropped on the owner thread. Prompts raised by the
// stage flow do not block the owner thread: their answer arrives later as a task, and a reset
// closes an open prompt and ignores its answer.
//
// One sequencer at a time per process: it uses the program-wide engine object g_Uploader and
// the program-wide state g_nUploadState.
#pragma once

#include "ConfigFile.h"
#include "SequenceOutcome.h"
#include "SorvelWinTypes.h"
#include "Tarvik.h"
#include "UpgradeModes.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// The program-wide upload state; read by anyone, written on the sequencer's owner thread.
extern std::atomic<int> g_nUploadState;

// The program's one engine object, constructed with UploadNotify; lives until the process ends.
extern CTarvik g_Uploader;

// The engine's notification function: hands progress, time-out and completion to the active
// sequencer's owner thread and returns at once. Any engine thread.
void UploadNotify(_tagUploadNotificationMsgstruct* pMsg);

// What the sequencer needs of the window system. Every method is called on the owner thread,
// except Post, which any thread may call.
struct ISequencerUi {
    virtual ~ISequencerUi() = default;

    // A message raised by a button handler ("Start Upload", "Cancel Upload", "Exit"): modal to
    // the main window, blocks the owner thread until answered. Returns IDOK, IDCANCEL, IDYES or
    // IDNO. flags: MB_OK, MB_OKCANCEL or MB_YESNO, possibly with MB_SYSTEMMODAL.
    virtual int ShowMessage(const std::string& text, unsigned flags) = 0;

    // A prompt or message raised by the stage flow: shown without blocking the owner thread (an
    // ownerless, always-on-top box), so that the buttons stay usable. When the user answers,
    // onAnswer is called once on the owner thread (through Post or the event loop) with the
    // button pressed; closing the box counts as Cancel. The sequencer keeps at most one open.
    virtual void ShowStagePrompt(const std::string& text, unsigned flags,
                                 std::function<void(int answer)> onAnswer) = 0;
    // Closes the open stage prompt, if any; its answer, should one still come, is ignored.
    virtual void CloseStagePrompt() = 0;

    // Sets the progress bar (range 0 to 100).
    virtual void SetProgressBar(int nPos) = 0;
    // An upload file started: the index-th (from 1) of the count files that the update mode
    // sends, path as the configuration names it (possibly with backslashes, relative to the
    // configuration's folder). The progress that follows is this file's, from the box's answer to
    // the wake-up on; until then the box has not answered. Does nothing unless overridden.
    virtual void OnFileStarted(int /*index*/, int /*count*/, const std::string& /*path*/) {}
    // The file started last is through: the box has its last record, for which the engine
    // reports no progress. Comes before the bar goes back to 0 and the next stage runs. Does
    // nothing unless overridden.
    virtual void OnFileCompleted() {}
    // "Start Upload" begins a sequence in mode with config, right before the port opens; every
    // sequence that begins ends with OnSequenceEnded, except one refused because an upload is
    // already in progress (which ends none). Does nothing unless overridden.
    virtual void OnSequenceStarted(BYTE /*mode*/, const CONFIG_INFO& /*config*/) {}
    // The sequence ended: updated, failed or stopped (a connection that did not open ends one
    // too). Comes right before the message that ends it shows, so that the outcome is recorded
    // before the user reads it. Does nothing unless overridden.
    virtual void OnSequenceEnded(const SequenceOutcome& /*outcome*/) {}
    // The port text as the user chose or typed it ("COM1:", "/dev/ttyUSB0").
    virtual std::string PortText() = 0;
    // Releases the configuration strings and ends the dialog ("Exit").
    virtual void EndDialog() = 0;
    // Runs task on the owner thread, later, in the order posted. Any thread; must not block.
    virtual void Post(std::function<void()> task) = 0;
};

class CUpgradeSequencer {
public:
    // ui and config must outlive the sequencer. config is the dialog's configuration record;
    // it may be filled after construction (it is read at each stage). The update mode starts as
    // MODE_NONE and the stage as STAGE_NONE; the dialog then selects a mode with a radio setter.
    // configBaseDir: where the configuration's relative upload paths resolve when each file is
    // checked again right before it is sent (the working directory, as for the engine).
    CUpgradeSequencer(ISequencerUi& ui, const CONFIG_INFO& config, std::string configBaseDir = ".");
    // Stops any upload and closes the connection; no notification reaches the sequencer after.
    ~CUpgradeSequencer();
    CUpgradeSequencer(const CUpgradeSequencer&) = delete;
    CUpgradeSequencer& operator=(const CUpgradeSequencer&) = delete;

    // The buttons.
    void OnStartUpload();
    void OnCancelUpload();
    void OnExit();
    // The radio buttons: set the update mode that the following stages read.
    void OnCompleteUpdate();
    void OnOnlyCartridge();
    void OnOnlySti();

    // Ends any sequence at once without asking or showing anything: closes the open stage
    // prompt, cancels the upload and closes the connection (for the command-line front end's
    // Ctrl-C, and for a dialog that closes without "Exit").
    void Abort();

    // Sets the progress bar and remembers its position.
    void SetProgress(int nPos);
    void SetStage(BYTE nStage);
    // Adds one to the stage in 8 bits (255 becomes 0).
    void NextStage();
    BYTE GetStage();
    // Ends the sequence and the connection: stage STAGE_NONE, state STATE_IDLE, the open stage
    // prompt closed, upload cancelled, port closed, progress 0.
    void ResetUpload();
    // Performs the current stage.
    void RunStage();

    BYTE GetUpdateMode() const { return m_nUpdateMode; }
    int GetProgress() const { return m_nProgress; }
    // True from the final "updated" message of a sequence until the next "Start Upload".
    bool SequenceCompleted() const { return m_bCompleted; }
    // True while a stage prompt is open.
    bool StagePromptOpen() const { return m_nOpenPrompt != 0; }

    // The text shown when the port name does not fit the engine's m_szPortName.
    static std::string PortNameTooLongText();
    // What the box holds of the sequence now and what to do once it is stopped, as one line
    // ("The box received Sti.urt and part of Cartridge1.urt; switch it off and on, then start
    // again from the beginning."). filesAtFault: the upgrade's files need copying again.
    std::string NextStepLine(bool filesAtFault = false) const;

private:
    friend void UploadNotify(_tagUploadNotificationMsgstruct* pMsg);

    // Owner thread: one notification, tagged with the connection it came from. reason: the
    // text of a time-out that ended the upload ("" for the handshake's own). nResends: with a
    // completion, how often the box asked for the file's last record again.
    void OnNotification(int nMsgType, int nPercent, const std::string& reason, unsigned nConnection,
                        int nResends);
    // After a completion: checks the file just sent against the configuration's CRC-32 again;
    // when it no longer matches, stops the sequence with the loader's message and false.
    bool DeliveredAsVerified();
    // The message for the current file written to while it was sent.
    std::string FileChangedText() const;
    // The line added to the final message when a file's last record was sent again, or "".
    std::string ResentLastRecordsLine() const;
    // Checks the file against the configuration's CRC-32 once more, then starts it. fileTag:
    // TAG_STI_FILE, TAG_CARTRIDGE_FILE1 or TAG_CARTRIDGE_FILE2.
    void StartFile(BYTE fileTag, char* pszPath);
    // The file's place in the current update mode: {index from 1, count of files}.
    std::pair<int, int> FilePlace(BYTE fileTag) const;
    void AskThenStart(const char* pszText, BYTE fileTag, char* pszPath);
    void Refuse();
    // Stops the sequence for good with a message: the port is released at once, so that another
    // program or the next "Start Upload" can open it; the state is STATE_STOPPED. The front end
    // hears of the end with result and failure.
    void StopWithMessage(const std::string& text, bool resetProgress,
                         UpgradeResult result = UpgradeResult::Failed,
                         FailureClass failure = FailureClass::Line);
    // Tells the front end (and the trace) how the sequence ended, before its message shows.
    void EndSequence(UpgradeResult result, FailureClass failure, const std::string& message);
    // "The box received Sti.urt and part of Cartridge1.urt", or "" when the box has nothing of
    // this sequence.
    std::string BoxHolds() const;
    void FinishSequence(const char* pszText);
    void ReportStartFailure(const char* pszPath, unsigned nResult);
    void ShowStagePrompt(const std::string& text, unsigned flags,
                         std::function<void(int answer)> onAnswer);
    void CloseStagePrompt();
    // A new connection id before Connect; id 0 (no connection) at every reset.
    void OpenConnectionId();
    void CloseConnectionId();
    // Closes the prompt, cancels and disconnects: every reset's common part.
    void ReleaseConnection();

    ISequencerUi& m_ui;
    const CONFIG_INFO& m_ConfigInfo;
    const std::string m_configBaseDir;

    std::mutex m_StageLock; // m_nStage, writes of m_nUpdateMode, the progress position
    BYTE m_nUpdateMode = MODE_NONE;
    BYTE m_nStage = STAGE_NONE;
    int m_nProgress = 0;

    // The connection whose notifications count; 0 while none. Written by the owner thread under
    // the notification lock, read by UploadNotify under that lock.
    unsigned m_nConnection = 0;
    unsigned m_nLastConnection = 0;
    // The open stage prompt's id; 0 while none.
    unsigned m_nOpenPrompt = 0;
    unsigned m_nLastPrompt = 0;
    bool m_bCompleted = false;
    // The file being sent (its tag and path as configured), and the files of this sequence
    // whose last record the box asked for again.
    BYTE m_nCurrentFileTag = 0;
    std::string m_currentFile;
    std::vector<std::string> m_resentLastRecords;
    // The files of this sequence that the box received whole, and whether it has part of the
    // current one (it asked for a record of it).
    std::vector<std::string> m_delivered;
    std::vector<std::pair<std::string, int>> m_lastRecordResends;
    bool m_bCurrentPartial = false;
    // Tasks posted to the owner thread hold this weakly and do nothing once it is gone.
    std::shared_ptr<int> m_pAlive = std::make_shared<int>(0);
};
