// Turnaround of the serial channel over a pseudo-terminal.
//
// The box's side (the master) writes ENQ and times until a whole 256-byte record has come back.
// On the port's side either the channel answers (its reader thread hands the ENQ to a receive
// callback, which writes the record with CommWrite) or a bare loop does (poll, read, write):
// the floor on this machine. Both are measured in the same run, sample by sample in turn, so
// that they see the same machine. Median and 99th percentile are reported as counters, in
// microseconds, with the channel's median over the floor's.
//
// Run from a release build: build/release/bin/serial_turnaround_bench
#include "Comm.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kRecordBytes = 256;
constexpr std::uint8_t kEnq = 0x05;
constexpr int kSamples = 4000;

std::string g_record;
HCOMM g_port = nullptr;

// The channel's side: one record per ENQ, as the engine's receive filter does.
int AnswerEnq(char* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        if (static_cast<std::uint8_t>(bytes[i]) == kEnq)
            CommWrite(g_port, g_record.data(), static_cast<int>(g_record.size()));
    }
    return 1;
}

struct Pty {
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
            ::ptsname_r(master, name, sizeof name) != 0)
            throw std::runtime_error("no pseudo-terminal");
        path = name;
        held = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        ::tcgetattr(held, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(held, TCSANOW, &tio);
    }
    ~Pty() {
        ::close(held);
        ::close(master);
    }
    int master = -1;
    int held = -1;
    std::string path;
};

// The box's side: ENQ out, then read until the whole record is back. Returns microseconds.
double OneTurnaround(int master) {
    char buffer[kRecordBytes * 2];
    auto start = Clock::now();
    if (::write(master, &kEnq, 1) != 1)
        throw std::runtime_error("ENQ not written");
    std::size_t got = 0;
    while (got < kRecordBytes) {
        ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (!(n < 0 && errno == EINTR))
            throw std::runtime_error("record not read");
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The floor: a bare poll/read/write loop on the port's side.
class BareLoop {
public:
    explicit BareLoop(const std::string& path) {
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        m_stop = ::eventfd(0, EFD_CLOEXEC);
        m_thread = std::thread([this] { Run(); });
    }
    ~BareLoop() {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(m_stop, &one, sizeof one);
        m_thread.join();
        ::close(m_fd);
        ::close(m_stop);
    }

private:
    void Run() {
        char buffer[2048];
        for (;;) {
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents)
                return;
            ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) {
                if (static_cast<std::uint8_t>(buffer[i]) == kEnq) {
                    std::size_t done = 0;
                    while (done < g_record.size()) {
                        ssize_t w = ::write(m_fd, g_record.data() + done, g_record.size() - done);
                        if (w > 0)
                            done += static_cast<std::size_t>(w);
                    }
                }
            }
        }
    }
    int m_fd = -1;
    int m_stop = -1;
    std::thread m_thread;
};

double Percentile(std::vector<double> samples, double p) {
    std::sort(samples.begin(), samples.end());
    auto index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
    return samples[index];
}

void BM_ChannelTurnaround(benchmark::State& state) {
    g_record.assign(kRecordBytes, 'r');
    g_record[0] = 0x02;
    std::vector<double> channel;
    std::vector<double> floor;
    for (auto _ : state) {
        // Two lines side by side, one answered by the channel and one by the bare loop, with
        // the samples taken in turn so that both see the same load and the same cores.
        Pty channelLine;
        Pty floorLine;
        BareLoop loop(floorLine.path);
        DCB dcb{};
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        g_dcbComm = dcb;
        g_port = CommOpen(channelLine.path.c_str());
        if (!g_port) {
            state.SkipWithError(CommLastOpenError().c_str());
            return;
        }
        HCOMMREADER reader = CommStartReader(g_port, AnswerEnq);
        for (int i = 0; i < kSamples; ++i) {
            floor.push_back(OneTurnaround(floorLine.master));
            channel.push_back(OneTurnaround(channelLine.master));
        }
        CommStopReader(reader);
        CommClose(g_port);
        g_port = nullptr;
    }
    const double channelMedian = Percentile(channel, 0.5);
    const double floorMedian = Percentile(floor, 0.5);
    state.counters["median_us"] = channelMedian;
    state.counters["p99_us"] = Percentile(channel, 0.99);
    state.counters["floor_median_us"] = floorMedian;
    state.counters["floor_p99_us"] = Percentile(floor, 0.99);
    state.counters["median_over_floor"] = channelMedian / floorMedian;
}
BENCHMARK(BM_ChannelTurnaround)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
