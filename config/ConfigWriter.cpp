#include "ConfigWriter.h"

#include "ConfigFile.h"
#include "Crc32.h"
#include "FileAccess.h"
#include "Program.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>

namespace sorvel {

std::vector<BYTE> TextValue(std::string_view text) {
    std::vector<BYTE> value(text.begin(), text.end());
    value.push_back(0);
    return value;
}

std::vector<BYTE> CrcValue(DWORD crc) {
    return {static_cast<BYTE>(crc), static_cast<BYTE>(crc >> 8), static_cast<BYTE>(crc >> 16),
            static_cast<BYTE>(crc >> 24)};
}

std::vector<BYTE> WithTrailer(std::vector<BYTE> body) {
    std::vector<BYTE> trailer = CrcValue(Crc32(body.data(), body.size()));
    body.insert(body.end(), trailer.begin(), trailer.end());
    return body;
}

ConfigBuilder& ConfigBuilder::Add(BYTE tag, const std::vector<BYTE>& value) {
    std::size_t n = value.size() < kMaxRecordValueBytes ? value.size() : kMaxRecordValueBytes;
    m_body.push_back(tag);
    m_body.push_back(static_cast<BYTE>(n >> 8));
    m_body.push_back(static_cast<BYTE>(n));
    m_body.insert(m_body.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(n));
    return *this;
}

ConfigBuilder& ConfigBuilder::AddRaw(const std::vector<BYTE>& bytes) {
    m_body.insert(m_body.end(), bytes.begin(), bytes.end());
    return *this;
}

namespace {

bool AddText(ConfigBuilder* builder, BYTE tag, const std::optional<std::string>& text,
             const char* what, std::string* error) {
    if (!text)
        return true;
    if (!ConfigBuilder::IsStorable(text->size() + 1)) {
        *error = std::string(what) + " is longer than a record can hold (" +
                 std::to_string(kMaxRecordValueBytes - 1) + " characters)";
        return false;
    }
    builder->AddText(tag, *text);
    return true;
}

std::optional<DWORD> ChecksumOf(const std::string& stored, const std::optional<DWORD>& given,
                                const std::filesystem::path& baseDir, std::string* error) {
    if (given)
        return given;
    std::string path = ResolveStoredPath(baseDir.string(), stored);
    DWORD crc = 0;
    FileOutcome outcome = FileCrc32(path, &crc);
    if (outcome.status != FileStatus::Ok) {
        *error = "cannot read '" + path + "': " + outcome.reason;
        return std::nullopt;
    }
    return crc;
}

} // namespace

std::optional<std::vector<BYTE>> BuildConfiguration(const ConfigContents& contents,
                                                    const std::filesystem::path& baseDir,
                                                    std::string* error) {
    if (contents.cartridge1Path.has_value() != contents.cartridge2Path.has_value()) {
        *error = "a full configuration names both cartridge files";
        return std::nullopt;
    }
    if (contents.cartridgeType && contents.cartridgeType->size() > kMaxCartridgeTypeChars) {
        *error = "the cartridge type holds at most " + std::to_string(kMaxCartridgeTypeChars) +
                 " characters";
        return std::nullopt;
    }
    if (contents.cartridge1Path && contents.cartridge1Path->empty()) {
        // An empty first path would be stored with length 1, but a reader sees "no cartridge".
        *error = "the first cartridge path is empty";
        return std::nullopt;
    }

    ConfigBuilder builder;
    builder.Add(TAG_HEADER, {});
    if (!AddText(&builder, TAG_SOFTWARE_VERSION, contents.softwareVersion, "the software version",
                 error) ||
        !AddText(&builder, TAG_HARDWARE_VERSION, contents.hardwareVersion, "the hardware version",
                 error) ||
        !AddText(&builder, TAG_BREVON_VERSION, contents.brevonVersion, "the Brevon version",
                 error) ||
        !AddText(&builder, TAG_PELLUM_VERSION, contents.pellumVersion, "the Pellum version",
                 error) ||
        !AddText(&builder, TAG_CARTRIDGE_TYPE, contents.cartridgeType, "the cartridge type",
                 error) ||
        !AddText(&builder, TAG_STI_FILE, contents.stiPath, "the STI path", error) ||
        !AddText(&builder, TAG_CARTRIDGE_FILE1, contents.cartridge1Path, "the first cartridge path",
                 error) ||
        !AddText(&builder, TAG_CARTRIDGE_FILE2, contents.cartridge2Path,
                 "the second cartridge path", error))
        return std::nullopt;

    std::optional<DWORD> stiCrc = ChecksumOf(contents.stiPath, contents.stiCrc, baseDir, error);
    if (!stiCrc)
        return std::nullopt;
    builder.AddCrc(TAG_STI_FILE_CRC, *stiCrc);
    if (contents.cartridge1Path) {
        std::optional<DWORD> crc1 =
            ChecksumOf(*contents.cartridge1Path, contents.cartridge1Crc, baseDir, error);
        if (!crc1)
            return std::nullopt;
        std::optional<DWORD> crc2 =
            ChecksumOf(*contents.cartridge2Path, contents.cartridge2Crc, baseDir, error);
        if (!crc2)
            return std::nullopt;
        builder.AddCrc(TAG_CARTRIDGE_FILE1_CRC, *crc1).AddCrc(TAG_CARTRIDGE_FILE2_CRC, *crc2);
    }
    return builder.Build();
}

bool WriteFileBytes(const std::filesystem::path& file, const std::vector<BYTE>& bytes,
                    std::string* error) {
    std::error_code ec;
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path(), ec);
        if (ec) {
            *error = "cannot create '" + file.parent_path().string() + "': " + ec.message();
            return false;
        }
    }
    // Written beside the file under another name, then renamed into place: a write that fails
    // (a full disk) leaves the old file as it was, never an empty or partial one.
    std::random_device random;
    const std::filesystem::path temporary =
        file.string() + ".tmp" + std::to_string(random() % 1000000);
    auto fail = [&](int code) {
        *error = "cannot write '" + file.string() + "': " + SystemErrorText(code);
        std::filesystem::remove(temporary, ec);
        return false;
    };
    // The C library's files: the same on every system, binary on Windows too.
    std::FILE* out = std::fopen(temporary.string().c_str(), "wb");
    if (out == nullptr)
        return fail(errno);
    const bool written =
        std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size() && std::fflush(out) == 0;
    const int writeError = errno;
    if (std::fclose(out) != 0 || !written)
        return fail(written ? errno : writeError);
    std::filesystem::rename(temporary, file, ec);
    if (ec) {
        *error = "cannot write '" + file.string() + "': " + ec.message();
        std::filesystem::remove(temporary, ec);
        return false;
    }
    return true;
}

bool WriteConfiguration(const std::filesystem::path& dir, const ConfigContents& contents,
                        std::string* error) {
    std::optional<std::vector<BYTE>> bytes = BuildConfiguration(contents, dir, error);
    if (!bytes)
        return false;
    return WriteFileBytes(dir / "Ressources" / "Configuration.zkf", *bytes, error);
}

} // namespace sorvel
