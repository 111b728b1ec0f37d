// Writing upload files, for the simulator's program, tests and benchmarks.
//
// An upload file is "MZ", the record count (32 bits, big-endian), then the records. A record is
// type 0x02, its length L (24 bits, big-endian), then L + 5 bytes: L + 9 bytes in all. The
// contents written here follow from a seed, so that the same arguments always give the same
// bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sorvel::boxsim {

constexpr std::uint8_t kRecordType = 0x02;
constexpr std::size_t kRecordHeaderBytes = 4;   // type and length
constexpr std::size_t kRecordOverheadBytes = 9; // the header and the 5 bytes L does not count

using Bytes = std::vector<std::uint8_t>;

// One record of totalBytes in all (9 at least; less gives 9), its contents from seed.
Bytes MakeRecord(std::size_t totalBytes, std::uint32_t seed);

// "MZ", count, then the records one after the other. The count is written as given, so that it
// may differ from the number of records (for broken files).
Bytes MakeUploadFile(std::uint32_t count, const std::vector<Bytes>& records);

// A file of n records, counted exactly; record i holds recordBytes + i * growth bytes in all.
// The contents run on from record to record, so the first record is MakeRecord(recordBytes,
// seed).
Bytes MakeSampleFile(std::size_t n, std::size_t recordBytes, std::uint32_t seed,
                     std::size_t growth = 0);

} // namespace sorvel::boxsim
