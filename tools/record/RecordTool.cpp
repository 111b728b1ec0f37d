#include "RecordTool.h"

#include "ToolOptions.h"
#include "UpgradeRecordFile.h"
#include "UpgradeRecordReader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <system_error>

namespace sorvel::tool {
namespace {

using Clock = std::chrono::system_clock;
using record::UpgradeAttempt;

constexpr const char* kProgram = "sorvel-record";

static_assert(kRecordExitUsage == tools::kExitUsage && kRecordExitOk == tools::kExitHelp);

// Output is gathered and written in pieces of about this size: a record of 100,000 attempts
// makes as many lines, and a stream call per field would cost more than the rest of the work.
constexpr std::size_t kOutputChunkBytes = 64 * 1024;

// The start of a UTF-8 text that spreadsheet programs on Windows need to read the csv as UTF-8
// rather than in the system's code page.
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

constexpr const char* kDescription =
    "Reads the record of upgrade attempts that Sorvel_User and sorvel-cli keep, one line per "
    "attempt, and lists it (newest first), sums it up or exports it as CSV. Lines of the record "
    "that are not whole records (a write cut short, an edit) are left out; how many, and the "
    "first one's line number, is said on the error stream.\n"
    "Times are UTC. --since and --until take a date (2026-12-10) or a date and time "
    "(2026-12-10T09:41, 2026-12-10 09:41:17, with or without Z): --since keeps the attempts "
    "that started at or after it, --until those that started before its end (--until "
    "2026-12-10 keeps that whole day). The other filters keep the attempts whose field is "
    "exactly the value given; filters given together must all match.";

constexpr const char* kFooter =
    "The record read without --file: $SORVEL_RECORD, else $XDG_STATE_HOME/sorvel/upgrades.jsonl "
    "or ~/.local/state/sorvel/upgrades.jsonl (on Windows %LOCALAPPDATA%\\Sorvel\\upgrades.jsonl)."
    "\n\nExit status: 0 success, 1 the record (or the csv's output file) cannot be read "
    "(written), 2 wrong usage.";

constexpr const char* kListDescription =
    "One line per attempt, newest first: start time, program, port, unit, update mode, outcome, "
    "failure class, duration and the first line of the reason. The command may be left out.";

constexpr const char* kSummaryDescription =
    "The number of attempts, of those updated, failed (by failure class) and stopped, and for "
    "each update mode the median duration of all its attempts and of those updated.";

constexpr const char* kCsvDescription =
    "The attempts as CSV (RFC 4180) for a spreadsheet, oldest first: UTF-8 with a byte order "
    "mark, lines ended by CR LF, a header row, then one row per attempt. The upload files of an "
    "attempt share one field, one file per line: \"path, size bytes, crc32 XXXXXXXX, delivered "
    "or not delivered, N resends\". The reason keeps all its lines. Without -o the CSV goes to "
    "the standard output.";

// The filters every command applies.
struct Filters {
    std::optional<Clock::time_point> since, until;
    std::optional<std::string> unit, port, outcome, program;

