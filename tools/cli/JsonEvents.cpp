#include "JsonEvents.h"

#include "ConsoleUi.h"
#include "Program.h"
#include "ReadOnlyFile.h"
#include "ToolOptions.h"
#include "UploadFormat.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

namespace sorvel::cli {
namespace {

using SystemClock = std::chrono::system_clock;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The console's rule: empty, "y", "yes" or "ok" say OK/Yes.
bool IsPositive(std::string line) {
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    line = Lower(first == std::string::npos ? std::string() : line.substr(first));
    return line.empty() || line == "y" || line == "yes" || line == "ok";
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string Text(const char* text) {
    return text != nullptr ? text : "";
}

// The record count of an upload file's header, 0 when it does not read as one.
std::uint32_t RecordCount(const std::string& path) {
    ReadOnlyFile file;
    if (file.Open(NativePath(path), false) != ReadOnlyFile::OpenResult::Ok)
        return 0;
    std::uint8_t header[upload::kHeaderBytes];
    const long got = file.ReadAt(header, static_cast<long>(sizeof header), 0);
    return upload::ParseHeader(header, got).value_or(0);
}

} // namespace

void JsonEventWriter::Emit(const std::string& name, const nlohmann::ordered_json& fields) {
    // Under the lock from the time on, so that the lines' times rise in the order they are read.
    std::lock_guard lock(m_mutex);
    nlohmann::ordered_json event = {
        {"event", name}, {"schema", kEventSchema}, {"time", record::IsoUtc(SystemClock::now())}};
    for (const auto& [key, value] : fields.items())
        event[key] = value;
    std::string line = event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    line += '\n';
    // The whole line, then out at once: no line waits half written in the stream's buffer.
    std::fwrite(line.data(), 1, line.size(), m_out);
    std::fflush(m_out);
}

std::string JsonEventWriter::LastMessage() const {
    std::lock_guard lock(m_mutex);
    return m_lastMessage;
}

void JsonEventWriter::SetLastMessage(const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_lastMessage = text;
}

MessagePresenter MakeJsonPresenter(bool answerYes, std::shared_ptr<JsonEventWriter> events) {
    // One prompt at a time, so that the line read answers the prompt last shown.
    auto promptMutex = std::make_shared<std::mutex>();
    auto lastId = std::make_shared<std::atomic<int>>(0);
    return [=](const MessageRequest& request) {
        const unsigned buttons = request.flags & kMessageButtonsMask;
        if (buttons != MB_OKCANCEL && buttons != MB_YESNO) {
            events->SetLastMessage(request.text);
            events->Emit("message", {{"text", request.text}, {"flags", request.flags}});
            return IDOK;
        }
        std::lock_guard lock(*promptMutex);
        const nlohmann::ordered_json answers = buttons == MB_YESNO
                                                   ? nlohmann::ordered_json{"yes", "no"}
                                                   : nlohmann::ordered_json{"ok", "cancel"};
        events->Emit("prompt", {{"id", ++*lastId},
                                {"text", request.text},
                                {"flags", request.flags},
                                {"answers", answers}});
        if (answerYes)
            return PositiveAnswer(request.flags);
        std::string line;
        if (!std::getline(std::cin, line))
            return NegativeAnswer(request.flags);
        return IsPositive(line) ? PositiveAnswer(request.flags) : NegativeAnswer(request.flags);
    };
}

std::vector<record::RecordedFile> FilesOfMode(const CONFIG_INFO& config, BYTE mode) {
    struct Configured {
        const char* path;
        DWORD crc;
    };
    std::vector<Configured> configured;
    if (mode == MODE_COMPLETE || mode == MODE_STI_ONLY)
        configured.push_back({config.pszStiFile, config.dwStiFileCrc});
    if (mode == MODE_COMPLETE || mode == MODE_CARTRIDGE_ONLY) {
        configured.push_back({config.pszCartridgeFile1, config.dwCartridgeFile1Crc});
        configured.push_back({config.pszCartridgeFile2, config.dwCartridgeFile2Crc});
    }
    std::vector<record::RecordedFile> files;
    for (const Configured& c : configured) {
        record::RecordedFile file;
        file.path = Text(c.path);
        file.crc32 = static_cast<std::uint32_t>(c.crc);
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(NativePath(file.path), error);
        file.size = error ? 0 : static_cast<std::uint64_t>(size);
        file.records = RecordCount(file.path);
        files.push_back(std::move(file));
    }
    return files;
}

JsonUi::JsonUi(std::string port, bool answerYes, std::shared_ptr<TaskQueue> queue,
               std::shared_ptr<JsonEventWriter> events)
    : m_port(std::move(port)), m_answerYes(answerYes), m_queue(std::move(queue)),
      m_events(std::move(events)) {
    m_attempt.start = SystemClock::now();
    m_attempt.program = "sorvel-cli";
    m_attempt.version = tools::Version();
    const std::string host = Environment("HOSTNAME");
    m_attempt.host = host.empty() ? Environment("COMPUTERNAME") : host;
    const std::string user = Environment("USER");
    m_attempt.user = user.empty() ? Environment("USERNAME") : user;
    m_attempt.port = m_port;
}

void JsonUi::ConfigLoaded(const CONFIG_INFO& config, BYTE mode) {
    std::error_code error;
    const std::string folder = std::filesystem::current_path(error).string();
    m_attempt.folder = folder;
    // --trace names its file to the engine through the environment, as a user may.
    m_attempt.trace = Environment("SORVEL_TRACE");
    m_attempt.config = {Text(config.pszSoftwareVersion), Text(config.pszHardwareVersion),
                        Text(config.pszBrevonVersion), Text(config.pszPellumVersion),
                        Text(config.szCartridgeType)};
    m_attempt.mode = record::ModeName(mode);
    m_attempt.files = FilesOfMode(config, mode);

    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    char crc[9];
    for (const record::RecordedFile& f : m_attempt.files) {
        std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(f.crc32));
        files.push_back(
            {{"path", f.path}, {"size", f.size}, {"crc32", crc}, {"records", f.records}});
    }
    m_events->Emit("config", {{"port", m_port},
                              {"folder", folder},
                              {"config", record::ToJson(m_attempt.config)},
                              {"mode", m_attempt.mode},
                              {"files", files}});
}

record::UpgradeAttempt JsonUi::Attempt() const {
    record::UpgradeAttempt attempt = m_attempt;
    attempt.end = SystemClock::now();
    if (m_outcome) {
        attempt.outcome = record::OutcomeName(m_outcome->result);
        attempt.failureClass = record::FailureClassName(m_outcome->failure);
        attempt.reason = m_outcome->message;
        // The files go in order, so the box holds the first ones of the mode.
        const std::size_t delivered = std::min(m_outcome->delivered.size(), attempt.files.size());
        for (std::size_t i = 0; i < delivered; ++i)
            attempt.files[i].delivered = true;
    }
    return attempt;
}

void JsonUi::Finish(int exitStatus, const record::UpgradeAttempt* recorded) {
    if (m_finished)
        return;
    m_finished = true;
    record::UpgradeAttempt attempt = recorded ? *recorded : Attempt();
    if (recorded) {
        if (exitStatus != 0 && attempt.outcome == record::OutcomeName(UpgradeResult::Updated))
            attempt.outcome = record::OutcomeName(UpgradeResult::Failed);
    } else if (!m_outcome) {
        // No sequence told its end: the configuration did not load (its loader's message says
        // why), or Ctrl-C came before the upload began.
        const bool loaded = !attempt.mode.empty();
        attempt.outcome = record::OutcomeName(exitStatus == 0 ? UpgradeResult::Updated
                                              : loaded        ? UpgradeResult::Stopped
                                                              : UpgradeResult::Failed);
        attempt.failureClass = record::FailureClassName(exitStatus == 0 ? FailureClass::None
                                                        : loaded        ? FailureClass::User
                                                                 : FailureClass::Configuration);
        attempt.reason = loaded ? std::string() : m_events->LastMessage();
    } else if (exitStatus != 0 && m_outcome->result == UpgradeResult::Updated) {
        // Cannot happen while the sequencer and main agree; the exit status is what a script
        // acts on, so the result never says otherwise.
        attempt.outcome = record::OutcomeName(UpgradeResult::Failed);
    }
    nlohmann::ordered_json fields = record::ToJson(attempt);
    m_events->Emit("result", fields);
}

int JsonUi::ShowMessage(const std::string& text, unsigned flags) {
    return AfxMessageBox(text, flags);
}

void JsonUi::ShowStagePrompt(const std::string& text, unsigned flags,
                             std::function<void(int answer)> onAnswer) {
    AskStagePrompt(text, flags, m_answerYes, m_queue, m_readers, std::move(onAnswer));
}

void JsonUi::SetProgressBar(int nPos) {
    // Back to 0 between files and at the end: nothing was sent, nothing to say.
    if (nPos <= 0 || m_index == 0)
        return;
    const int percent = std::min(nPos, 100);
    if (percent == m_percent)
        return;
    m_percent = percent;
    m_waiting = false;
    const Clock::time_point now = Clock::now();
    if (!m_haveFirst) {
        // The rate counts from the box's first request: the wait before it was the box's.
        m_haveFirst = true;
        m_firstAt = now;
        m_firstPercent = percent;
    }
    const double seconds = std::chrono::duration<double>(now - m_firstAt).count();
    const auto fileBytes = static_cast<double>(m_fileBytes);
    nlohmann::ordered_json rate = nullptr;
    nlohmann::ordered_json left = percent >= 100 ? nlohmann::ordered_json(0) : nullptr;
    if (m_fileBytes > 0 && percent > m_firstPercent && seconds > 0) {
        const double bytesPerSecond = fileBytes * (percent - m_firstPercent) / 100 / seconds;
        rate = std::llround(bytesPerSecond);
        if (percent < 100)
            left = std::llround(std::ceil(fileBytes * (100 - percent) / 100 / bytesPerSecond));
    }
    m_events->Emit("progress", {{"index", m_index},
                                {"percent", percent},
                                {"bytes", std::llround(fileBytes * percent / 100)},
                                {"bytes_per_second", rate},
                                {"seconds_left", left}});
}

void JsonUi::OnFileStarted(int index, int count, const std::string& path) {
    m_index = index;
    m_path = path;
    const std::size_t slot = static_cast<std::size_t>(index - 1);
    m_fileBytes = slot < m_attempt.files.size() ? m_attempt.files[slot].size : 0;
    m_startedAt = Clock::now();
    m_waiting = true;
    m_waitedSeconds = 0;
    m_percent = 0;
    m_haveFirst = false;
    m_events->Emit("file-started",
                   {{"index", index}, {"count", count}, {"path", path}, {"size", m_fileBytes}});
}

void JsonUi::OnFileCompleted() {
    // The engine's last report may stop short of 100 %; the file is through now.
    SetProgressBar(100);
    m_waiting = false;
    // Valid until the next upload completes.
    const int resends = CTarvik::GetLastRecordResends();
    const std::size_t slot = static_cast<std::size_t>(m_index - 1);
    if (slot < m_attempt.files.size())
        m_attempt.files[slot].resends = resends;
    m_events->Emit("file-completed", {{"index", m_index}, {"path", m_path}, {"resends", resends}});
    m_index = 0;
}

void JsonUi::OnSequenceEnded(const SequenceOutcome& outcome) {
    m_waiting = false;
    m_index = 0;
    m_outcome = outcome;
}

void JsonUi::Post(std::function<void()> task) {
    m_queue->Post(std::move(task));
}

int JsonUi::Tick() {
    if (!m_waiting)
        return -1;
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_startedAt);
    const auto seconds = static_cast<int>(waited.count() / 1000);
    if (seconds > m_waitedSeconds) {
        m_waitedSeconds = seconds;
        m_events->Emit("waiting", {{"index", m_index}, {"seconds", seconds}});
    }
    // Just past the next whole second.
    return static_cast<int>(1000 - waited.count() % 1000) + 1;
}

} // namespace sorvel::cli
