// The CRC-32 variant against an independent bit-by-bit definition, and chunked file checksums.
#include "ConfigFile.h"
#include "Crc32.h"
#include "Crc32Fold.h"
#include "FileAccess.h"
#include "TempDir.h"
#include "TestSystem.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace sorvel {
namespace {

// The variant written straight from its definition: reflected 0xEDB88320, one bit at a time,
// starting from 0 with no final inversion.
DWORD BitwiseCrc(DWORD crc, const std::vector<BYTE>& bytes) {
    for (BYTE b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

std::vector<BYTE> Bytes(const std::string& text) {
    return std::vector<BYTE>(text.begin(), text.end());
}

std::vector<BYTE> RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<BYTE> bytes(n);
    for (BYTE& b : bytes)
        b = static_cast<BYTE>(generator());
    return bytes;
}

TEST(Crc32, KnownValues) {
    struct Case {
        std::string input;
        DWORD expected;
    };
    const Case cases[] = {
        {"", 0},
        {"123456789", 0x2DFD2D88},
        // One zero byte leaves the register at 0: zeros alone never move it from its start.
        {std::string(1, '\0'), 0},
        {std::string(64, '\0'), 0},
    };
    for (const Case& c : cases) {
        auto bytes = Bytes(c.input);
        EXPECT_EQ(Crc32(bytes.data(), bytes.size()), c.expected) << '"' << c.input << '"';
        EXPECT_EQ(BitwiseCrc(0, bytes), c.expected);
    }
}

TEST(Crc32, MatchesTheDefinitionForEveryLengthAndAlignment) {
    // Fast implementations work on words and switch paths by length and alignment; compare
    // every short length at every start offset, and a few long buffers.
    auto data = RandomBytes(4096 + 64, 7);
    for (std::size_t offset = 0; offset < 16; ++offset) {
        for (std::size_t length = 0; length <= 300; ++length) {
            std::vector<BYTE> part(data.begin() + static_cast<std::ptrdiff_t>(offset),
                                   data.begin() + static_cast<std::ptrdiff_t>(offset + length));
            ASSERT_EQ(Crc32(data.data() + offset, length), BitwiseCrc(0, part))
                << "offset " << offset << " length " << length;
        }
    }
    for (std::size_t length : {4096u, 4097u, 4099u}) {
        std::vector<BYTE> part(data.begin() + 3, data.begin() + 3 + length);
        EXPECT_EQ(Crc32(part.data(), part.size()), BitwiseCrc(0, part));
    }
}

TEST(Crc32, FoldedBlocksAgreeWithTheDefinition) {
    // The carry-less multiply path on its own, from several running values, so that an error in
    // one of its constants cannot hide behind the table code that finishes a buffer.
    auto data = RandomBytes(2048, 5);
#if defined(__x86_64__)
    const bool expectFolding = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#else
    const bool expectFolding = false;
#endif
    for (DWORD start : {0u, 0xFFFFFFFFu, 0x2DFD2D88u}) {
        for (std::size_t length = 0; length < data.size(); length += 16) {
            DWORD crc = start;
            std::size_t consumed = detail::Crc32Fold(&crc, data.data() + 1, length);
            if (expectFolding && length >= 64) {
                ASSERT_EQ(consumed, length);
            }
            std::vector<BYTE> part(data.begin() + 1,
                                   data.begin() + 1 + static_cast<std::ptrdiff_t>(consumed));
            ASSERT_EQ(crc, BitwiseCrc(start, part)) << "length " << length << " start " << start;
        }
    }
}

TEST(Crc32, RunningValueContinuesAcrossAnySplit) {
    auto data = RandomBytes(1000, 11);
    const DWORD whole = Crc32(data.data(), data.size());
    for (std::size_t split = 0; split <= data.size(); split += 37) {
        DWORD running = Crc32Update(0, data.data(), split);
        running = Crc32Update(running, data.data() + split, data.size() - split);
        EXPECT_EQ(running, whole) << "split at " << split;
    }
    // The loader's own entry point: count 0 leaves the running value alone.
    DWORD running = 0x12345678;
    CConfigFile::UpdateCrc32(data.data(), 0, &running);
    EXPECT_EQ(running, 0x12345678u);
    running = 0;
    CConfigFile::UpdateCrc32(data.data(), 500, &running);
    CConfigFile::UpdateCrc32(data.data() + 500, 500, &running);
    EXPECT_EQ(running, whole);
}

TEST(FileCrc32, ChecksOneFileInChunksWhateverItsSize) {
    test::TempDir dir;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, kCrcChunkBytes - 1, kCrcChunkBytes,
                             3 * kCrcChunkBytes + 123}) {
        auto bytes = RandomBytes(size, static_cast<unsigned>(size));
        auto path = dir.Write(std::to_string(size) + ".bin", bytes);
        DWORD crc = 0xFFFFFFFF;
        FileOutcome outcome = FileCrc32(path.string(), &crc);
        ASSERT_EQ(outcome.status, FileStatus::Ok) << outcome.reason;
        EXPECT_EQ(crc, BitwiseCrc(0, bytes)) << "size " << size;
    }
}

TEST(FileCrc32, OnlyRegularFilesOpen) {
    test::TempDir dir;
    DWORD crc = 0;
    FileOutcome missing = FileCrc32((dir.Path() / "missing").string(), &crc);
    EXPECT_EQ(missing.status, FileStatus::NotOpened);
    EXPECT_EQ(missing.reason, test::NoSuchFileText());

    FileOutcome folder = FileCrc32(dir.Path().string(), &crc);
    EXPECT_EQ(folder.status, FileStatus::NotOpened);
    EXPECT_EQ(folder.reason, "Is a directory");

    // A FIFO with no writer would block an ordinary open for ever, a device may never end.
    for (const std::string& path : test::NotRegularPaths(dir.Path())) {
        EXPECT_EQ(FileCrc32(path, &crc).status, FileStatus::NotOpened) << path;
    }
}

} // namespace
} // namespace sorvel
