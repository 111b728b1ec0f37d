// The dialogs' status line: one line of text below the progress bar that says what the upgrade
// is doing. Both toolkits show the same text; this decides it.
//
//   before anything     "Ready: press Start Upload." (no upgrade loaded: how to open one)
//   waiting             "File 1 of 3: Sti.urt: waiting for the box to answer (4 s)"
//   sending             "File 2 of 3: Cartridge1.urt: 41 %, 0:07 left"
//   between files       "File 1 of 3: Sti.urt sent. Answer the message to go on."
//   at the end          the sequence's outcome summary ("Updated: The box received ...")
//
// Times are given by the caller (a steady clock's readings), so that the text depends on nothing
// else. One thread: the dialog's.
#pragma once

#include "ConfigFile.h"
#include "SequenceOutcome.h"
#include "SorvelWinTypes.h"

#include <chrono>
#include <string>

class CUpgradeStatus {
public:
    using Clock = std::chrono::steady_clock;

    // The idle text for a configuration load result (CONFIG_NONE, CONFIG_STI_ONLY, CONFIG_FULL).
    explicit CUpgradeStatus(BYTE nConfigResult = CONFIG_NONE);

    // A new load result; the line goes back to its idle text when nothing runs.
    void SetConfigResult(BYTE nConfigResult);
    // The index-th (from 1) of count files started; the box has not answered yet.
    void FileStarted(int index, int count, const std::string& path, Clock::time_point now);
    // The progress bar's position. 0 outside a file's sending (between files, at a reset)
    // changes nothing: the line keeps what it said.
    void Progress(int nPercent, Clock::time_point now);
    // The file started last is through.
    void FileCompleted();
    // A stage prompt opened (OK and Cancel): the sequence waits for the user.
    void PromptOpened();
    // The sequence ended.
    void Ended(const SequenceOutcome& outcome);
    // Time passes: true when the text changed (the seconds of a wait).
    bool Tick(Clock::time_point now);

    const std::string& Text() const { return m_text; }

    // The idle texts.
    static std::string IdleText(BYTE nConfigResult);

private:
    enum class Phase { Idle, Waiting, Sending, Sent, Ended };
    void Compose();

    BYTE m_nConfigResult;
    Phase m_phase = Phase::Idle;
    int m_index = 0;
    int m_count = 0;
    std::string m_name;
    bool m_bPrompt = false;
    Clock::time_point m_startedAt{};
    int m_waitedSeconds = 0;
    int m_percent = 0;
    bool m_bHaveFirst = false;
    Clock::time_point m_firstAt{};
    int m_firstPercent = 0;
    double m_secondsLeft = -1;
    std::string m_ended;
    std::string m_text;
};