    bool Keep(const UpgradeAttempt& a) const {
        return (!since || a.start >= *since) && (!until || a.start < *until) &&
               (!unit || a.unit == *unit) && (!port || a.port == *port) &&
               (!outcome || a.outcome == *outcome) && (!program || a.program == *program);
    }
};

// Output written to a stream in pieces.
class Output {
public:
    explicit Output(std::ostream& out) : m_out(out) { m_text.reserve(kOutputChunkBytes * 2); }
    ~Output() { Flush(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    std::string& Text() { return m_text; }
    void Line(std::string_view text) {
        m_text.append(text);
        m_text += '\n';
        if (m_text.size() >= kOutputChunkBytes)
            Flush();
    }
    void Flush() {
        m_out.write(m_text.data(), static_cast<std::streamsize>(m_text.size()));
        m_text.clear();
    }

private:
    std::ostream& m_out;
    std::string m_text;
};

// A time of the command line: "YYYY-MM-DD", then optionally "THH:MM", ":SS", ".mmm" ("T" or a
// space), then optionally "Z". upper gives the end of the span it names rather than its start.
std::optional<Clock::time_point> ParseTimeBound(std::string text, bool upper) {
    // The full form, with '9' for a digit; the forms accepted end where a part ends.
    constexpr std::string_view kPattern = "9999-99-99T99:99:99.999";
    constexpr std::size_t kEnds[] = {10, 16, 19, 23};
    if (text.ends_with('Z') || text.ends_with('z'))
        text.pop_back();
    if (std::find(std::begin(kEnds), std::end(kEnds), text.size()) == std::end(kEnds))
        return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool fits = kPattern[i] == '9'   ? text[i] >= '0' && text[i] <= '9'
                          : kPattern[i] == 'T' ? text[i] == 'T' || text[i] == 't' || text[i] == ' '
                                               : text[i] == kPattern[i];
        if (!fits)
            return std::nullopt;
    }
    const std::size_t given = text.size();
    constexpr std::string_view kZero = "1970-01-01T00:00:00.000";
    std::string full = text;
    if (given > 10)
        full[10] = 'T';
    full += std::string(kZero.substr(given)) + "Z";
    Clock::time_point when;
    if (!record::ParseIsoUtc(full, &when))
        return std::nullopt;
    if (upper) {
        switch (given) {
        case 10:
            when += std::chrono::hours(24);
            break;
        case 16:
            when += std::chrono::minutes(1);
            break;
        case 19:
            when += std::chrono::seconds(1);
            break;
        default:
            when += std::chrono::milliseconds(1);
            break;
        }
    }
    return when;
}

double Seconds(const UpgradeAttempt& a) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(a.end - a.start).count() / 1000.0;
}

std::string FormatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string_view FirstLine(std::string_view text) {
    text = text.substr(0, text.find('\n'));
    if (text.ends_with('\r'))
        text.remove_suffix(1);
    return text;
}

// "2026-12-10 09:41:17" of a record time, or with its milliseconds.
std::string ShownTime(Clock::time_point when, bool milliseconds) {
    std::string text = record::IsoUtc(when);
    text[10] = ' ';
    text.resize(milliseconds ? 23 : 19);
    return text;
}

std::string OrDash(const std::string& text) {
    return text.empty() ? "-" : text;
}

void List(const std::vector<const UpgradeAttempt*>& attempts, std::ostream& stream) {
    Output out(stream);
    if (attempts.empty()) {
        out.Line("no upgrade attempts");
        return;
    }
    constexpr std::size_t kColumns = 8; // the reason, last, is not padded
    const char* const header[kColumns] = {"START (UTC)", "PROGRAM", "PORT",  "UNIT",
                                          "MODE",        "OUTCOME", "CLASS", "DURATION"};
    std::vector<std::array<std::string, kColumns>> rows;
    rows.reserve(attempts.size());
    std::array<std::size_t, kColumns> widths{};
    for (std::size_t c = 0; c < kColumns; ++c)
        widths[c] = std::string_view(header[c]).size();
    for (const UpgradeAttempt* a : attempts) {
        rows.push_back({ShownTime(a->start, false), OrDash(a->program), OrDash(a->port),
                        OrDash(a->unit), OrDash(a->mode), OrDash(a->outcome),
                        OrDash(a->failureClass), FormatSeconds(Seconds(*a))});
        for (std::size_t c = 0; c < kColumns; ++c)
            widths[c] = std::max(widths[c], rows.back()[c].size());
    }
    auto line = [&](auto cell, std::string_view reason) {
        std::string& text = out.Text();
        for (std::size_t c = 0; c < kColumns; ++c) {
            const std::string_view value = cell(c);
            // Durations line up on the right, the other columns on the left.
            if (c + 1 == kColumns)
                text.append(widths[c] - value.size(), ' ').append(value);
            else
                text.append(value).append(widths[c] - value.size(), ' ');
            text += "  ";
        }
        out.Line(reason);
    };
    line([&](std::size_t c) { return std::string_view(header[c]); }, "REASON");
    for (std::size_t i = 0; i < rows.size(); ++i)
        line([&](std::size_t c) { return std::string_view(rows[i][c]); },
             FirstLine(attempts[i]->reason));
}

double Median(std::vector<double> values) {
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle),
                     values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1)
        return upper;
    const double lower =
        *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle));
    return (lower + upper) / 2;
}

