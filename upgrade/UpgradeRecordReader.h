// Reads an upgrade record back: every whole line of a record file (see UpgradeRecord.h) as one
// UpgradeAttempt. The record is appended to by programs that may be killed in the middle of a
// write, and a person may have edited it, so no line is fatal: a line that is not a record is
// skipped and counted, and the first such line is named, so that a reader can say how many it
// left out and where to look.
//
// What counts as a record's line: text up to a "\n" (a "\r" before it is allowed) that parses as
// a JSON object FromJson accepts. A last line without its "\n" is a write that was cut short, or
// one still going on, and is skipped even when it parses. Empty lines are no records and are
// neither kept nor counted.
//
// Threads: the functions share nothing; any thread may call them. A record of a megabyte or more
// is parsed on as many threads of their own as the machine has cores, joined before they return.
#pragma once

#include "UpgradeRecord.h"

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace sorvel::record {

struct RecordContents {
    std::vector<UpgradeAttempt> attempts; // in the record's order
    std::size_t skipped = 0;              // lines left out, the torn last line included
    std::size_t firstSkippedLine = 0;     // 1-based; 0 when none was skipped
    std::string firstSkipReason;          // why that line was left out
};

// Parses text, the whole content of a record.
RecordContents ParseRecords(std::string_view text);
// Reads in to its end, then parses what it read.
RecordContents ReadRecords(std::istream& in);

// Reads the record file at path. False with *error set ("No such file or directory", the
// system's words) when it cannot be opened or read; the record's lines never make it fail.
// Others may append to the file meanwhile; what was there when it was read is parsed.
[[nodiscard]] bool ReadRecordFile(const std::string& path, RecordContents* contents,
                                  std::string* error);

} // namespace sorvel::record
