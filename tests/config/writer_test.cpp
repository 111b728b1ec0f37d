// Building configuration files: the exact bytes of records, and contents that cannot be stored.
#include "ConfigFile.h"
#include "ConfigWriter.h"
#include "TempDir.h"
#include "TestSystem.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sorvel {
namespace {

TEST(ConfigBuilder, RecordsAreTagBigEndianLengthAndValue) {
    ConfigBuilder b;
    b.AddText(TAG_STI_FILE, "a\\b").AddCrc(TAG_STI_FILE_CRC, 0x11223344).Add(TAG_HEADER, {});
    EXPECT_EQ(b.Body(), (std::vector<BYTE>{6, 0, 4, 'a', '\\', 'b', 0,      //
                                           9, 0, 4, 0x44, 0x33, 0x22, 0x11, //
                                           0xAD, 0, 0}));
    const std::vector<BYTE> big = ConfigBuilder().Add(1, std::vector<BYTE>(300, 'x')).Body();
    EXPECT_EQ(big.at(1), 0x01); // 300, most significant byte first
    EXPECT_EQ(big.at(2), 0x2C);
}

TEST(BuildConfiguration, RefusesWhatCannotBeStoredOrChecked) {
    test::TempDir dir;
    dir.Write("sti.urt", std::string("data"));
    struct Case {
        const char* name;
        ConfigContents contents;
        std::string error;
    };
    ConfigContents oneCartridge;
    oneCartridge.stiPath = "sti.urt";
    oneCartridge.cartridge1Path = "sti.urt";
    ConfigContents longType;
    longType.stiPath = "sti.urt";
    longType.cartridgeType = "SIXSIX";
    ConfigContents missing;
    missing.stiPath = "files\\missing.urt";
    ConfigContents hugeText;
    hugeText.stiPath = "sti.urt";
    hugeText.softwareVersion = std::string(kMaxRecordValueBytes, 'v');
    const Case cases[] = {
        {"one cartridge", oneCartridge, "a full configuration names both cartridge files"},
        {"long type", longType, "the cartridge type holds at most 5 characters"},
        {"missing file", missing,
         "cannot read '" + (dir.Path() / "files" / "missing.urt").string() +
             "': " + test::NoSuchFolderText()},
        {"huge text", hugeText,
         "the software version is longer than a record can hold (65534 characters)"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(BuildConfiguration(c.contents, dir.Path(), &error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
    // The longest text that fits is accepted.
    hugeText.softwareVersion = std::string(kMaxRecordValueBytes - 1, 'v');
    std::string error;
    EXPECT_TRUE(BuildConfiguration(hugeText, dir.Path(), &error)) << error;
}

TEST(WriteConfiguration, ReportsAFolderItCannotCreate) {
    test::TempDir dir;
    dir.Write("sti.urt", std::string("data"));
    dir.Write("blocker/Ressources", std::string("a file where a folder should be"));
    ConfigContents contents;
    contents.stiPath = "../sti.urt";
    std::string error;
    EXPECT_FALSE(WriteConfiguration(dir.Path() / "blocker", contents, &error));
    EXPECT_NE(error.find("cannot "), std::string::npos) << error;
}

} // namespace
} // namespace sorvel