void Summary(const std::vector<const UpgradeAttempt*>& attempts, std::ostream& stream) {
    std::size_t updated = 0, failed = 0, stopped = 0;
    std::map<std::string, std::size_t> failedBy;
    struct Durations {
        std::vector<double> all, updated;
    };
    std::map<std::string, Durations> byMode;
    for (const UpgradeAttempt* a : attempts) {
        const double seconds = Seconds(*a);
        Durations& mode = byMode[a->mode.empty() ? "-" : a->mode];
        mode.all.push_back(seconds);
        if (a->outcome == "updated") {
            ++updated;
            mode.updated.push_back(seconds);
        } else if (a->outcome == "stopped") {
            ++stopped;
        } else {
            ++failed;
            ++failedBy[OrDash(a->failureClass)];
        }
    }
    Output out(stream);
    char text[160];
    auto count = [&](const char* name, std::size_t value) {
        std::snprintf(text, sizeof text, "%-18s %8zu", name, value);
        out.Line(text);
    };
    count("attempts", attempts.size());
    count("updated", updated);
    count("failed", failed);
    // The classes with the most failures first.
    std::vector<std::pair<std::string, std::size_t>> classes(failedBy.begin(), failedBy.end());
    std::stable_sort(classes.begin(), classes.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    for (const auto& [name, value] : classes)
        count(("  " + name).c_str(), value);
    count("stopped", stopped);
    if (byMode.empty())
        return;
    out.Line("");
    std::snprintf(text, sizeof text, "%-12s %8s %10s %8s %10s", "MODE", "ATTEMPTS", "MEDIAN",
                  "UPDATED", "MEDIAN");
    out.Line(text);
    for (const auto& [mode, durations] : byMode) {
        const std::string all = FormatSeconds(Median(durations.all));
        const std::string done =
            durations.updated.empty() ? "-" : FormatSeconds(Median(durations.updated));
        std::snprintf(text, sizeof text, "%-12s %8zu %10s %8zu %10s", mode.c_str(),
                      durations.all.size(), all.c_str(), durations.updated.size(), done.c_str());
        out.Line(text);
    }
}

// One CSV field (RFC 4180): quoted, with its quotes doubled, when it holds a comma, a quote or a
// line break.
void CsvField(std::string& line, std::string_view value) {
    if (value.find_first_of(",\"\r\n") == std::string_view::npos) {
        line.append(value);
        return;
    }
    line += '"';
    for (char c : value) {
        if (c == '"')
            line += '"';
        line += c;
    }
    line += '"';
}

std::string FilesField(const UpgradeAttempt& a) {
    std::string text;
    char numbers[96];
    for (const record::RecordedFile& f : a.files) {
        if (!text.empty())
            text += '\n';
        std::snprintf(numbers, sizeof numbers, ", %llu bytes, crc32 %08x, %s, %d resends",
                      static_cast<unsigned long long>(f.size), static_cast<unsigned>(f.crc32),
                      f.delivered ? "delivered" : "not delivered", f.resends);
        text += f.path;
        text += numbers;
    }
    return text;
}

void Csv(const std::vector<const UpgradeAttempt*>& attempts, std::ostream& stream) {
    constexpr const char* kHeader[] = {
        "start (UTC)", "end (UTC)", "duration (s)", "program",  "version",  "host",   "user",
        "port",        "folder",    "unit",         "software", "hardware", "brevon", "pellum",
        "cartridge",   "mode",      "outcome",      "class",    "reason",   "trace",  "files"};
    Output out(stream);
    std::string& text = out.Text();
    text += kUtf8Bom;
    for (const char* name : kHeader) {
        CsvField(text, name);
        text += ',';
    }
    text.back() = '\r';
    out.Line("");
    char duration[32];
    for (const UpgradeAttempt* a : attempts) {
        std::snprintf(duration, sizeof duration, "%.3f", Seconds(*a));
        const std::string fields[] = {ShownTime(a->start, true),
                                      ShownTime(a->end, true),
                                      duration,
                                      a->program,
                                      a->version,
                                      a->host,
                                      a->user,
                                      a->port,
                                      a->folder,
                                      a->unit,
                                      a->config.software,
                                      a->config.hardware,
                                      a->config.brevon,
                                      a->config.pellum,
                                      a->config.cartridge,
                                      a->mode,
                                      a->outcome,
                                      a->failureClass,
                                      a->reason,
                                      a->trace,
                                      FilesField(*a)};
        static_assert(std::size(fields) == std::size(kHeader));
        for (const std::string& field : fields) {
            CsvField(text, field);
            text += ',';
        }
        text.back() = '\r';
        out.Line("");
    }
}

int Usage(std::ostream& err, const std::string& problem) {
    return tools::UsageError(err, kProgram, problem);
}

} // namespace

int RunRecordTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    tools::ToolCommandLine commandLine(kProgram, "sorvel-record [COMMAND] [OPTIONS]", kDescription,
                                       kFooter);
    std::string file, since, until;
    Filters filters;
    std::string unit, port, outcome, program;
    CLI::App& app = commandLine.App();
    app.add_option("--file", file, "the record to read (see below for the one read without it)")
        ->option_text("PATH");
    app.add_option("--since", since, "the attempts started at or after TIME")->option_text("TIME");
    app.add_option("--until", until, "the attempts started before the end of TIME")
        ->option_text("TIME");
    app.add_option("--unit", unit, "the attempts on the unit (serial number) TEXT")
        ->option_text("TEXT");
    app.add_option("--port", port, "the attempts on the port NAME, as recorded (COM3:)")
        ->option_text("NAME");
    app.add_option("--outcome", outcome, "the attempts that ended so: updated, failed or stopped")
        ->option_text("OUTCOME");
    app.add_option("--program", program, "the attempts made by PROGRAM (sorvel-cli, Sorvel_User)")
        ->option_text("PROGRAM");
    CLI::App& list = commandLine.AddCommand("list", "list [OPTIONS]", kListDescription);
    CLI::App& summary = commandLine.AddCommand("summary", "summary [OPTIONS]", kSummaryDescription);
    std::string csvFile;
    CLI::App& csv = commandLine.AddCommand("csv", "csv [-o FILE] [OPTIONS]", kCsvDescription);
    csv.add_option("-o", csvFile, "write the CSV to FILE")->option_text("FILE");
    // The filters may follow the command.
    for (CLI::App* command : {&list, &summary, &csv})
        command->fallthrough();

    if (auto status = commandLine.Parse(args, out, err))
        return *status;
    for (const CLI::App* scope : {&app, &list, &summary, &csv}) {
        if (auto leftover = tools::Leftover(*scope)) {
            if (scope == &app && leftover->front() != '-')
                return Usage(err, "unknown command '" + *leftover + "'");
            const std::string prefix = scope == &app ? "" : scope->get_name() + ": ";
            return Usage(err, prefix + tools::DescribeLeftover(*leftover));
        }
    }
    auto given = [&app](const char* name) { return app.get_option(name)->count() > 0; };
    if (given("--since") && !(filters.since = ParseTimeBound(since, false)))
        return Usage(err, "--since: '" + since + "' is no date (YYYY-MM-DD[THH:MM[:SS]])");
    if (given("--until") && !(filters.until = ParseTimeBound(until, true)))
        return Usage(err, "--until: '" + until + "' is no date (YYYY-MM-DD[THH:MM[:SS]])");
    if (given("--outcome")) {
        if (outcome != "updated" && outcome != "failed" && outcome != "stopped")
            return Usage(err, "--outcome: '" + outcome + "' is none of updated, failed, stopped");
        filters.outcome = outcome;
    }
    if (given("--unit"))
        filters.unit = unit;
    if (given("--port"))
        filters.port = port;
    if (given("--program"))
        filters.program = program;
    if (csv.parsed() && csv.get_option("-o")->count() > 0 && csvFile.empty())
        return Usage(err, "csv: option '-o' needs a file name");

    if (!given("--file")) {
        file = record::DefaultRecordPath();
        if (file.empty()) {
            err << kProgram << ": no record file is known (SORVEL_RECORD is set and empty, or "
                << "the system names no folder for it); name one with --file PATH\n";
            return kRecordExitUnreadable;
        }
    } else if (file.empty()) {
        return Usage(err, "option '--file' needs a path");
    }
    record::RecordContents contents;
    std::string error;
    if (!record::ReadRecordFile(file, &contents, &error)) {
        err << kProgram << ": cannot read the record '" << file << "': " << error << "\n";
        return kRecordExitUnreadable;
    }
    if (contents.skipped > 0) {
        err << kProgram << ": " << file << ": skipped " << contents.skipped
            << (contents.skipped == 1 ? " line" : " lines") << " that "
            << (contents.skipped == 1 ? "is" : "are") << " not a whole record (first: line "
            << contents.firstSkippedLine << ", " << contents.firstSkipReason << ")\n";
    }

    std::vector<const UpgradeAttempt*> kept;
    kept.reserve(contents.attempts.size());
    for (const UpgradeAttempt& a : contents.attempts) {
        if (filters.Keep(a))
            kept.push_back(&a);
    }
    // Attempts are appended as they end, so an attempt that started earlier may stand later.
    const bool newestFirst = !csv.parsed();
    std::stable_sort(kept.begin(), kept.end(), [newestFirst](const auto* a, const auto* b) {
        return newestFirst ? a->start > b->start : a->start < b->start;
    });
    if (summary.parsed()) {
        Summary(kept, out);
    } else if (csv.parsed() && !csvFile.empty()) {
        errno = 0;
        std::ofstream stream(csvFile, std::ios::binary | std::ios::trunc);
        if (stream)
            Csv(kept, stream);
        stream.close();
        if (!stream) {
            const int failure = errno;
            err << kProgram << ": csv: cannot write '" << csvFile << "'"
                << (failure != 0 ? ": " + std::generic_category().message(failure) : "") << "\n";
            return kRecordExitUnreadable;
        }
    } else if (csv.parsed()) {
        Csv(kept, out);
    } else {
        List(kept, out);
    }
    out.flush();
    return kRecordExitOk;
}

} // namespace sorvel::tool
