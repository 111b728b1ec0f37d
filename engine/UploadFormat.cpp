#include "UploadFormat.h"

#include "ReadOnlyFile.h"

#include <algorithm>
#include <cstring>

namespace sorvel::upload {

ReadAtFn FileReader(const ReadOnlyFile& file) {
    return [&file](void* buffer, long count, std::uint64_t offset) {
        return file.ReadAt(buffer, count, static_cast<std::int64_t>(offset));
    };
}

ReadAtFn MemoryReader(const std::vector<std::uint8_t>& bytes) {
    return [&bytes](void* buffer, long count, std::uint64_t offset) -> long {
        if (count <= 0 || offset >= bytes.size())
            return 0;
        const std::size_t n = std::min(static_cast<std::size_t>(count),
                                       static_cast<std::size_t>(bytes.size() - offset));
        std::memcpy(buffer, bytes.data() + offset, n);
        return static_cast<long>(n);
    };
}

std::optional<std::uint32_t> ParseHeader(const std::uint8_t* header, long got) {
    // Both magic bytes, and a whole header: a file that ends inside it has no record count.
    if (got < static_cast<long>(kHeaderBytes) || header[0] != kMagic0 || header[1] != kMagic1)
        return std::nullopt;
    return (std::uint32_t{header[2]} << 24) | (std::uint32_t{header[3]} << 16) |
           (std::uint32_t{header[4]} << 8) | std::uint32_t{header[5]};
}

RecordHeader ParseRecordHeader(const std::uint8_t* header, long got) {
    RecordHeader record;
    record.got = got;
    if (got < 0) {
        record.status = RecordHeader::Status::Unreadable;
    } else if (got == 0) {
        record.status = RecordHeader::Status::End;
    } else if (got < static_cast<long>(kRecordHeaderBytes) || header[0] != kRecordType) {
        record.status = RecordHeader::Status::Damaged;
    } else {
        record.status = RecordHeader::Status::Ok;
        const std::uint64_t length = (std::uint64_t{header[1]} << 16) |
                                     (std::uint64_t{header[2]} << 8) | std::uint64_t{header[3]};
        record.bytes = length + kRecordOverheadBytes;
    }
    return record;
}

Walk WalkUploadFile(const ReadAtFn& read, std::uint64_t size, const WalkRules& rules,
                    const RecordFn& onRecord) {
    Walk walk;
    auto stop = [&walk](Fault fault) {
        walk.fault = fault;
        return walk;
    };
    std::uint8_t header[kHeaderBytes] = {};
    const std::optional<std::uint32_t> count = ParseHeader(header, read(header, kHeaderBytes, 0));
    if (!count)
        return stop(Fault::NotUploadFile);
    walk.count = *count;
    walk.offset = kHeaderBytes;
    // Records are taken whole only, so the offset never passes the end of the file.
    while (rules.stopAtCount ? walk.records < walk.count : walk.offset < size) {
        if (rules.stopAtCount && (walk.offset > size || size - walk.offset < kRecordHeaderBytes))
            return stop(Fault::CountMismatch);
        std::uint8_t bytes[kRecordHeaderBytes] = {};
        const RecordHeader record =
            ParseRecordHeader(bytes, read(bytes, kRecordHeaderBytes, walk.offset));
        switch (record.status) {
        case RecordHeader::Status::Ok:
            break;
        case RecordHeader::Status::Unreadable:
            return stop(Fault::Unreadable);
        case RecordHeader::Status::End: // the file is shorter than it was said to be
        case RecordHeader::Status::Damaged:
            return stop(Fault::NoRecordHeader);
        }
        if (rules.limitRecordBytes && record.bytes > kMaxRecordBytes)
            return stop(Fault::RecordTooLong);
        if (size - walk.offset < record.bytes)
            return stop(Fault::RecordCut);
        if (onRecord)
            onRecord(walk.offset, record.bytes);
        walk.offset += record.bytes;
        ++walk.records;
    }
    if (walk.records != walk.count)
        return stop(Fault::CountMismatch);
    return walk;
}

} // namespace sorvel::upload
