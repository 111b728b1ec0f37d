#include "ProgressLine.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <vector>

namespace sorvel::cli {
namespace {

constexpr int kMinBar = 10; // a shorter bar tells nothing the percentage does not
constexpr int kMaxBar = 30;
constexpr int kMinName = 10; // a name cut shorter is dropped with its fields instead
constexpr int kRateWidth = 10;
constexpr int kEtaWidth = 9;

// The parts one after the other. (Built by appending: g++ 12 warns wrongly of overlapping copies
// in "literal" + std::string&&.)
std::string Join(std::initializer_list<std::string_view> parts) {
    std::string joined;
    for (std::string_view part : parts)
        joined.append(part);
    return joined;
}

// One character of UTF-8 text: its bytes and its columns. A byte that starts no valid sequence
// counts as one character of one column.
struct Glyph {
    std::size_t bytes;
    int width;
};

Glyph GlyphAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t bytes = lead < 0x80             ? 1
                        : (lead & 0xE0) == 0xC0 ? 2
                        : (lead & 0xF0) == 0xE0 ? 3
                        : (lead & 0xF8) == 0xF0 ? 4
                                                : 1;
    if (at + bytes > text.size())
        bytes = 1;
    std::uint32_t code = bytes == 1 ? lead : lead & (0x7Fu >> bytes);
    for (std::size_t i = 1; i < bytes; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return {1, 1};
        code = (code << 6) | (next & 0x3Fu);
    }
    return {bytes, code >= 0x1100 ? 2 : 1};
}

// The longest start of text that takes at most width columns.
std::string_view Head(std::string_view text, int width) {
    std::size_t at = 0;
    while (at < text.size()) {
        const Glyph g = GlyphAt(text, at);
        if (g.width > width)
            break;
        width -= g.width;
        at += g.bytes;
    }
    return text.substr(0, at);
}

// The longest end of text that takes at most width columns.
std::string_view Tail(std::string_view text, int width) {
    std::vector<std::size_t> starts;
    for (std::size_t at = 0; at < text.size(); at += GlyphAt(text, at).bytes)
        starts.push_back(at);
    std::size_t from = text.size();
    while (!starts.empty()) {
        const std::size_t start = starts.back();
        const int w = GlyphAt(text, start).width;
        if (w > width)
            break;
        width -= w;
        from = start;
        starts.pop_back();
    }
    return text.substr(from);
}

// text in at most width columns, its middle replaced by "..." when it is too long. The end keeps
// more than the start: names of one upgrade tend to differ near their end ("Cartridge1.urt").
std::string Cut(std::string_view text, int width) {
    if (VisibleWidth(text) <= width)
        return std::string(text);
    if (width <= 3)
        return std::string(Head(text, width));
    const int room = width - 3;
    const int head = room / 3;
    return Join({Head(text, head), "...", Tail(text, room - head)});
}

std::string PadLeft(std::string text, int width) {
    const int w = VisibleWidth(text);
    if (w < width)
        text.insert(0, static_cast<std::size_t>(width - w), ' ');
    return text;
}

std::string Format(const char* format, double value) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string Rate(double bytesPerSecond) {
    if (bytesPerSecond < 0 || !std::isfinite(bytesPerSecond))
        return "-- B/s";
    const double rate = std::min(bytesPerSecond, 999e9);
    if (rate < 1e3)
        return Format("%.0f B/s", rate);
    if (rate < 1e6)
        return Format("%.1f kB/s", rate / 1e3);
    if (rate < 1e9)
        return Format("%.1f MB/s", rate / 1e6);
    return Format("%.1f GB/s", rate / 1e9);
}

std::string Eta(double secondsLeft) {
    constexpr double kLongest = 99 * 3600.0;
    if (secondsLeft < 0 || !(secondsLeft < kLongest))
        return "ETA --";
    const long total = std::lround(secondsLeft);
    char buffer[32];
    if (total < 3600)
        std::snprintf(buffer, sizeof buffer, "ETA %ld:%02ld", total / 60, total % 60);
    else
        std::snprintf(buffer, sizeof buffer, "ETA %ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    return buffer;
}

std::string Bar(int percent, int width) {
    const int filled = percent * width / 100;
    std::string bar(static_cast<std::size_t>(width + 2), '.');
    bar.front() = '[';
    bar.back() = ']';
    std::fill_n(bar.begin() + 1, filled, '#');
    return bar;
}

// "file 2 of 3", or "upload" when the place is not known.
std::string Place(const ProgressLineState& state) {
    return state.index > 0 && state.count > 0
               ? Join({"file ", std::to_string(state.index), " of ", std::to_string(state.count)})
               : std::string("upload");
}

// The place, and the separator before the name when there is one.
std::string Prefix(const ProgressLineState& state, const std::string& place) {
    return state.name.empty() ? place : Join({place, ": "});
}

// What follows the name, best first; bar: a bar goes between the name and the tail.
struct Candidate {
    std::string tail;
    bool bar = false;
};

} // namespace

int VisibleWidth(std::string_view text) {
    int width = 0;
    for (std::size_t at = 0; at < text.size();) {
        const Glyph g = GlyphAt(text, at);
        width += g.width;
        at += g.bytes;
    }
    return width;
}

std::string DisplayName(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return name;
}

std::string FileTitle(const ProgressLineState& state) {
    return Join({Prefix(state, Place(state)), state.name});
}

std::string LayOutProgressLine(const ProgressLineState& state, int columns) {
    const int avail = std::max(columns - 1, 1);
    const std::string place = Place(state);
    const std::string prefix = Prefix(state, place);
    const int percent = std::clamp(state.percent, 0, 100);
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", percent);
    const std::string waited = Join({"(", std::to_string(state.waitedSeconds), " s)"});

    std::vector<Candidate> candidates;
    std::vector<std::string> fallbacks; // without the name, best first
    if (state.waiting) {
        candidates = {{Join({": waiting for the box to answer ", waited})},
                      {Join({": waiting for the box ", waited})},
                      {Join({": waiting ", waited})}};
        fallbacks = {Join({place, ": waiting ", waited}), Join({"waiting ", waited})};
    } else {
        const std::string rate = PadLeft(Rate(state.bytesPerSecond), kRateWidth);
        const std::string eta = PadLeft(Eta(state.secondsLeft), kEtaWidth);
        candidates = {{Join({" ", pct, "  ", rate, "  ", eta}), true},
                      {Join({" ", pct, "  ", rate, "  ", eta})},
                      {Join({" ", pct, "  ", eta})},
                      {Join({" ", pct})}};
        fallbacks = {Join({place, " ", pct}), Join({std::to_string(percent), "%"})};
    }

    const int nameWidth = VisibleWidth(state.name);
    for (const Candidate& c : candidates) {
        const int fixed =
            VisibleWidth(prefix) + VisibleWidth(c.tail) + (c.bar ? kMinBar + 3 : 0); // " [" "]"
        const int room = avail - fixed;
        if (room < std::min(nameWidth, kMinName))
            continue;
        const std::string name = Cut(state.name, room);
        const std::string bar =
            c.bar
                ? Join({" ", Bar(percent, std::min(kMaxBar, kMinBar + room - VisibleWidth(name)))})
                : std::string();
        return Join({prefix, name, bar, c.tail});
    }
    for (const std::string& line : fallbacks)
        if (VisibleWidth(line) <= avail)
            return line;
    return std::string(Head(fallbacks.back(), avail));
}

} // namespace sorvel::cli
