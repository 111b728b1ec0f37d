// The upload-file format, read and written here for everyone: the engine's reader
// (UploadFile.cpp), sorvel-config make's check of the files it names, the box simulator's
// expected files and the sample files of the demo, the tests and the benchmarks.
//
//   offset 0  2 bytes  "MZ"
//   offset 2  4 bytes  record count, unsigned, big-endian
//   offset 6           records, one after the other: type 0x02, length L (24-bit big-endian),
//                      L + 5 more bytes; L + 9 bytes in all
//
// The engine sends a record from a buffer of kMaxRecordBytes and names the file by a path of at
// most kMaxPathChars characters.
//
// Reading goes through a ReadAt function, so that the same code reads a file on disk and bytes in
// memory; a walk reads only the file header and each record's header, so a file of any size is
// checked without being held in memory. This library needs only the platform layer, so that
// tools which do not link the engine use it too. Nothing here keeps state: any thread may call
// any function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace sorvel {
class ReadOnlyFile;
} // namespace sorvel

namespace sorvel::upload {

constexpr std::uint8_t kMagic0 = 0x4D;  // 'M'
constexpr std::uint8_t kMagic1 = 0x5A;  // 'Z'
constexpr std::size_t kHeaderBytes = 6; // "MZ" and the record count
constexpr std::uint8_t kRecordType = 0x02;
constexpr std::size_t kRecordHeaderBytes = 4;   // type and length
constexpr std::size_t kRecordOverheadBytes = 9; // the header and the 5 bytes L does not count
// The largest record in all (the engine's record buffer), so L is at most 5091.
constexpr std::size_t kMaxRecordBytes = 5100;
// The longest path of an upload file, without its NUL (the engine's buffer holds 260).
constexpr std::size_t kMaxPathChars = 259;

// ---- Reading

// Reads up to count bytes at offset into buffer and returns how many it read: fewer only at the
// end of the file, -1 when reading fails.
using ReadAtFn = std::function<long(void* buffer, long count, std::uint64_t offset)>;

// Readers of an open file (ReadOnlyFile::ReadAt) and of bytes in memory; both must outlive the
// reader.
ReadAtFn FileReader(const ReadOnlyFile& file);
ReadAtFn MemoryReader(const std::vector<std::uint8_t>& bytes);

// The record count of a file whose first got bytes are header, or nothing when they are not a
// whole file header that begins with "MZ".
std::optional<std::uint32_t> ParseHeader(const std::uint8_t* header, long got);

// A record header read at some offset, as the engine and a walk take it.
struct RecordHeader {
    enum class Status {
        Ok,         // bytes holds the record's size
        End,        // the file ends at the offset (nothing read)
        Unreadable, // reading failed
        Damaged,    // a type byte other than 0x02, or a header cut short by the end of the file
    };
    Status status = Status::End;
    long got = 0;            // header bytes read (Damaged: what the file still held, up to 4)
    std::uint64_t bytes = 0; // Ok: the record's size in all, L + 9; it may exceed kMaxRecordBytes
};
// What the got bytes of header, a read of kRecordHeaderBytes (got as ReadAt returned it, -1 for a
// failure), say. The engine's reader, which runs in the receive filter and allocates nothing,
// reads the bytes itself and has them decoded here.
RecordHeader ParseRecordHeader(const std::uint8_t* header, long got);

// Why a walk found that a file is no upload file.
enum class Fault {
    None,
    NotUploadFile,  // no whole file header beginning with "MZ" (or it could not be read)
    Unreadable,     // reading a record header failed
    NoRecordHeader, // a damaged record header (see RecordHeader::Status::Damaged)
    RecordTooLong,  // a record larger than kMaxRecordBytes
    RecordCut,      // a record cut short by the end of the file
    CountMismatch,  // the records are not as many as the header counts
};

// How a file is walked.
struct WalkRules {
    // false: the records run to the end of the file and must be as many as the header counts,
    // as the engine sends them. true: only the counted records are walked and whatever follows
    // them is not looked at; the file holds fewer records than counted (CountMismatch) when,
    // before the count is reached, it no longer holds a record header's 4 bytes.
    bool stopAtCount = false;
    // Refuse a record larger than kMaxRecordBytes (RecordTooLong).
    bool limitRecordBytes = true;
};

// Where a walk ended.
struct Walk {
    Fault fault = Fault::None;
    std::uint32_t count = 0;   // the header's record count (0 for NotUploadFile)
    std::uint64_t records = 0; // whole records walked: the record at fault is number records + 1
    std::uint64_t offset = 0;  // where the record at fault begins; at the end, the bytes walked
};

// Called for each whole record of a walk, in order: where it begins and its size in all.
using RecordFn = std::function<void(std::uint64_t offset, std::uint64_t bytes)>;

// Walks the records of a file of size bytes by their headers, reading nothing else, and tells
// where and why it stopped. A record is reported to onRecord (when given) only once it lies whole
// in the file and passes the rules; the walk stops at the first fault.
Walk WalkUploadFile(const ReadAtFn& read, std::uint64_t size, const WalkRules& rules = {},
                    const RecordFn& onRecord = {});

// ---- Writing
//
// The contents of the records written here follow from a seed, so that the same arguments always
// give the same bytes.

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

} // namespace sorvel::upload
