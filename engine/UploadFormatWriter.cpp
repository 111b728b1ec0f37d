// The writing half of UploadFormat.h, in a file of its own: the engine links only the reading
// half.
#include "UploadFormat.h"

#include <algorithm>

namespace sorvel::upload {
namespace {

// A linear congruential generator: the bytes that follow from a seed.
class Contents {
public:
    explicit Contents(std::uint32_t seed) : m_x(seed * 2654435761u + 1u) {}
    std::uint8_t Next() {
        m_x = m_x * 1103515245u + 12345u;
        return static_cast<std::uint8_t>(m_x >> 16);
    }

private:
    std::uint32_t m_x;
};

void AppendBigEndian(Bytes& out, std::uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void AppendRecord(Bytes& out, std::size_t totalBytes, Contents& contents) {
    const std::size_t length = std::max(totalBytes, kRecordOverheadBytes) - kRecordOverheadBytes;
    out.push_back(kRecordType);
    AppendBigEndian(out, static_cast<std::uint32_t>(length), 3);
    for (std::size_t i = 0; i < length + kRecordOverheadBytes - kRecordHeaderBytes; ++i)
        out.push_back(contents.Next());
}

Bytes Header(std::uint32_t count) {
    Bytes file{kMagic0, kMagic1};
    AppendBigEndian(file, count, 4);
    return file;
}

} // namespace

Bytes MakeRecord(std::size_t totalBytes, std::uint32_t seed) {
    Contents contents(seed);
    Bytes record;
    AppendRecord(record, totalBytes, contents);
    return record;
}

Bytes MakeUploadFile(std::uint32_t count, const std::vector<Bytes>& records) {
    Bytes file = Header(count);
    for (const Bytes& record : records)
        file.insert(file.end(), record.begin(), record.end());
    return file;
}

Bytes MakeSampleFile(std::size_t n, std::size_t recordBytes, std::uint32_t seed,
                     std::size_t growth) {
    Bytes file = Header(static_cast<std::uint32_t>(n));
    Contents contents(seed);
    for (std::size_t i = 0; i < n; ++i)
        AppendRecord(file, recordBytes + i * growth, contents);
    return file;
}

} // namespace sorvel::upload
