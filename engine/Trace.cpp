#include "Trace.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

namespace tarvik {
namespace detail {
std::atomic<bool> g_traceOn{false};
}

namespace {

std::mutex g_traceMutex;
std::FILE* g_traceFile = nullptr; // guarded by g_traceMutex; open for the process's life
std::chrono::steady_clock::time_point g_traceStart; // guarded by g_traceMutex
bool g_traceFailed = false;                         // guarded by g_traceMutex; said once
std::string g_tracePath;                            // guarded by g_traceMutex

// A trace that cannot be written must not stop an upgrade, but the user who asked for it is
// told, once per process, and the upgrade goes on without it.
void TraceFailed(const std::string& path, int error) {
    detail::g_traceOn.store(false, std::memory_order_relaxed);
    if (g_traceFailed)
        return;
    g_traceFailed = true;
    std::fprintf(stderr,
                 "the trace file %s cannot be written (%s); the upgrade goes on without it\n",
                 path.c_str(), std::strerror(error));
}

} // namespace

void StartTraceFromEnvironment() {
    const char* path = std::getenv("SORVEL_TRACE");
    if (path == nullptr || *path == '\0')
        return;
    std::lock_guard lock(g_traceMutex);
    if (g_traceFile != nullptr)
        return;
    if (g_traceFailed)
        return;
    g_tracePath = path;
    g_traceFile = std::fopen(path, "a");
    if (g_traceFile == nullptr) {
        TraceFailed(g_tracePath, errno);
        return;
    }
    g_traceStart = std::chrono::steady_clock::now();
    detail::g_traceOn.store(true, std::memory_order_relaxed);
}

void Trace(const char* format, ...) {
    if (!TraceOn())
        return;
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::lock_guard lock(g_traceMutex);
    if (g_traceFile == nullptr)
        return;
    // The C library's local time, under the trace's lock (its result is a shared buffer).
    char stamp[32] = "";
    if (const std::tm* local = std::localtime(&seconds))
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", local);
    const std::chrono::duration<double> since = std::chrono::steady_clock::now() - g_traceStart;
    std::fprintf(g_traceFile, "%s.%03d +%.3f ", stamp, static_cast<int>(millis), since.count());
    va_list args;
    va_start(args, format);
    std::vfprintf(g_traceFile, format, args);
    va_end(args);
    std::fputc('\n', g_traceFile);
    if (std::fflush(g_traceFile) != 0 || std::ferror(g_traceFile) != 0) {
        const int error = errno != 0 ? errno : EIO;
        std::fclose(g_traceFile);
        g_traceFile = nullptr;
        TraceFailed(g_tracePath, error);
    }
}

std::string BoxBytesText(const char* bytes, std::size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    const std::size_t shown = count < kTraceBytesShown ? count : kTraceBytesShown;
    std::string hex;
    std::string printable;
    hex.reserve(shown * 3);
    printable.reserve(shown);
    for (std::size_t i = 0; i < shown; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (i != 0)
            hex += ' ';
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xF];
        // Printable ASCII only: a control byte or a byte above 0x7e could upset a terminal or
        // an editor that shows the trace.
        printable += byte >= 0x20 && byte <= 0x7e ? static_cast<char>(byte) : '.';
    }
    std::string text = hex + " \"" + printable + "\"";
    if (shown < count)
        text += " ... (" + std::to_string(count - shown) + " more bytes)";
    return text;
}

} // namespace tarvik
