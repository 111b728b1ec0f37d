// The protocol trace: one timestamped line per event of the engine, for a technician or a
// developer who needs to see what went over the line. Off unless the environment variable
// SORVEL_TRACE names a file when a client connects (sorvel-cli --trace FILE sets it); the file
// is appended to. Off, each trace point costs one relaxed atomic load.
//
//   2026-12-07 20:31:05.123 +0.000 port opened: COM1: (/dev/ttyUSB0), 115200 baud 8N1
//   2026-12-07 20:31:05.190 +0.067 upload started: .\Ressources\Sti.urt, 60 records
//   2026-12-07 20:31:05.240 +0.117 ACK after 2 wake-up bytes
//   2026-12-07 20:31:05.241 +0.118 ENQ: record 1 of 60 sent, 649 bytes
//   2026-12-07 20:31:05.262 +0.139 box sent: 42 4f 58 3e 0d 0a "BOX>.."
//
// Threads: any; lines from several threads never mix.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace tarvik {

namespace detail {
extern std::atomic<bool> g_traceOn;
}

// True while a trace file is open.
inline bool TraceOn() {
    return detail::g_traceOn.load(std::memory_order_relaxed);
}

// Opens the file SORVEL_TRACE names, if it is set and no trace is open yet.
void StartTraceFromEnvironment();
// Writes one line (printf-style) when the trace is on.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// How many bytes of one run from the box a trace line shows.
constexpr std::size_t kTraceBytesShown = 32;
// Bytes received from the box as a trace line shows them: in hex, then as text with '.' for each
// byte that is not printable ASCII: `42 4f 06 0d "BO.."`. Of a longer run only the first
// kTraceBytesShown bytes are shown, followed by how many more there were: ` ... (2016 more bytes)`.
std::string BoxBytesText(const char* bytes, std::size_t count);

} // namespace tarvik
