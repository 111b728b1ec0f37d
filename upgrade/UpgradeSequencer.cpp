#include "UpgradeSequencer.h"

#include "MessageBox.h"

#include <algorithm>
#include <cstring>
#include <utility>

std::atomic<int> g_nUploadState{STATE_IDLE};

CTarvik g_Uploader(UploadNotify);

namespace {

// The sequencer's messages and prompts, as the user sees them.
constexpr const char* kSelectModeText =
    "Please select your Update mode first and then click on start";
constexpr const char* kAlreadyInProgressText = "Upload already in progress.";
constexpr const char* kServiceUnavailableText = "Service unvailable.\nPlease contact VIV.";
constexpr const char* kPortUsedText =
    "COM port used by another application.\nPlease change COM port or close application.";
constexpr const char* kInvalidPortText = "Invalid COM port.\nPlease check connection.";
constexpr const char* kRebootPromptText =
    "Please wait for the Set Top Box reboots and then click on OK";
constexpr const char* kFilePromptText =
    "Please wait for the front panel displays 'FILE'\nand click on OK";
constexpr const char* kSwitchOffText = "Upload stopped.\nPlease switch off the set top box";
constexpr const char* kStiUpdatedText =
    "Your Brevon Box was updated.\nPlease wait during the write process.";
constexpr const char* kGoodText = "Your Brevon Box was updated. Please wait for the\nfront panel "
                                  "displays 'Good' before switching off";
constexpr const char* kTimeoutText = "Error during upload.\nPlease check connection and try again.";
constexpr const char* kReallyStopText = "Do you really want to stop upload ?.";
constexpr const char* kStoppedRestartText = "Upload stopped.\nPlease restart device and click OK.";
constexpr const char* kNoUploadText = "No upload in progress.";
constexpr const char* kInProgressText = "Upload in progress.\nPlease stop operation first.";
// The engine's reason for a file written to while it was sent; the sequencer's own check after
// each file says the same.
constexpr const char* kFileChangedReason = "the upload file changed while it was being sent";
// The engine's reason for a box that refused one record too often.
constexpr const char* kRefusedReason = "the box refused the same record again and again";
// The reason line of a handshake that the box never answered (the engine gives none).
constexpr const char* kNoAnswerReason =
    "the box did not answer: is it switched on in upgrade mode, is the cable connected?";

// Guards the active sequencer and its connection id against the engine threads that post
// notifications. Held only for a read and a Post, never while anything waits.
std::mutex g_notifyLock;
CUpgradeSequencer* g_pActiveSequencer = nullptr;

constexpr std::size_t kPortNameCapacity = sizeof(CTarvik::m_szPortName); // NUL included
// The longest reason of a time-out that is shown; the engine's are short sentences.
constexpr std::size_t kMaxReasonBytes = 200;

std::string StartFailureReason(unsigned nResult) {
    switch (nResult) {
    case UPLOAD_ALREADY_RUNNING:
        return "an upload is already running";
    case UPLOAD_THREAD_FAILED:
        return "the upload could not be started";
    case UPLOAD_BAD_FILE:
        return "the file does not open or is no upload file";
    case UPLOAD_NOT_CONNECTED:
        return "the COM port is not connected";
    default:
        return "unknown error " + std::to_string(nResult);
    }
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// What to do after a port that did not open; nothing reached the box.
std::string PortAdvice(int nFailure) {
    if (nFailure == PORT_FAILURE_HELD)
        return "Nothing was sent to the box; close the program that holds the port or choose "
               "another, then start the upload again.";
    return "Nothing was sent to the box; check the port name and that the adapter is plugged in, "
           "then start the upload again.";
}

// Ids of connections and prompts: never 0, which stands for "none".
unsigned NextId(unsigned& last) {
    if (++last == 0)
        ++last;
    return last;
}

} // namespace

void UploadNotify(_tagUploadNotificationMsgstruct* pMsg) {
    if (pMsg == nullptr)
        return;
    // The record lives on the notifying thread's stack: copy what the owner thread needs.
    const int nMsgType = pMsg->nMsgType;
    const int nPercent = pMsg->nPercent;
    // Read here, on the engine's thread, before another upload can complete.
    const int nResends = nMsgType == UPLOAD_MSG_COMPLETE ? CTarvik::GetLastRecordResends() : 0;
    // A time-out that ended the upload says why.
    std::string reason;
    if (nMsgType == UPLOAD_MSG_TIMEOUT && pMsg->pData != nullptr && pMsg->nDataLength > 0)
        reason.assign(pMsg->pData, std::min<std::size_t>(pMsg->nDataLength, kMaxReasonBytes));
    // Started and data notifications change nothing; they are not worth a trip.
    if (nMsgType != UPLOAD_MSG_PROGRESS && nMsgType != UPLOAD_MSG_TIMEOUT &&
        nMsgType != UPLOAD_MSG_COMPLETE)
        return;
    std::lock_guard lock(g_notifyLock);
    CUpgradeSequencer* pSequencer = g_pActiveSequencer;
    if (pSequencer == nullptr || pSequencer->m_nConnection == 0)
        return;
    // Not filtered by g_nUploadState here: the owner thread sets STATE_UPLOADING right after
    // UploadURTFile returns, and a fast box may already have answered by then. The owner thread
    // handles tasks in order, so by the time this one runs the state is settled.
    const unsigned nConnection = pSequencer->m_nConnection;
    std::weak_ptr<int> alive = pSequencer->m_pAlive;
    pSequencer->m_ui.Post(
        [pSequencer, alive, nMsgType, nPercent, nResends, reason = std::move(reason), nConnection] {
            if (!alive.expired())
                pSequencer->OnNotification(nMsgType, nPercent, reason, nConnection, nResends);
        });
}

CUpgradeSequencer::CUpgradeSequencer(ISequencerUi& ui, const CONFIG_INFO& config,
                                     std::string configBaseDir)
    : m_ui(ui), m_ConfigInfo(config), m_configBaseDir(std::move(configBaseDir)) {
    std::lock_guard lock(g_notifyLock);
    g_pActiveSequencer = this;
}

CUpgradeSequencer::~CUpgradeSequencer() {
    {
        std::lock_guard lock(g_notifyLock);
        if (g_pActiveSequencer == this)
            g_pActiveSequencer = nullptr;
        m_nConnection = 0;
    }
    // Both do nothing when nothing is open.
    g_Uploader.CancelUploadProcess();
    g_Uploader.Disconnect();
    g_nUploadState = STATE_IDLE;
}

std::string CUpgradeSequencer::PortNameTooLongText() {
    return "Invalid COM port.\nThe port name must not be longer than " +
           std::to_string(kPortNameCapacity - 1) + " characters.";
}

// Ids tell the connections apart: a notification is tagged, under the lock, with the id current
// when the engine gave it, and acted on only while that id is still current. Every reset closes
// the id before it disconnects, and the engine's Disconnect returns only once its threads give no
// further notification; a notification the old threads were already giving is then tagged with
// the closed id, or with none. (One that the engine had called but that had not yet reached the
// lock when the next Connect opened a new id would pass; the engine gives no way to tell its
// threads apart, and that window is a few instructions wide.)
void CUpgradeSequencer::OpenConnectionId() {
    std::lock_guard lock(g_notifyLock);
    m_nConnection = NextId(m_nLastConnection);
}

void CUpgradeSequencer::CloseConnectionId() {
    std::lock_guard lock(g_notifyLock);
    m_nConnection = 0;
}

void CUpgradeSequencer::ShowStagePrompt(const std::string& text, unsigned flags,
                                        std::function<void(int answer)> onAnswer) {
    CloseStagePrompt();
    const unsigned nPrompt = NextId(m_nLastPrompt);
    m_nOpenPrompt = nPrompt;
    std::weak_ptr<int> alive = m_pAlive;
    m_ui.ShowStagePrompt(text, flags,
                         [this, alive, nPrompt, onAnswer = std::move(onAnswer)](int answer) {
                             // A prompt closed by a reset, or one of an earlier sequence, no
                             // longer speaks for the user.
                             if (alive.expired() || nPrompt != m_nOpenPrompt)
                                 return;
                             m_nOpenPrompt = 0;
                             if (onAnswer)
                                 onAnswer(answer);
                         });
}

void CUpgradeSequencer::CloseStagePrompt() {
    if (m_nOpenPrompt == 0)
        return;
    m_nOpenPrompt = 0;
    m_ui.CloseStagePrompt();
}

void CUpgradeSequencer::ReleaseConnection() {
    CloseStagePrompt();
    // From here on nothing the old connection reports counts, even if it is already queued.
    CloseConnectionId();
    g_Uploader.CancelUploadProcess();
    g_Uploader.Disconnect();
}

void CUpgradeSequencer::SetProgress(int nPos) {
    {
        std::lock_guard lock(m_StageLock);
        m_nProgress = nPos;
    }
    // Outside the lock: the bar belongs to this thread, and nothing should ever wait on the
    // window system while the lock is held.
    m_ui.SetProgressBar(nPos);
}

void CUpgradeSequencer::SetStage(BYTE nStage) {
    std::lock_guard lock(m_StageLock);
    m_nStage = nStage;
}

void CUpgradeSequencer::NextStage() {
    std::lock_guard lock(m_StageLock);
    m_nStage = static_cast<BYTE>(m_nStage + 1);
}

BYTE CUpgradeSequencer::GetStage() {
    std::lock_guard lock(m_StageLock);
    return m_nStage;
}

void CUpgradeSequencer::OnCompleteUpdate() {
    std::lock_guard lock(m_StageLock);
    m_nUpdateMode = MODE_COMPLETE;
}

void CUpgradeSequencer::OnOnlyCartridge() {
    std::lock_guard lock(m_StageLock);
    m_nUpdateMode = MODE_CARTRIDGE_ONLY;
}

void CUpgradeSequencer::OnOnlySti() {
    std::lock_guard lock(m_StageLock);
    m_nUpdateMode = MODE_STI_ONLY;
}

void CUpgradeSequencer::ResetUpload() {
    SetStage(STAGE_NONE);
    g_nUploadState = STATE_IDLE;
    ReleaseConnection();
    SetProgress(0);
}

void CUpgradeSequencer::Abort() {
    const int nState = g_nUploadState.load();
    SetStage(STAGE_NONE);
    g_nUploadState = STATE_IDLE;
    ReleaseConnection();
    if (nState == STATE_CONNECTED || nState == STATE_UPLOADING || nState == STATE_STAGE_DONE)
        EndSequence(UpgradeResult::Stopped, FailureClass::User, {});
}

void CUpgradeSequencer::OnStartUpload() {
    const std::string port = m_ui.PortText();
    // The engine's buffer holds 99 characters and the NUL; a longer name is refused rather than
    // cut, since a cut name could open another device.
    if (port.size() >= kPortNameCapacity) {
        m_ui.ShowMessage(PortNameTooLongText(), MB_SYSTEMMODAL);
        return;
    }
    std::memcpy(g_Uploader.m_szPortName, port.c_str(), port.size() + 1);

    const int nState = g_nUploadState.load();
    if (nState == STATE_CONNECTED || nState == STATE_STOPPED)
        g_Uploader.Disconnect();
    if (m_nUpdateMode == MODE_NONE) {
        m_ui.ShowMessage(kSelectModeText, MB_OK);
        return;
    }
    ResetUpload();
    m_bCompleted = false;
    m_resentLastRecords.clear();
    m_delivered.clear();
    m_lastRecordResends.clear();
    m_bCurrentPartial = false;
    m_ui.OnSequenceStarted(m_nUpdateMode, m_ConfigInfo);

    OpenConnectionId();
    const unsigned nResult = g_Uploader.Connect();
    if (nResult == CONNECT_OK) {
        g_nUploadState = STATE_CONNECTED;
        SetStage(m_nUpdateMode == MODE_COMPLETE || m_nUpdateMode == MODE_STI_ONLY
                     ? STAGE_STI
                     : STAGE_CARTRIDGE1);
        // Stage 1, or stage 2 in MODE_CARTRIDGE_ONLY: starts a file without a prompt, and leaves
        // STATE_UPLOADING, or STATE_STOPPED with a message when the file does not start.
        RunStage();
        return;
    }
    // The reason is kept per thread by the engine: take it before anything else calls it.
    const std::string reason = CTarvik::GetLastErrorText();
    CloseConnectionId();
    // After result 4 the engine keeps the port open with nothing reading it; release it now
    // rather than at the next start. (After result 1 the open port is not this sequence's.)
    if (nResult == CONNECT_READER_FAILED)
        g_Uploader.Disconnect();
    std::string text;
    switch (nResult) {
    case CONNECT_ALREADY_CONNECTED:
        text = kAlreadyInProgressText;
        break;
    case CONNECT_PORT_FAILED: {
        // "used by another application" only when another program holds the port; a name that
        // opens nothing, or no serial port, is an invalid port. The system's reason follows.
        const int nFailure = CTarvik::GetLastPortFailure();
        text = nFailure == PORT_FAILURE_HELD ? kPortUsedText : kInvalidPortText;
        if (!reason.empty())
            text += "\n" + reason;
        text += "\n" + PortAdvice(nFailure);
        break;
    }
    case CONNECT_READER_FAILED:
        text = kInvalidPortText;
        break;
    default:
        text = kServiceUnavailableText;
        break;
    }
    // "Upload already in progress." ends no sequence: the one that holds the port goes on.
    if (nResult != CONNECT_ALREADY_CONNECTED)
        EndSequence(UpgradeResult::Failed, FailureClass::Port, text);
    m_ui.ShowMessage(text, MB_SYSTEMMODAL);
}

void CUpgradeSequencer::RunStage() {
    const BYTE nStage = GetStage();
    const BYTE nMode = m_nUpdateMode;
    switch (nStage) {
    case STAGE_STI:
        StartFile(TAG_STI_FILE, m_ConfigInfo.pszStiFile);
        break;
    case STAGE_CARTRIDGE1:
        if (nMode == MODE_STI_ONLY)
            FinishSequence(kStiUpdatedText);
        else if (nMode == MODE_CARTRIDGE_ONLY)
            StartFile(TAG_CARTRIDGE_FILE1, m_ConfigInfo.pszCartridgeFile1);
        else
            AskThenStart(kRebootPromptText, TAG_CARTRIDGE_FILE1, m_ConfigInfo.pszCartridgeFile1);
        break;
    case STAGE_CARTRIDGE2:
        AskThenStart(kFilePromptText, TAG_CARTRIDGE_FILE2, m_ConfigInfo.pszCartridgeFile2);
        break;
    case STAGE_FINISH:
        FinishSequence(kGoodText);
        break;
    default:
        break;
    }
}

void CUpgradeSequencer::StartFile(BYTE fileTag, char* pszPath) {
    // What is sent is what was verified: the file may have been edited, cut or removed since
    // start-up. The loader's own message for the file, and on the next line which file and why.
    std::string message;
    std::string detail;
    if (!RecheckUploadFile(m_ConfigInfo, fileTag, m_configBaseDir, &message, &detail)) {
        StopWithMessage((detail.empty() ? message : message + "\n" + detail) + "\n" +
                            NextStepLine(true),
                        true, UpgradeResult::Failed, FailureClass::FileChanged);
        return;
    }
    unsigned nResult = UPLOAD_BAD_FILE; // a configuration without this file: nothing to open
    if (pszPath != nullptr && pszPath[0] != '\0')
        nResult = g_Uploader.UploadURTFile(pszPath);
    if (nResult == UPLOAD_STARTED) {
        g_nUploadState = STATE_UPLOADING;
        m_nCurrentFileTag = fileTag;
        m_currentFile = pszPath;
        m_bCurrentPartial = false;
        const auto [index, count] = FilePlace(fileTag);
        m_ui.OnFileStarted(index, count, pszPath);
        return;
    }
    ReportStartFailure(pszPath, nResult);
}

std::pair<int, int> CUpgradeSequencer::FilePlace(BYTE fileTag) const {
    const int cartridge = fileTag == TAG_CARTRIDGE_FILE2 ? 2 : 1;
    switch (m_nUpdateMode) {
    case MODE_STI_ONLY:
        return {1, 1};
    case MODE_CARTRIDGE_ONLY:
        return {cartridge, 2};
    default:
        return {fileTag == TAG_STI_FILE ? 1 : 1 + cartridge, 3};
    }
}

void CUpgradeSequencer::ReportStartFailure(const char* pszPath, unsigned nResult) {
    const std::string system = pszPath != nullptr && pszPath[0] != '\0'
                                   ? CTarvik::GetLastErrorText()
                                   : "the configuration names no such file";
    std::string text = "Upload stopped.\nThe file ";
    text += pszPath != nullptr ? pszPath : "";
    text += " cannot be uploaded:\n" + StartFailureReason(nResult);
    if (!system.empty())
        text += " (" + system + ")";
    // A port lost between files is the line's fault, not the files'.
    const bool lineFault = nResult == UPLOAD_NOT_CONNECTED;
    text += lineFault ? ".\nPlease check connection and try again."
                      : ".\nPlease check the upgrade files and try again.";
    // Appended in two steps: mingw-w64 g++ 12 at -O3 warns falsely (-Wrestrict) on
    // "literal" + std::string&& here.
    text += '\n';
    text += NextStepLine(!lineFault);
    // The sequence stops here, as after a time-out, so that a later stage never runs on a file
    // that was not sent.
    StopWithMessage(text, true, UpgradeResult::Failed,
                    lineFault ? FailureClass::Line : FailureClass::Configuration);
}

void CUpgradeSequencer::StopWithMessage(const std::string& text, bool resetProgress,
                                        UpgradeResult result, FailureClass failure) {
    ReleaseConnection();
    g_nUploadState = STATE_STOPPED;
    if (resetProgress)
        SetProgress(0);
    EndSequence(result, failure, text);
    ShowStagePrompt(text, MB_SYSTEMMODAL, nullptr);
}

std::string CUpgradeSequencer::BoxHolds() const {
    return ::BoxHolds(m_delivered, m_bCurrentPartial ? m_currentFile : std::string());
}

std::string CUpgradeSequencer::NextStepLine(bool filesAtFault) const {
    return ::NextStepLine(BoxHolds(), filesAtFault);
}

// Called before the message that ends a sequence is shown: the front end records the outcome
// (flushed to disk) before the user reads it.
void CUpgradeSequencer::EndSequence(UpgradeResult result, FailureClass failure,
                                    const std::string& message) {
    SequenceOutcome outcome;
    outcome.result = result;
    outcome.failure = failure;
    outcome.message = message;
    outcome.delivered = m_delivered;
    outcome.lastRecordResends = m_lastRecordResends;
    const std::string holds = BoxHolds();
    const std::string box = holds.empty() ? "Nothing was sent to the box." : holds + ".";
    switch (result) {
    case UpgradeResult::Updated:
        outcome.summary = "Updated: " + box;
        break;
    case UpgradeResult::Stopped:
        outcome.summary = "Stopped. " + box;
        break;
    case UpgradeResult::Failed:
        outcome.summary = "Failed: " + FirstLine(message) + " " + box;
        break;
    }
    std::string traced = outcome.summary;
    if (!message.empty()) {
        std::string shown = message;
        std::replace(shown.begin(), shown.end(), '\n', ' ');
        traced += " Message: " + shown;
    }
    CTarvik::TraceNote(("sequence ended. " + traced).c_str());
    m_ui.OnSequenceEnded(outcome);
}

void CUpgradeSequencer::AskThenStart(const char* pszText, BYTE fileTag, char* pszPath) {
    ShowStagePrompt(pszText, MB_SYSTEMMODAL | MB_OKCANCEL, [this, fileTag, pszPath](int answer) {
        // Only a reset ends STATE_STAGE_DONE while the prompt is open, and a reset closes it;
        // the test keeps a late answer from acting on anything else.
        if (g_nUploadState.load() != STATE_STAGE_DONE)
            return;
        if (answer == IDOK)
            StartFile(fileTag, pszPath);
        else
            Refuse();
    });
}

void CUpgradeSequencer::Refuse() {
    StopWithMessage(kSwitchOffText + std::string("\n") + NextStepLine(), true,
                    UpgradeResult::Stopped, FailureClass::User);
}

void CUpgradeSequencer::FinishSequence(const char* pszText) {
    // Reset first, so that the port is released at once rather than when the user has read the
    // message; the message is then the open stage prompt until the user or the next reset
    // closes it.
    ResetUpload();
    m_bCompleted = true;
    const std::string text = pszText + ResentLastRecordsLine();
    EndSequence(UpgradeResult::Updated, FailureClass::None, text);
    ShowStagePrompt(text, MB_SYSTEMMODAL, nullptr);
}

std::string CUpgradeSequencer::ResentLastRecordsLine() const {
    if (m_resentLastRecords.empty())
        return {};
    // The box has no answer for a good last record: after asking for it again, a box that took
    // the copy and one that gave up are both silent. Only its front panel can tell.
    return "\nThe box asked for the last record of " + ListOf(m_resentLastRecords) +
           " again and said nothing after it: check that the front panel shows 'Good' before "
           "switching off.";
}

std::string CUpgradeSequencer::FileChangedText() const {
    // The loader's message for the file as it is now (missing, or not matching), then the file
    // and what happened; a file whose content is back as it was still changed while it was sent.
    std::string message;
    std::string detail;
    std::string why;
    if (RecheckUploadFile(m_ConfigInfo, m_nCurrentFileTag, m_configBaseDir, &message, &detail)) {
        message = UploadFileMismatchMessage(m_nCurrentFileTag);
    } else {
        const std::string prefix = m_currentFile + ": ";
        why = detail.rfind(prefix, 0) == 0 ? detail.substr(prefix.size()) : detail;
    }
    std::string text = message + "\n" + m_currentFile + ": " + kFileChangedReason;
    if (!why.empty())
        text += " (" + why + ")";
    return text;
}

bool CUpgradeSequencer::DeliveredAsVerified() {
    // What the box got must be what the configuration's CRC-32 covers: the engine stops on a
    // file written to while it read it, and this check, after the last record, also catches a
    // file replaced under its name or changed before the engine opened it.
    if (RecheckUploadFile(m_ConfigInfo, m_nCurrentFileTag, m_configBaseDir, nullptr, nullptr))
        return true;
    // The box has the file whole, but not as verified.
    m_bCurrentPartial = true;
    StopWithMessage(FileChangedText() + "\n" + NextStepLine(true), false, UpgradeResult::Failed,
                    FailureClass::FileChanged);
    return false;
}

void CUpgradeSequencer::OnNotification(int nMsgType, int nPercent, const std::string& reason,
                                       unsigned nConnection, int nResends) {
    if (nConnection != m_nConnection)
        return; // from a connection that has since been reset
    if (g_nUploadState.load() != STATE_UPLOADING)
        return;
    switch (nMsgType) {
    case UPLOAD_MSG_PROGRESS:
        // The box asked for a record: it has part of the file from here on.
        m_bCurrentPartial = true;
        SetProgress(nPercent);
        break;
    case UPLOAD_MSG_TIMEOUT:
        // The bar stays where the upload stopped; the reason goes on a line below the message
        // (a box that never answered the wake-up gets one too), and what to do below it. A file
        // that changed is no line fault: the loader's message for the file says what is wrong.
        if (reason == kFileChangedReason)
            StopWithMessage(FileChangedText() + "\n" + NextStepLine(true), false,
                            UpgradeResult::Failed, FailureClass::FileChanged);
        else
            StopWithMessage(kTimeoutText + std::string("\n") +
                                (reason.empty() ? kNoAnswerReason : reason) + "\n" + NextStepLine(),
                            false, UpgradeResult::Failed,
                            reason == kRefusedReason ? FailureClass::BoxRefused
                                                     : FailureClass::Line);
        break;
    case UPLOAD_MSG_COMPLETE:
        if (!DeliveredAsVerified())
            break;
        if (nResends > 0)
            m_resentLastRecords.push_back(m_currentFile);
        m_delivered.push_back(m_currentFile);
        m_lastRecordResends.emplace_back(m_currentFile, nResends);
        m_bCurrentPartial = false;
        // Every stage either starts a file, opens a prompt whose answer continues the
        // sequence, stops it or finishes it, so one step per completion is enough.
        g_nUploadState = STATE_STAGE_DONE;
        m_ui.OnFileCompleted();
        SetProgress(0);
        NextStage();
        RunStage();
        break;
    default:
        break;
    }
}

void CUpgradeSequencer::OnCancelUpload() {
    const int nState = g_nUploadState.load();
    if (nState == STATE_UPLOADING || nState == STATE_STAGE_DONE) {
        const unsigned nConnection = m_nConnection;
        if (m_ui.ShowMessage(kReallyStopText, MB_SYSTEMMODAL | MB_YESNO) != IDYES)
            return;
        // The question is modal to the dialog but the dialog's events go on meanwhile: the
        // sequence may have finished or been replaced before the answer came.
        if (nConnection == 0 || nConnection != m_nConnection || g_nUploadState.load() == STATE_IDLE)
            return;
        g_nUploadState = STATE_IDLE;
        ReleaseConnection();
        SetProgress(0);
        const std::string text = kStoppedRestartText + std::string("\n") + NextStepLine();
        EndSequence(UpgradeResult::Stopped, FailureClass::User, text);
        m_ui.ShowMessage(text, MB_SYSTEMMODAL);
    } else if (nState == STATE_STOPPED) {
        ReleaseConnection();
        g_nUploadState = STATE_IDLE;
    } else {
        m_ui.ShowMessage(kNoUploadText, MB_SYSTEMMODAL);
    }
}

void CUpgradeSequencer::OnExit() {
    const int nState = g_nUploadState.load();
    if (nState == STATE_UPLOADING || nState == STATE_STAGE_DONE) {
        m_ui.ShowMessage(kInProgressText, MB_SYSTEMMODAL);
        return;
    }
    CloseStagePrompt();
    if (nState == STATE_CONNECTED || nState == STATE_STOPPED) {
        CloseConnectionId();
        g_Uploader.Disconnect();
        g_nUploadState = STATE_IDLE;
    }
    m_ui.EndDialog();
}
