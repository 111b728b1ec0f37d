// The version blocks of the shipped Windows binaries, read as Explorer and Windows Installer read
// them: GetFileVersionInfo, the fixed part, then the strings of the block that the file's own
// translation list names.
#include "SorvelVersion.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <windows.h>

namespace {

struct Shipped {
    const char* name;
    DWORD fileType;
};

// Every program and DLL of the zip and the installer.
const Shipped kShipped[] = {
    {"Sorvel_User.exe", VFT_APP},     {"sorvel-cli.exe", VFT_APP},
    {"sorvel-config.exe", VFT_APP},   {"sorvel-record.exe", VFT_APP},
    {"sorvel-station.exe", VFT_APP},  {"Tarvik_Dll.dll", VFT_DLL},
    {"sorvel_platform.dll", VFT_DLL},
};

// The folder of this test program, where the build puts every binary.
std::string BinaryFolder() {
    char path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, n);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

class VersionBlock {
public:
    explicit VersionBlock(const std::string& path) {
        DWORD ignored = 0;
        const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &ignored);
        if (size == 0)
            return;
        m_data.resize(size);
        if (!::GetFileVersionInfoA(path.c_str(), 0, size, m_data.data()))
            m_data.clear();
    }

    bool Present() const { return !m_data.empty(); }

    const VS_FIXEDFILEINFO* Fixed() {
        void* value = nullptr;
        UINT length = 0;
        if (!::VerQueryValueA(m_data.data(), "\\", &value, &length) ||
            length < sizeof(VS_FIXEDFILEINFO))
            return nullptr;
        return static_cast<const VS_FIXEDFILEINFO*>(value);
    }

    // The string named key of the first language the file lists; "(missing)" when there is none.
    std::string String(const char* key) {
        struct Translation {
            WORD language;
            WORD codePage;
        };
        void* value = nullptr;
        UINT length = 0;
        if (!::VerQueryValueA(m_data.data(), "\\VarFileInfo\\Translation", &value, &length) ||
            length < sizeof(Translation))
            return "(missing)";
        const auto* translation = static_cast<const Translation*>(value);
        char query[64];
        snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translation->language,
                 translation->codePage, key);
        if (!::VerQueryValueA(m_data.data(), query, &value, &length) || length == 0)
            return "(missing)";
        return static_cast<const char*>(value);
    }

private:
    std::vector<char> m_data;
};

std::string VersionText(DWORD high, DWORD low) {
    return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
           std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
}

TEST(VersionInfoTest, EveryShippedBinaryCarriesTheProjectsVersionAsNumbers) {
    const std::string expected = std::string(sorvel::kVersion) + ".0";
    for (const Shipped& file : kShipped) {
        SCOPED_TRACE(file.name);
        VersionBlock block(BinaryFolder() + file.name);
        ASSERT_TRUE(block.Present()) << "no version block";
        const VS_FIXEDFILEINFO* fixed = block.Fixed();
        ASSERT_NE(fixed, nullptr);
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(VersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS), expected);
        EXPECT_EQ(VersionText(fixed->dwProductVersionMS, fixed->dwProductVersionLS), expected);
        EXPECT_EQ(fixed->dwFileType, file.fileType);
    }
}

TEST(VersionInfoTest, EveryShippedBinaryNamesItselfItsProductAndItsPublisher) {
    for (const Shipped& file : kShipped) {
        SCOPED_TRACE(file.name);
        VersionBlock block(BinaryFolder() + file.name);
        ASSERT_TRUE(block.Present()) << "no version block";
        EXPECT_EQ(block.String("FileVersion"), sorvel::kVersion);
        EXPECT_EQ(block.String("ProductVersion"), sorvel::kVersion);
        EXPECT_EQ(block.String("ProductName"), "Sorvel");
        // Renamed copies still tell what they were shipped as.
        EXPECT_EQ(block.String("OriginalFilename"), file.name);
        const std::string name = file.name;
        EXPECT_EQ(block.String("InternalName"), name.substr(0, name.rfind('.')));
        EXPECT_NE(block.String("FileDescription"), "(missing)");
        EXPECT_NE(block.String("CompanyName"), "(missing)");
    }
}

} // namespace
