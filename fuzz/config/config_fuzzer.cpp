// libFuzzer target for the configuration loader. Each input is a configuration image, loaded
// from memory (no file is written per input) against a scratch folder that holds three small
// upload files, so that inputs naming them with their checksums reach the cartridge checks.
// Besides the sanitizers' checks, every text the loader hands out must be terminated text.
//
// Input format: an empty input, or a mode byte and then the data. With an even mode byte the
// data is a body and the target appends its correct trailer, so that mutations reach the record
// scanning instead of stopping at the checksum; with an odd one the data is the whole image.
#include "ConfigFile.h"
#include "Crc32.h"
#include "MessageBox.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string g_baseDir;

// The upload files of the scratch folder; the seed corpus carries their checksums.
struct UploadFile {
    const char* name;
    const char* content;
};
constexpr UploadFile kUploadFiles[] = {
    {"s", "sti upload file\n"},
    {"c1", "cartridge 1\n"},
    {"c2", "cartridge 2\n"},
};

void RemoveBaseDir() {
    std::error_code ignored;
    std::filesystem::remove_all(g_baseDir, ignored);
}

void CheckText(const char* text, WORD length) {
    if (text && std::strlen(text) > length)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The loader's messages are expected here; showing them would only slow the run.
    sorvel::SetMessagePresenter([](const sorvel::MessageRequest&) { return IDOK; });
    std::string pattern =
        (std::filesystem::temp_directory_path() / "sorvel-config-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        std::abort();
    g_baseDir = pattern;
    std::atexit(RemoveBaseDir);
    for (const UploadFile& file : kUploadFiles) {
        std::ofstream out(std::filesystem::path(g_baseDir) / file.name, std::ios::binary);
        out << file.content;
        if (!out)
            std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<BYTE> image;
    if (size > 0) {
        image.assign(data + 1, data + size);
        if ((data[0] & 1) == 0) {
            const DWORD crc = sorvel::Crc32(image.data(), image.size());
            for (int shift = 0; shift < 32; shift += 8)
                image.push_back(static_cast<BYTE>(crc >> shift));
        }
    }
    CONFIG_INFO info;
    CConfigFile reader(g_baseDir);
    const BYTE result = reader.LoadFromImage(image.data(), image.size(), &info);
    if (result > CONFIG_FULL)
        std::abort();
    CheckText(info.pszSoftwareVersion, info.nSoftwareVersionLen);
    CheckText(info.pszStiFile, info.nStiFileLen);
    CheckText(info.pszHardwareVersion, info.nHardwareVersionLen);
    CheckText(info.pszBrevonVersion, info.nBrevonVersionLen);
    CheckText(info.pszPellumVersion, info.nPellumVersionLen);
    CheckText(info.pszCartridgeFile1, info.nCartridgeFile1Len);
    CheckText(info.pszCartridgeFile2, info.nCartridgeFile2Len);
    if (info.szCartridgeType[sizeof info.szCartridgeType - 1] != '\0')
        std::abort();
    // A full result needs all three paths.
    if (result == CONFIG_FULL && (!info.pszCartridgeFile1 || !info.pszCartridgeFile2))
        std::abort();
    ReleaseConfigStrings(&info);
    return 0;
}
