// The recorder that every front end shares: one record per upgrade attempt, whatever ends it.
//
// A front end tells the recorder when a sequence starts (Begin, with the attempt's context:
// program, port, folder, configuration, files, mode) and how it ended (End, with the
// sequencer's SequenceOutcome). Between the two, a "begun" marker lies beside the record file,
// "<record>.begun-<process id>", holding the attempt so far, so that an attempt is never lost:
//
//   - the sequence ends: the record is appended and the marker removed;
//   - the program ends while a sequence runs (the recorder is destroyed between Begin and End):
//     the record says "stopped", class "user", reason kEndedReason;
//   - the program is killed, crashes or the computer stops: the marker stays. The next recorder
//     that starts, in any front end, finds markers whose process no longer runs and turns each
//     into a record: outcome "failed" (nobody saw the upgrade end, and the box may hold part of
//     it), class "user" (it ended from outside the program; neither the line, the box nor the
//     files are known to be at fault), reason kAbandonedReason, end time the same as the start
//     (the last moment known). A process id the system has given to another process since keeps
//     its marker until that process ends.
//
// A record file that cannot be written never stops an upgrade: the recorder tells its notice
// function once, the first time, why the record is off, and goes on.
//
// Threads: a recorder belongs to its front end's owner thread (the sequencer's). Several
// processes may record into one file at once (AppendRecord locks it; a marker is claimed by
// renaming it before it is turned into a record).
#pragma once

#include "ConfigFile.h"
#include "SequenceOutcome.h"
#include "SorvelWinTypes.h"
#include "UpgradeRecord.h"

#include <functional>
#include <optional>
#include <string>

namespace sorvel::record {

// What a front end knows of an attempt before the sequencer does.
struct AttemptContext {
    std::string program; // "sorvel-cli", "Sorvel_User"
    std::string version;
    std::string port;   // as the user chose or typed it
    std::string folder; // the upgrade's folder; the configuration's paths resolve against it
    std::string unit;   // the unit's label as the technician gave it, "" for none
    std::string trace;  // the protocol trace file, "" for none
};

// The attempt as it begins: the context, this computer and user, the start time, the
// configuration's version texts and, for each file of mode, its path as configured, size,
// expected CRC-32 and record count (from the file's header; 0 for a file that cannot be read).
UpgradeAttempt BeginAttempt(const AttemptContext& context, BYTE mode, const CONFIG_INFO& config);

// The folder of context.folder's kind for a program that runs in its upgrade's folder.
std::string CurrentFolder();
// The protocol trace file that the engine writes (SORVEL_TRACE), "" for none.
std::string TraceFromEnvironment();

class CUpgradeRecorder {
public:
    using Notice = std::function<void(const std::string& text)>;

    static constexpr const char* kEndedReason = "The program ended during the upgrade.";
    static constexpr const char* kAbandonedReason =
        "The program ended during the upgrade without finishing it (it was killed, or the "
        "computer stopped); what the box holds is not known.";

    // path: the record file ("" records nothing). notice: told once why the record is off, as
    // "the upgrade record is off: cannot open /x/upgrades.jsonl: Permission denied".
    // Turns the markers that killed programs left into records first.
    CUpgradeRecorder(std::string path, Notice notice);
    // A sequence begun and not ended is recorded as stopped (kEndedReason).
    ~CUpgradeRecorder();
    CUpgradeRecorder(const CUpgradeRecorder&) = delete;
    CUpgradeRecorder& operator=(const CUpgradeRecorder&) = delete;

    // A sequence starts: writes the marker. A sequence begun before and never ended is replaced.
    void Begin(UpgradeAttempt attempt);
    // The sequence ended: appends its record and removes the marker. Nothing without Begin.
    void End(const SequenceOutcome& outcome);
    // Records a begun sequence as ended with the program (the destructor's work).
    void EndWithProgram();
    // Records an attempt that ended before any sequence began (a configuration that did not
    // load): attempt as it is, its end now.
    void Record(UpgradeAttempt attempt);
    // The attempt recorded last by this recorder (End, EndWithProgram, Record), if any: what a
    // front end reports as the run's result, the same as the record's line.
    const std::optional<UpgradeAttempt>& LastRecorded() const { return m_last; }

    bool Begun() const { return m_begun; }
    const std::string& Path() const { return m_path; }
    // The marker of this process ("<record>.begun-<pid>").
    std::string MarkerPath() const;

    // Turns every marker beside the record whose process no longer runs into a record; the
    // number of records written.
    int RecordAbandoned();

private:
    void Append(const UpgradeAttempt& attempt);
    void Say(const std::string& error);

    const std::string m_path;
    const Notice m_notice;
    bool m_said = false;
    bool m_begun = false;
    UpgradeAttempt m_attempt;
    std::optional<UpgradeAttempt> m_last;
};

} // namespace sorvel::record
