// Natural order of names, as people sort numbered things: "COM2" before "COM10", "ttyUSB2"
// before "ttyUSB10". Used by the port lists of every platform. Any thread; no state.
#pragma once

#include <string>

// True when a comes before b in natural order: runs of digits compare by their value (leading
// zeros do not count), everything else byte by byte. Names that compare equal so (such as
// "a07" and "a7") fall back to plain byte order, so the order is strict and total.
bool NaturalLess(const std::string& a, const std::string& b);
