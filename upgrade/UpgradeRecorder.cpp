#include "UpgradeRecorder.h"

#include "Program.h"
#include "UpgradeModes.h"
#include "UpgradeRecordFile.h"
#include "UploadFormat.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

namespace sorvel::record {

namespace {

namespace fs = std::filesystem;

constexpr const char* kMarkerInfix = ".begun-";
constexpr const char* kClaimedInfix = ".claimed-";

std::string Text(const char* value) {
    return value != nullptr ? value : "";
}

RecordedFile DescribeFile(const std::string& folder, const char* path, DWORD crc32) {
    RecordedFile file;
    file.path = Text(path);
    file.crc32 = crc32;
    const fs::path onDisk = fs::path(folder) / NativePath(file.path);
    std::error_code error;
    const auto size = fs::file_size(onDisk, error);
    if (!error)
        file.size = size;
    std::ifstream in(onDisk, std::ios::binary);
    std::uint8_t header[upload::kHeaderBytes] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    if (const auto records = upload::ParseHeader(header, static_cast<long>(in.gcount())))
        file.records = *records;
    return file;
}

bool WriteFileWhole(const fs::path& path, const std::string& text) {
    // Through a temporary name, so that a marker is never seen half written.
    const fs::path temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out)
            return false;
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error)
        fs::remove(temporary, error);
    return !error;
}

} // namespace

std::string CurrentFolder() {
    std::error_code error;
    const fs::path folder = fs::current_path(error);
    return error ? std::string() : folder.string();
}

std::string TraceFromEnvironment() {
    return Text(std::getenv("SORVEL_TRACE"));
}

UpgradeAttempt BeginAttempt(const AttemptContext& context, BYTE mode, const CONFIG_INFO& config) {
    UpgradeAttempt attempt;
    attempt.start = std::chrono::system_clock::now();
    attempt.end = attempt.start;
    attempt.program = context.program;
    attempt.version = context.version;
    attempt.host = os::HostName();
    attempt.user = os::UserName();
    attempt.port = context.port;
    attempt.folder = context.folder;
    attempt.unit = context.unit;
    attempt.trace = context.trace;
    attempt.config = {Text(config.pszSoftwareVersion), Text(config.pszHardwareVersion),
                      Text(config.pszBrevonVersion), Text(config.pszPellumVersion),
                      Text(config.szCartridgeType)};
    attempt.mode = ModeName(mode);
    if (mode == MODE_COMPLETE || mode == MODE_STI_ONLY)
        attempt.files.push_back(
            DescribeFile(context.folder, config.pszStiFile, config.dwStiFileCrc));
    if (mode == MODE_COMPLETE || mode == MODE_CARTRIDGE_ONLY) {
        attempt.files.push_back(
            DescribeFile(context.folder, config.pszCartridgeFile1, config.dwCartridgeFile1Crc));
        attempt.files.push_back(
            DescribeFile(context.folder, config.pszCartridgeFile2, config.dwCartridgeFile2Crc));
    }
    return attempt;
}

CUpgradeRecorder::CUpgradeRecorder(std::string path, Notice notice)
    : m_path(std::move(path)), m_notice(std::move(notice)) {
    RecordAbandoned();
}

CUpgradeRecorder::~CUpgradeRecorder() {
    EndWithProgram();
}

std::string CUpgradeRecorder::MarkerPath() const {
    return m_path + kMarkerInfix + std::to_string(os::CurrentProcessId());
}

void CUpgradeRecorder::Say(const std::string& error) {
    if (m_said || !m_notice)
        return;
    m_said = true;
    m_notice("the upgrade record is off: " + error);
}

void CUpgradeRecorder::Begin(UpgradeAttempt attempt) {
    m_attempt = std::move(attempt);
    m_begun = true;
    if (m_path.empty())
        return;
    try {
        const fs::path marker = MarkerPath();
        std::error_code error;
        if (marker.has_parent_path())
            fs::create_directories(marker.parent_path(), error);
        if (error) {
            Say("cannot make the folder " + marker.parent_path().string() + ": " + error.message());
            return;
        }
        if (!WriteFileWhole(marker, ToJson(m_attempt).dump(
                                        -1, ' ', false, nlohmann::json::error_handler_t::replace)))
            Say("cannot write " + marker.string());
    } catch (const std::exception& e) {
        Say(e.what());
    }
}

