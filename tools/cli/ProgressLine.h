// The progress line that sorvel-cli draws in place on a terminal, laid out for the terminal's
// width. Pure functions, any thread.
//
// A line names the file and its place in the sequence, then either the wait for the box's answer
// or the percentage, the transfer rate and the time left:
//
//   file 2 of 3: Cartridge1.urt [############..................]  41%   12.3 kB/s  ETA 0:07
//   file 1 of 3: sti.urt: waiting for the box to answer (3 s)
//
// When the width does not hold it all, the file name is cut in the middle first (down to a few
// characters), then fields are dropped: the bar, the rate, the time left; what is left is cut.
#pragma once

#include <string>
#include <string_view>

namespace sorvel::cli {

struct ProgressLineState {
    int index = 0; // the file's place in the sequence, from 1; 0 when not known
    int count = 0; // the files of the sequence
    std::string name;
    bool waiting = false; // the box has not answered the wake-up yet
    int waitedSeconds = 0;
    int percent = 0;
    double bytesPerSecond = -1; // < 0 until known
    double secondsLeft = -1;    // < 0 until known
};

// The file and its place in the sequence, as every line of the file begins:
// "file 2 of 3: Cartridge1.urt" ("upload: ..." when its place is not known), never cut.
std::string FileTitle(const ProgressLineState& state);

// The line for a terminal of columns columns: at most columns - 1 visible characters, so that
// the cursor never reaches the last column, where some terminals wrap.
std::string LayOutProgressLine(const ProgressLineState& state, int columns);

// The columns a text takes: one per character of UTF-8, two for characters from U+1100 on (so
// that wide characters never make a line wrap; some narrow ones count two).
int VisibleWidth(std::string_view text);

// The name of a file as a configuration names it, without its folders (separated by slashes or
// backslashes: ".\Ressources\Cartridge1.urt" gives "Cartridge1.urt"); control characters
// become '?'.
std::string DisplayName(std::string_view path);

} // namespace sorvel::cli
