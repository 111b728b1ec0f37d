#include "UpgradeRecordReader.h"

#include "ReadOnlyFile.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <thread>

namespace sorvel::record {
namespace {

// The record file is read in pieces of this size.
constexpr long kReadChunkBytes = 1 << 20;
// A record of at least this size is parsed by several threads, one piece of it each.
constexpr std::size_t kParallelBytes = 1 << 20;
// A record line is some 700 bytes; reserving for lines of this size saves most of the vector's
// moves.
constexpr std::size_t kLineBytesGuess = 512;

// Reads a record line straight into an UpgradeAttempt, as the lexer hands out its values: no
// JSON tree is built, which is most of the time FromJson's way takes. It knows only the record's
// usual shape (every field once, each of the type ToJson writes, no other field but
// "duration") and gives up on anything else; the line then goes the authoritative way, parse and
// FromJson, which decides and says why. So a line read here is one FromJson reads the same, which
// the reader's fuzz target checks on every line it reads.
class FastLine final : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit FastLine(UpgradeAttempt* attempt) : m_a(attempt) {}

    // After the parse: the whole record was there and every value is valid.
    bool Complete() {
        if (!m_done || !ParseIsoUtc(m_start, &m_a->start) || !ParseIsoUtc(m_end, &m_a->end))
            return false;
        return true;
    }

