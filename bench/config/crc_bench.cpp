// Speed of the configuration CRC-32 against zlib's crc32 on the same 64 MiB buffer, and of the
// chunked check of an upload file that sits in the page cache.
//   build/release/bin/crc_bench
// The ratio that matters: bytes_per_second of BM_Crc32Ours over BM_Crc32Zlib.
#include "Crc32.h"
#include "FileAccess.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

namespace {

constexpr std::size_t kBufferBytes = 64 * 1024 * 1024;

const std::vector<unsigned char>& Buffer() {
    static const std::vector<unsigned char> buffer = [] {
        std::vector<unsigned char> bytes(kBufferBytes);
        std::mt19937_64 generator(42);
        for (std::size_t i = 0; i < bytes.size(); i += 8) {
            std::uint64_t word = generator();
            for (std::size_t k = 0; k < 8; ++k)
                bytes[i + k] = static_cast<unsigned char>(word >> (8 * k));
        }
        return bytes;
    }();
    return buffer;
}

void BM_Crc32Ours(benchmark::State& state) {
    const auto& buffer = Buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(sorvel::Crc32(buffer.data(), buffer.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(buffer.size()));
}
BENCHMARK(BM_Crc32Ours)->Unit(benchmark::kMillisecond);

void BM_Crc32Zlib(benchmark::State& state) {
    const auto& buffer = Buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32_z(0, buffer.data(), buffer.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(buffer.size()));
}
BENCHMARK(BM_Crc32Zlib)->Unit(benchmark::kMillisecond);

// The byte-at-a-time table loop, for scale.
void BM_Crc32BytewiseTable(benchmark::State& state) {
    static const auto table = [] {
        std::vector<std::uint32_t> t(256);
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    const auto& buffer = Buffer();
    for (auto _ : state) {
        std::uint32_t crc = 0;
        for (unsigned char b : buffer)
            crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(buffer.size()));
}
BENCHMARK(BM_Crc32BytewiseTable)->Unit(benchmark::kMillisecond);

// An upload file of 64 MiB checked in chunks, as the loader does (page cache warm).
void BM_FileCrc32(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / "sorvel-crc-bench.bin";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(Buffer().data()),
                  static_cast<std::streamsize>(Buffer().size()));
    }
    for (auto _ : state) {
        DWORD crc = 0;
        if (sorvel::FileCrc32(path.string(), &crc).status != sorvel::FileStatus::Ok)
            state.SkipWithError("cannot read the benchmark file");
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(Buffer().size()));
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}
BENCHMARK(BM_FileCrc32)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
