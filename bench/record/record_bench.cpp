// Speed of sorvel-record on a record of 100,000 attempts (outcomes, programs, ports, units and
// modes varied, some files with resends): reading the record (ReadRecordFile), and the whole
// tool in-process, from reading the file to the last byte of output, for list, summary and csv.
// The output goes to a stream that only counts it.
//   build/release/bin/record_bench
// The same record for timing the program itself:
//   build/release/bin/record_bench --make-record /tmp/upgrades.jsonl [COUNT]
//   time build/release/bin/sorvel-record --file /tmp/upgrades.jsonl summary
#include "RecordTool.h"
#include "UpgradeRecordReader.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <random>
#include <sstream>
#include <string>

namespace {

constexpr std::size_t kAttempts = 100'000;

using sorvel::record::UpgradeAttempt;

UpgradeAttempt MakeAttempt(std::mt19937& random, std::chrono::system_clock::time_point start) {
    static const char* const kPrograms[] = {"sorvel-cli", "Sorvel_User", "Sorvel_User.exe",
                                            "sorvel-station"};
    static const char* const kPorts[] = {"COM1:", "COM3:", "COM4:", "/dev/ttyUSB0",
                                         "/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0"};
    static const char* const kModes[] = {"complete", "sti", "cartridge"};
    static const char* const kClasses[] = {"line", "port", "box-refused", "configuration",
                                           "file-changed"};
    UpgradeAttempt a;
    a.start = start;
    a.end = start + std::chrono::milliseconds(2000 + random() % 90'000);
    a.program = kPrograms[random() % std::size(kPrograms)];
    a.version = "1.3.9";
    a.host = "bench-" + std::to_string(random() % 4);
    a.user = "tech";
    a.port = kPorts[random() % std::size(kPorts)];
    a.folder = "C:\\Upgrades\\STI-2.04";
    a.unit = random() % 5 == 0 ? "" : "SN" + std::to_string(10000 + random() % 3000);
    a.config = {"STI 2.04", "HW 1.1", "Brevon 5.2", "Pellum 3.0", "DEMO"};
    a.mode = kModes[random() % std::size(kModes)];
    const char* const paths[] = {".\\Ressources\\Sti.urt", ".\\Ressources\\Cartridge1.urt",
                                 ".\\Ressources\\Cartridge2.urt"};
    const std::size_t files = a.mode == std::string("complete") ? 3 : a.mode == "sti" ? 1 : 2;
    const unsigned roll = random() % 100;
    a.outcome = roll < 80 ? "updated" : roll < 95 ? "failed" : "stopped";
    for (std::size_t i = 0; i < files; ++i) {
        a.files.push_back({paths[a.mode == "cartridge" ? i + 1 : i], 38400 + random() % 100000,
                           static_cast<std::uint32_t>(random()), 60, static_cast<int>(random() % 3),
                           a.outcome == "updated"});
    }
    if (a.outcome == "failed") {
        a.failureClass = kClasses[random() % std::size(kClasses)];
        a.reason = "Error during upload.\nThe box did not answer for 10 s, on \"" + a.port + "\".";
        a.trace =
            "C:\\Users\\tech\\AppData\\Local\\Sorvel\\trace-" + std::to_string(random()) + ".log";
    } else if (a.outcome == "stopped") {
        a.failureClass = "user";
        a.reason = "Upload cancelled.";
    } else {
        a.reason = "The box was updated.";
    }
    return a;
}

// Writes a record of count attempts, a minute apart, with a torn last line as a killed writer
// leaves it.
bool MakeRecord(const std::string& path, std::size_t count) {
    std::mt19937 random(42);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1'765'000'000));
    for (std::size_t i = 0; i < count; ++i) {
        out << sorvel::record::ToJson(MakeAttempt(random, when)).dump() << '\n';
        when += std::chrono::minutes(1);
    }
    out << R"({"record":1,"start":"2026-12-10T09:41:17.120Z","end":)";
    return static_cast<bool>(out);
}

const std::string& RecordPath() {
    static const std::string path = [] {
        const std::string file =
            (std::filesystem::temp_directory_path() /
             ("sorvel-record-bench-" + std::to_string(std::random_device()()) + ".jsonl"))
                .string();
        if (!MakeRecord(file, kAttempts))
            std::abort();
        std::atexit([] { std::filesystem::remove(RecordPath()); });
        return file;
    }();
    return path;
}

// A stream that only counts what is written to it.
class CountingBuffer : public std::streambuf {
public:
    std::size_t bytes = 0;

protected:
    int overflow(int c) override {
        ++bytes;
        return c == traits_type::eof() ? 0 : c;
    }
    std::streamsize xsputn(const char*, std::streamsize n) override {
        bytes += static_cast<std::size_t>(n);
        return n;
    }
};

void BM_ReadRecordFile(benchmark::State& state) {
    const std::string& path = RecordPath();
    for (auto _ : state) {
        sorvel::record::RecordContents contents;
        std::string error;
        if (!sorvel::record::ReadRecordFile(path, &contents, &error) ||
            contents.attempts.size() != kAttempts || contents.skipped != 1) {
            state.SkipWithError("the record did not read back");
            return;
        }
        benchmark::DoNotOptimize(contents);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(std::filesystem::file_size(path)));
}
BENCHMARK(BM_ReadRecordFile)->Unit(benchmark::kMillisecond);

void BM_Tool(benchmark::State& state, const char* command) {
    const std::vector<std::string> args = {command, "--file", RecordPath()};
    for (auto _ : state) {
        CountingBuffer buffer;
        std::ostream out(&buffer);
        std::ostringstream err;
        if (sorvel::tool::RunRecordTool(args, out, err) != sorvel::tool::kRecordExitOk) {
            state.SkipWithError(err.str().c_str());
            return;
        }
        state.counters["output_bytes"] = static_cast<double>(buffer.bytes);
    }
}
BENCHMARK_CAPTURE(BM_Tool, list, "list")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Tool, summary, "summary")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Tool, csv, "csv")->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "--make-record") {
        const std::size_t count = argc >= 4 ? std::stoul(argv[3]) : kAttempts;
        if (!MakeRecord(argv[2], count)) {
            std::fprintf(stderr, "record_bench: cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
