// sorvel-record's commands (list, summary, csv) apart from main(), so that each reads its
// arguments and writes to the streams it is given: the tests and the benchmark run it in-process.
//
// The tool reads the upgrade record (UpgradeRecord.h), the user's (DefaultRecordPath) unless
// --file names another, with ReadRecordFile: lines that are no record are left out, and how
// many, with the first one's number, is said on err. Filters (--since, --until, --unit, --port,
// --outcome, --program) apply to every command alike.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace sorvel::tool {

// Exit statuses of the tool.
constexpr int kRecordExitOk = 0;
constexpr int kRecordExitUnreadable = 1; // the record (or the csv's output file) failed
constexpr int kRecordExitUsage = 2;      // wrong command line

// Runs the tool on its arguments (without the program name). The listing, the summary and the
// csv (without -o) go to out, which should be binary on Windows: the csv ends its lines with CR
// LF itself. Errors and the count of skipped lines go to err.
int RunRecordTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace sorvel::tool
