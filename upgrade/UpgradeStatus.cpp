#include "UpgradeStatus.h"

#include "ConfigFile.h"

#include <cmath>
#include <cstdio>

namespace {

// An estimate needs this much of the file behind it to mean anything.
constexpr int kMinPercentForEstimate = 2;
constexpr double kMinSecondsForEstimate = 1.0;

std::string MinutesSeconds(double seconds) {
    const long total = std::lround(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

} // namespace

std::string UploadFileName(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ListOf(const std::vector<std::string>& items) {
    std::string list;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            list += i + 1 == items.size() ? " and " : ", ";
        list += items[i];
    }
    return list;
}

std::string BoxHolds(const std::vector<std::string>& delivered, const std::string& partial) {
    std::vector<std::string> names;
    for (const std::string& path : delivered)
        names.push_back(UploadFileName(path));
    if (!partial.empty())
        names.push_back("part of " + UploadFileName(partial));
    return names.empty() ? std::string() : "The box received " + ListOf(names);
}

std::string NextStepLine(const std::string& holds, bool filesAtFault) {
    if (holds.empty())
        return filesAtFault ? "Nothing was sent to the box; copy the upgrade again, then start "
                              "the upload again."
                            : "Nothing was sent to the box; start the upload again when the box "
                              "is ready.";
    // Its new files do not go with the old ones: a box that holds part of an upgrade is
    // switched off and on and takes the whole upgrade again.
    return holds + (filesAtFault ? "; switch it off and on, copy the upgrade again, and start "
                                   "from the beginning."
                                 : "; switch it off and on, then start again from the beginning.");
}

CUpgradeStatus::CUpgradeStatus(BYTE nConfigResult) : m_nConfigResult(nConfigResult) {
    Compose();
}

std::string CUpgradeStatus::IdleText(BYTE nConfigResult) {
    if (nConfigResult == CONFIG_NONE)
        return "No upgrade loaded: choose Open upgrade folder ...";
    return "Ready: press Start Upload.";
}

void CUpgradeStatus::SetConfigResult(BYTE nConfigResult) {
    m_nConfigResult = nConfigResult;
    if (m_phase == Phase::Idle || m_phase == Phase::Ended)
        m_phase = Phase::Idle;
    Compose();
}

void CUpgradeStatus::FileStarted(int index, int count, const std::string& path,
                                 Clock::time_point now) {
    m_phase = Phase::Waiting;
    m_index = index;
    m_count = count;
    m_name = UploadFileName(path);
    m_bPrompt = false;
    m_startedAt = now;
    m_waitedSeconds = 0;
    m_percent = 0;
    m_bHaveFirst = false;
    m_secondsLeft = -1;
    Compose();
}

void CUpgradeStatus::Progress(int nPercent, Clock::time_point now) {
    if (m_phase != Phase::Waiting && m_phase != Phase::Sending)
        return;
    if (nPercent <= 0 && m_phase == Phase::Waiting)
        return;
    m_phase = Phase::Sending;
    m_percent = nPercent < 0 ? 0 : nPercent > 100 ? 100 : nPercent;
    if (!m_bHaveFirst) {
        m_bHaveFirst = true;
        m_firstAt = now;
        m_firstPercent = m_percent;
    }
    // The rate so far, from the first record's answer on (the wait for the box is no transfer).
    const double elapsed = std::chrono::duration<double>(now - m_firstAt).count();
    const int done = m_percent - m_firstPercent;
    m_secondsLeft = done >= kMinPercentForEstimate && elapsed >= kMinSecondsForEstimate
                        ? elapsed / done * (100 - m_percent)
                        : -1;
    Compose();
}

void CUpgradeStatus::FileCompleted() {
    m_phase = Phase::Sent;
    m_percent = 100;
    Compose();
}

void CUpgradeStatus::PromptOpened() {
    m_bPrompt = true;
    Compose();
}

void CUpgradeStatus::Ended(const SequenceOutcome& outcome) {
    m_phase = Phase::Ended;
    m_bPrompt = false;
    m_ended = outcome.summary;
    Compose();
}

bool CUpgradeStatus::Tick(Clock::time_point now) {
    if (m_phase != Phase::Waiting)
        return false;
    const auto seconds = static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(now - m_startedAt).count());
    if (seconds == m_waitedSeconds)
        return false;
    m_waitedSeconds = seconds;
    Compose();
    return true;
}

void CUpgradeStatus::Compose() {
    const std::string file =
        "File " + std::to_string(m_index) + " of " + std::to_string(m_count) + ": " + m_name;
    switch (m_phase) {
    case Phase::Idle:
        m_text = IdleText(m_nConfigResult);
        break;
    case Phase::Waiting:
        m_text =
            file + ": waiting for the box to answer (" + std::to_string(m_waitedSeconds) + " s)";
        break;
    case Phase::Sending:
        m_text = file + ": " + std::to_string(m_percent) + " %";
        if (m_secondsLeft >= 0)
            m_text += ", " + MinutesSeconds(m_secondsLeft) + " left";
        break;
    case Phase::Sent:
        m_text = file + " sent.";
        if (m_bPrompt)
            m_text += " Answer the message to go on.";
        break;
    case Phase::Ended:
        m_text = m_ended;
        break;
    }
}
