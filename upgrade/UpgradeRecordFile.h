// The upgrade record's file: where it lives, and how a record is added to it so that several
// programs may append at once and a crash leaves each record whole or absent.
//
// The record file holds one JSON object per line (UpgradeRecord.h). AppendRecord opens it for
// appending, takes an exclusive lock on it (flock on Linux, LockFileEx on Windows), writes the
// whole line with one write, flushes it to the disk (fsync, FlushFileBuffers) and only then
// returns: a reader never sees two records interleaved, and after a power cut a record is either
// whole or missing. A reader still skips a torn last line, which a file system without ordered
// writes may leave.
//
// Nothing here throws; a failure returns false with the system's reason. Any thread; the
// functions keep no state.
#pragma once

#include "UpgradeRecord.h"

#include <string>

namespace sorvel::record {

// The record file of this user: SORVEL_RECORD when it is set ("" there means no record at all),
// else $XDG_STATE_HOME/sorvel/upgrades.jsonl (default ~/.local/state/sorvel/upgrades.jsonl) on
// Linux, %LOCALAPPDATA%\Sorvel\upgrades.jsonl on Windows. "" when there is to be no record, or
// when the system names no folder for it (no HOME, no LOCALAPPDATA).
std::string DefaultRecordPath();

// Appends attempt as one line to the record file at path, creating the file and its folders.
// false with *error (which may be null) saying why, such as "cannot open /x/upgrades.jsonl:
// Permission denied".
[[nodiscard]] bool AppendRecord(const std::string& path, const UpgradeAttempt& attempt,
                                std::string* error);

// ---- The operating system's part (UpgradeRecordFile_posix.cpp, UpgradeRecordFile_win32.cpp)

namespace os {
// The folder of the per-user record ("" when the system names none).
std::string StateFolder();
// Appends line (its line end included) under the file's exclusive lock in one write, then flushes
// it to the disk. The folder must exist.
[[nodiscard]] bool AppendLocked(const std::string& path, const std::string& line,
                                std::string* error);
int CurrentProcessId();
// False only when no process with this id runs any more (a process of another user counts as
// running).
bool ProcessRuns(int pid);
std::string HostName();
std::string UserName();
} // namespace os

} // namespace sorvel::record