    bool null() override { return Scalar(); }
    bool boolean(bool value) override {
        if (Scalar())
            return true;
        if (m_where != Where::File || m_field != kDelivered)
            return false;
        m_file.delivered = value;
        return true;
    }
    bool number_integer(number_integer_t value) override {
        if (Scalar())
            return true;
        return m_where == Where::File && m_field == kResends && value >= INT_MIN &&
               (m_file.resends = static_cast<int>(value), true);
    }
    bool number_unsigned(number_unsigned_t value) override {
        if (Scalar())
            return true;
        if (m_where == Where::Top)
            return m_field == kRecordField && value == static_cast<unsigned>(kRecordVersion);
        if (m_where != Where::File)
            return false;
        switch (m_field) {
        case kSize:
            m_file.size = value;
            return true;
        case kRecords:
            m_file.records = static_cast<std::uint32_t>(value);
            return value <= UINT32_MAX;
        case kResends:
            m_file.resends = static_cast<int>(value);
            return value <= INT_MAX;
        default:
            return false;
        }
    }
    bool number_float(number_float_t, const string_t&) override { return Scalar(); }
    bool string(string_t& value) override {
        if (Scalar())
            return true;
        if (m_where == Where::File && m_field == kCrc32)
            return ParseCrc(value);
        if (!m_text)
            return false;
        m_text->assign(value);
        return true;
    }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override {
        if (m_skipping) {
            ++m_skipDepth;
            return true;
        }
        if (m_where == Where::None && !m_done) {
            m_where = Where::Top;
        } else if (m_where == Where::Top && m_field == kConfig) {
            m_where = Where::Config;
        } else if (m_where == Where::Files) {
            m_where = Where::File;
            m_file = {};
        } else {
            return false;
        }
        m_seen[static_cast<int>(m_where)] = 0;
        return true;
    }
    bool end_object() override {
        if (m_skipping)
            return EndSkipped();
        // What follows in a level further out, if not a key, is an element of "files", which
        // must be an object.
        m_text = nullptr;
        switch (m_where) {
        case Where::Top:
            m_where = Where::None;
            return m_done = m_seen[static_cast<int>(Where::Top)] == AllOf(kTopKeys);
        case Where::Config:
            m_where = Where::Top;
            return m_seen[static_cast<int>(Where::Config)] == AllOf(kConfigKeys);
        case Where::File:
            m_where = Where::Files;
            if (m_seen[static_cast<int>(Where::File)] != AllOf(kFileKeys))
                return false;
            m_a->files.push_back(std::move(m_file));
            return true;
        default:
            return false;
        }
    }
    bool start_array(std::size_t) override {
        if (m_skipping) {
            ++m_skipDepth;
            return true;
        }
        if (m_where != Where::Top || m_field != kFiles)
            return false;
        m_where = Where::Files;
        m_text = nullptr;
        return true;
    }
    bool end_array() override {
        if (m_skipping)
            return EndSkipped();
        if (m_where != Where::Files)
            return false;
        m_where = Where::Top;
        return true;
    }
    bool key(string_t& name) override {
        if (m_skipping)
            return true; // a key inside a skipped value
        m_text = nullptr;
        const int level = static_cast<int>(m_where);
        const auto take = [&](const auto& keys) {
            const auto it = std::find(std::begin(keys), std::end(keys), std::string_view(name));
            m_field = static_cast<int>(it - std::begin(keys));
            if (it == std::end(keys))
                return false;
            const unsigned bit = 1u << m_field;
            if (m_seen[level] & bit)
                return false; // a field twice: the tree keeps the last, which FromJson decides
            m_seen[level] |= bit;
            return true;
        };
        switch (m_where) {
        case Where::Top:
            if (!take(kTopKeys)) {
                // ToJson's duration is for people and other readers; FromJson takes the times.
                m_skipping = name == "duration";
                return m_skipping;
            }
            m_text = TopText(m_field);
            return true;
        case Where::Config:
            if (!take(kConfigKeys))
                return false;
            m_text = ConfigText(m_field);
            return true;
        case Where::File:
            if (!take(kFileKeys))
                return false;
            m_text = m_field == kPath ? &m_file.path : nullptr;
            return true;
        default:
            return false;
        }
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    enum class Where { None, Top, Config, Files, File };
    static constexpr std::string_view kTopKeys[] = {
        "record", "start",  "end",  "program", "version", "host",  "user",   "port", "folder",
        "unit",   "config", "mode", "files",   "outcome", "class", "reason", "trace"};
    static constexpr int kRecordField = 0, kConfig = 10, kFiles = 12;
    static constexpr std::string_view kConfigKeys[] = {"software", "hardware", "brevon", "pellum",
                                                       "cartridge"};
    static constexpr std::string_view kFileKeys[] = {"path",    "size",    "crc32",
                                                     "records", "resends", "delivered"};
    static constexpr int kPath = 0, kSize = 1, kCrc32 = 2, kRecords = 3, kResends = 4,
                         kDelivered = 5;

    template <std::size_t N>
    static constexpr unsigned AllOf(const std::string_view (&)[N]) {
        return (1u << N) - 1;
    }

    std::string* TopText(int field) {
        std::string* const texts[] = {
            nullptr,      &m_start,   &m_end,     &m_a->program, &m_a->version,
            &m_a->host,   &m_a->user, &m_a->port, &m_a->folder,  &m_a->unit,
            nullptr,      &m_a->mode, nullptr,    &m_a->outcome, &m_a->failureClass,
            &m_a->reason, &m_a->trace};
        return texts[field];
    }
    std::string* ConfigText(int field) {
        std::string* const texts[] = {&m_a->config.software, &m_a->config.hardware,
                                      &m_a->config.brevon, &m_a->config.pellum,
                                      &m_a->config.cartridge};
        return texts[field];
    }

    // A scalar inside a skipped value is passed over; one that is the skipped value ends it.
    bool Scalar() {
        if (m_skipping && m_skipDepth == 0)
            m_skipping = false;
        else if (m_skipping)
            return true;
        else
            return false;
        return true;
    }
    bool EndSkipped() {
        if (--m_skipDepth == 0)
            m_skipping = false;
        return true;
    }

    bool ParseCrc(const std::string& text) {
        if (text.size() != 8)
            return false;
        std::uint32_t value = 0;
        for (char c : text) {
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0)
                return false;
            value = value << 4 | static_cast<std::uint32_t>(digit);
        }
        m_file.crc32 = value;
        return true;
    }