void CUpgradeRecorder::End(const SequenceOutcome& outcome) {
    if (!m_begun)
        return;
    m_begun = false;
    UpgradeAttempt attempt = std::move(m_attempt);
    attempt.end = std::chrono::system_clock::now();
    attempt.outcome = OutcomeName(outcome.result);
    attempt.failureClass = FailureClassName(outcome.failure);
    // After Ctrl-C nothing was shown; the summary says what the box holds.
    attempt.reason = outcome.message.empty() ? outcome.summary : outcome.message;
    // Matched in order: the files are sent in the order the attempt lists them.
    auto next = attempt.files.begin();
    for (const std::string& path : outcome.delivered) {
        auto file = std::find_if(next, attempt.files.end(),
                                 [&](const RecordedFile& f) { return f.path == path; });
        if (file == attempt.files.end())
            continue;
        file->delivered = true;
        next = std::next(file);
    }
    for (const auto& [path, resends] : outcome.lastRecordResends)
        for (RecordedFile& file : attempt.files)
            if (file.path == path && file.resends == 0) {
                file.resends = resends;
                break;
            }
    Append(attempt);
    m_last = std::move(attempt);
}

void CUpgradeRecorder::Record(UpgradeAttempt attempt) {
    attempt.end = std::chrono::system_clock::now();
    Append(attempt);
    m_last = std::move(attempt);
}

void CUpgradeRecorder::EndWithProgram() {
    if (!m_begun)
        return;
    SequenceOutcome outcome;
    outcome.result = UpgradeResult::Stopped;
    outcome.failure = FailureClass::User;
    outcome.message = kEndedReason;
    End(outcome);
}

void CUpgradeRecorder::Append(const UpgradeAttempt& attempt) {
    if (m_path.empty())
        return;
    std::string error;
    if (!AppendRecord(m_path, attempt, &error)) {
        Say(error);
        return; // the marker stays: a later start may still record the attempt
    }
    std::error_code ignored;
    fs::remove(MarkerPath(), ignored);
}

int CUpgradeRecorder::RecordAbandoned() {
    if (m_path.empty())
        return 0;
    int recorded = 0;
    try {
        const fs::path record(m_path);
        const fs::path folder = record.has_parent_path() ? record.parent_path() : fs::path(".");
        const std::string prefix = record.filename().string() + kMarkerInfix;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) != 0)
                continue;
            const std::string digits = name.substr(prefix.size());
            if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
                continue; // a temporary file, or no marker of ours
            const int pid = std::atoi(digits.c_str());
            if ((m_begun && pid == os::CurrentProcessId()) || os::ProcessRuns(pid))
                continue;
            // Claimed by renaming, so that two programs starting at once record it once.
            const fs::path claimed =
                entry.path().string() + kClaimedInfix + std::to_string(os::CurrentProcessId());
            std::error_code taken;
            fs::rename(entry.path(), claimed, taken);
            if (taken)
                continue;
            std::ifstream in(claimed, std::ios::binary);
            const std::string text{std::istreambuf_iterator<char>(in), {}};
            in.close();
            UpgradeAttempt attempt;
            std::string why;
            const nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
            if (FromJson(object, &attempt, &why)) {
                attempt.end = attempt.start;
                attempt.outcome = OutcomeName(UpgradeResult::Failed);
                attempt.failureClass = FailureClassName(FailureClass::User);
                attempt.reason = kAbandonedReason;
                if (!AppendRecord(m_path, attempt, &why)) {
                    Say(why);
                    fs::rename(claimed, entry.path(), taken); // for a later start
                    continue;
                }
                ++recorded;
            }
            // A marker that does not read was cut by the crash itself: nothing to record.
            fs::remove(claimed, taken);
        }
    } catch (const std::exception& e) {
        Say(e.what());
    }
    return recorded;
}

} // namespace sorvel::record
