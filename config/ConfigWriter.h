// Making configuration files: the records of a body, the CRC-32 trailer, and a whole
// Ressources/Configuration.zkf for a set of upload files with their checksums computed.
//
// Used by the configuration tool and by tests that need real configuration files, including
// deliberately broken ones (ConfigBuilder::AddRaw, WithTrailer). Nothing here shows messages;
// failures come back as text. Any thread.
#pragma once

#include "SorvelWinTypes.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvel {

// Largest value a record can carry: its length field has 16 bits.
constexpr std::size_t kMaxRecordValueBytes = 0xFFFF;
// szCartridgeType holds 6 bytes: 5 characters and the NUL.
constexpr std::size_t kMaxCartridgeTypeChars = 5;

// A text value as stored: the characters followed by one NUL.
[[nodiscard]] std::vector<BYTE> TextValue(std::string_view text);
// A checksum value as stored: 4 bytes, least significant first.
[[nodiscard]] std::vector<BYTE> CrcValue(DWORD crc);
// The body followed by the CRC-32 of the body, least significant byte first.
[[nodiscard]] std::vector<BYTE> WithTrailer(std::vector<BYTE> body);

// Builds a body record by record, in the order added.
class ConfigBuilder {
public:
    // One record: tag, 16-bit big-endian length, value. Values longer than
    // kMaxRecordValueBytes cannot be stored; Add() keeps only what fits, so check
    // with IsStorable() first where it matters.
    ConfigBuilder& Add(BYTE tag, const std::vector<BYTE>& value);
    ConfigBuilder& AddText(BYTE tag, std::string_view text) { return Add(tag, TextValue(text)); }
    ConfigBuilder& AddCrc(BYTE tag, DWORD crc) { return Add(tag, CrcValue(crc)); }
    // Bytes placed in the body as they are (for broken records in tests).
    ConfigBuilder& AddRaw(const std::vector<BYTE>& bytes);

    [[nodiscard]] const std::vector<BYTE>& Body() const { return m_body; }
    // The whole file: body and trailer.
    [[nodiscard]] std::vector<BYTE> Build() const { return WithTrailer(m_body); }

    [[nodiscard]] static bool IsStorable(std::size_t valueBytes) {
        return valueBytes <= kMaxRecordValueBytes;
    }

private:
    std::vector<BYTE> m_body;
};

// What a configuration names. Paths are stored exactly as given (backslashes included); texts
// that are not set are left out of the file and read back as empty.
struct ConfigContents {
    std::string stiPath;
    // Both or neither: with both, the configuration is full.
    std::optional<std::string> cartridge1Path;
    std::optional<std::string> cartridge2Path;
    std::optional<std::string> softwareVersion;
    std::optional<std::string> hardwareVersion;
    std::optional<std::string> brevonVersion;
    std::optional<std::string> pellumVersion;
    std::optional<std::string> cartridgeType; // at most kMaxCartridgeTypeChars characters
    // When set, stored instead of the CRC-32 computed from the named file (for files that do not
    // exist yet, or to make a configuration that fails on purpose).
    std::optional<DWORD> stiCrc;
    std::optional<DWORD> cartridge1Crc;
    std::optional<DWORD> cartridge2Crc;
};

// Builds the bytes of a configuration file. Upload paths resolve against baseDir as the loader
// resolves them (the directory that holds Ressources/). Returns nothing and sets *error when the
// contents cannot be stored or a named file cannot be read (with the system's reason).
[[nodiscard]] std::optional<std::vector<BYTE>>
BuildConfiguration(const ConfigContents& contents, const std::filesystem::path& baseDir,
                   std::string* error);

// Writes bytes to a file, creating its folders; false with *error set on failure.
[[nodiscard]] bool WriteFileBytes(const std::filesystem::path& file, const std::vector<BYTE>& bytes,
                                  std::string* error);

// Writes <dir>/Ressources/Configuration.zkf for contents, with paths resolving against dir.
[[nodiscard]] bool WriteConfiguration(const std::filesystem::path& dir,
                                      const ConfigContents& contents, std::string* error);

} // namespace sorvel