    UpgradeAttempt* m_a;
    Where m_where = Where::None;
    int m_field = 0;               // the index of the key just read in its level's keys
    std::string* m_text = nullptr; // where the key's text goes, if it is a text
    unsigned m_seen[5] = {};       // per level, the keys read
    bool m_skipping = false;       // in the value of a key that is not read
    int m_skipDepth = 0;           // objects and arrays open in that value
    bool m_done = false;
    std::string m_start, m_end;
    RecordedFile m_file;
};

// One line's attempt: the fast way, else the tree and FromJson. False with *error set when the
// line is no record.
bool ParseLine(std::string_view line, UpgradeAttempt* attempt, std::string* error) {
    {
        FastLine fast(attempt);
        if (nlohmann::json::sax_parse(line, &fast) && fast.Complete())
            return true;
    }
    *attempt = {};
    // Parsed without exceptions: a damaged record may have many bad lines, and a throw per line
    // would cost more than the parse.
    const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
    if (object.is_discarded()) {
        *error = "not JSON";
        return false;
    }
    return FromJson(object, attempt, error);
}

struct Piece {
    RecordContents contents;
    std::size_t lines = 0;
};

Piece ParsePiece(std::string_view text) {
    Piece piece;
    RecordContents& contents = piece.contents;
    contents.attempts.reserve(text.size() / kLineBytesGuess + 1);
    std::string error;
    UpgradeAttempt attempt;
    while (!text.empty()) {
        const std::size_t lineNumber = ++piece.lines;
        const std::size_t end = text.find('\n');
        const bool whole = end != std::string_view::npos;
        std::string_view line = text.substr(0, end);
        text.remove_prefix(whole ? end + 1 : text.size());
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (line.find_first_not_of(" \t") == std::string_view::npos)
            continue;
        std::string reason;
        if (!whole)
            reason = "the last line has no end (a write cut short)";
        else if (ParseLine(line, &attempt, &error))
            contents.attempts.push_back(std::move(attempt));
        else
            reason = error;
        if (!reason.empty() && contents.skipped++ == 0) {
            contents.firstSkippedLine = lineNumber;
            contents.firstSkipReason = std::move(reason);
        }
        attempt = {};
    }
    return piece;
}

} // namespace

RecordContents ParseRecords(std::string_view text) {
    // Pieces that end after a line's "\n", one per thread, parsed side by side.
    const std::size_t threads =
        text.size() < kParallelBytes ? 1 : std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::string_view> pieces;
    for (std::size_t i = 0; i < threads && !text.empty(); ++i) {
        std::size_t end = i + 1 == threads ? text.size() : text.size() / (threads - i);
        end = std::min(text.size(), text.find('\n', end == 0 ? 0 : end - 1) + 1);
        if (end == 0) // no "\n" after the cut
            end = text.size();
        pieces.push_back(text.substr(0, end));
        text.remove_prefix(end);
    }
    std::vector<Piece> parsed(pieces.size());
    {
        std::vector<std::jthread> workers;
        for (std::size_t i = 1; i < pieces.size(); ++i)
            workers.emplace_back([&parsed, &pieces, i] { parsed[i] = ParsePiece(pieces[i]); });
        if (!pieces.empty())
            parsed[0] = ParsePiece(pieces[0]);
    }
    if (parsed.empty())
        return {};
    RecordContents contents = std::move(parsed[0].contents);
    std::size_t linesBefore = parsed[0].lines;
    for (std::size_t i = 1; i < parsed.size(); ++i) {
        RecordContents& more = parsed[i].contents;
        if (contents.skipped == 0 && more.skipped > 0) {
            contents.firstSkippedLine = linesBefore + more.firstSkippedLine;
            contents.firstSkipReason = std::move(more.firstSkipReason);
        }
        contents.skipped += more.skipped;
        contents.attempts.insert(contents.attempts.end(),
                                 std::make_move_iterator(more.attempts.begin()),
                                 std::make_move_iterator(more.attempts.end()));
        linesBefore += parsed[i].lines;
    }
    return contents;
}

RecordContents ReadRecords(std::istream& in) {
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return ParseRecords(text);
}

bool ReadRecordFile(const std::string& path, RecordContents* contents, std::string* error) {
    ReadOnlyFile file;
    switch (file.Open(path, false, error)) {
    case ReadOnlyFile::OpenResult::Ok:
        break;
    case ReadOnlyFile::OpenResult::IsDirectory:
        *error = "it is a folder";
        return false;
    case ReadOnlyFile::OpenResult::NotRegular:
        *error = "it is not a regular file";
        return false;
    case ReadOnlyFile::OpenResult::Locked:
        *error = "another program holds it locked";
        return false;
    case ReadOnlyFile::OpenResult::Failed:
        return false;
    }
    std::string text;
    text.reserve(static_cast<std::size_t>(file.Size()));
    for (;;) {
        const std::size_t have = text.size();
        text.resize(have + kReadChunkBytes);
        const long got = file.ReadAt(text.data() + have, kReadChunkBytes,
                                     static_cast<std::int64_t>(have), error);
        if (got < 0)
            return false;
        text.resize(have + static_cast<std::size_t>(got));
        if (got == 0)
            break;
    }
    *contents = ParseRecords(text);
    return true;
}

} // namespace sorvel::record
