// The configuration loader on real files in a scratch folder: what it fills in, which messages
// it shows in which order, and how it copes with damaged and hostile files.
#include "ConfigFile.h"
#include "ConfigWriter.h"
#include "Crc32.h"
#include "Program.h"
#include "RecordingPresenter.h"
#include "TempDir.h"
#include "TestSystem.h"

#include <gtest/gtest.h>

#include <functional>

#include <string>
#include <vector>

namespace sorvel {
namespace {

const std::string kNotFound = "Error 0x3c00 : Configuration File not found !";
const std::string kUnknownFile = "Error 0x1c00 : Unknown configuration file";
const std::string kTagLength = "Error 0x2c01 : Unknown configuration Tag";
const std::string kTagValue = "Error 0x2c02 : Unknown configuration Tag";
const std::string kFileNotFound = "Error 0x3c01 : File not found !";
const std::string kBadSti = "Error 0x1c01 : Unknown uart file";
const std::string kBadCart1 = "Error 0x1c02 : Unknown uart file";
const std::string kBadCart2 = "Error 0x1c03 : Unknown uart file";

using Texts = std::vector<std::string>;

std::vector<BYTE> Bytes(const std::string& text) {
    return std::vector<BYTE>(text.begin(), text.end());
}

DWORD CrcOf(const std::vector<BYTE>& bytes) {
    return Crc32(bytes.data(), bytes.size());
}

class Loader : public ::testing::Test {
protected:
    Loader() {
        dir.Write("files/sti.urt", sti);
        dir.Write("files/cart1.urt", cart1);
        dir.Write("files/cart2.urt", cart2);
    }
    ~Loader() override { ReleaseConfigStrings(&info); }

    ConfigContents FullContents() const {
        ConfigContents contents;
        contents.stiPath = "files\\sti.urt";
        contents.cartridge1Path = "files\\cart1.urt";
        contents.cartridge2Path = "files\\cart2.urt";
        contents.softwareVersion = "SW 1.3.9";
        contents.hardwareVersion = "HW 2";
        contents.brevonVersion = "BR 4.1";
        contents.pellumVersion = "PM 7";
        contents.cartridgeType = "CT-5";
        return contents;
    }
    ConfigContents StiOnlyContents() const {
        ConfigContents contents = FullContents();
        contents.cartridge1Path.reset();
        contents.cartridge2Path.reset();
        contents.pellumVersion.reset();
        return contents;
    }
    void Write(const ConfigContents& contents) {
        std::string error;
        ASSERT_TRUE(WriteConfiguration(dir.Path(), contents, &error)) << error;
    }
    void WriteFile(const std::vector<BYTE>& bytes) {
        dir.Write("Ressources/Configuration.zkf", bytes);
    }
    // Loads from the folder; Messages() then holds this load's messages only.
    BYTE Load() {
        presenter.Clear();
        return CConfigFile(dir.Path().string()).Load(&info);
    }
    // The messages' first lines: their texts exactly as the program shows them. The lines
    // below, which name the file and the reason, are checked on their own (Details).
    Texts Messages() const {
        Texts first;
        for (const std::string& text : presenter.Texts())
            first.push_back(text.substr(0, text.find('\n')));
        return first;
    }
    Texts Details() const {
        Texts details;
        for (const std::string& text : presenter.Texts())
            details.push_back(text.find('\n') == std::string::npos
                                  ? std::string()
                                  : text.substr(text.find('\n') + 1));
        return details;
    }

    // The records of a full configuration, without the cartridge records: tests add their own.
    ConfigBuilder StiRecords() const {
        ConfigBuilder b;
        b.Add(TAG_HEADER, {})
            .AddText(TAG_SOFTWARE_VERSION, "SW")
            .AddText(TAG_STI_FILE, "files/sti.urt")
            .AddCrc(TAG_STI_FILE_CRC, CrcOf(sti));
        return b;
    }

    test::TempDir dir;
    test::RecordingPresenter presenter;
    CONFIG_INFO info;
    std::vector<BYTE> sti = Bytes("STI upload file\r\n");
    std::vector<BYTE> cart1 = Bytes("first cartridge file\r\n");
    std::vector<BYTE> cart2 = Bytes("second cartridge file\r\n");
};

TEST_F(Loader, FullConfigurationFillsEveryField) {
    Write(FullContents());
    EXPECT_EQ(Load(), CONFIG_FULL);
    EXPECT_EQ(Messages(), Texts{});
    EXPECT_STREQ(info.pszSoftwareVersion, "SW 1.3.9");
    EXPECT_EQ(info.nSoftwareVersionLen, 9); // the NUL counts
    EXPECT_STREQ(info.pszHardwareVersion, "HW 2");
    EXPECT_STREQ(info.pszBrevonVersion, "BR 4.1");
    EXPECT_STREQ(info.pszPellumVersion, "PM 7");
    EXPECT_EQ(info.nPellumVersionLen, 5);
    EXPECT_STREQ(info.pszStiFile, "files\\sti.urt"); // stored as given
    EXPECT_EQ(info.nStiFileLen, 14);
    EXPECT_STREQ(info.pszCartridgeFile1, "files\\cart1.urt");
    EXPECT_EQ(info.nCartridgeFile1Len, 16);
    EXPECT_STREQ(info.pszCartridgeFile2, "files\\cart2.urt");
    EXPECT_STREQ(info.szCartridgeType, "CT-5");
}

TEST_F(Loader, WithoutCartridgeFilesTheLoadIsStiOnly) {
    // No tag 7 at all.
    Write(StiOnlyContents());
    EXPECT_EQ(Load(), CONFIG_STI_ONLY);
    EXPECT_EQ(Messages(), Texts{});
    EXPECT_STREQ(info.pszStiFile, "files\\sti.urt");
    EXPECT_EQ(info.pszCartridgeFile1, nullptr);
    EXPECT_EQ(info.pszCartridgeFile2, nullptr);
    EXPECT_EQ(info.pszPellumVersion, nullptr);
    EXPECT_EQ(info.nCartridgeFile1Len, 0);

    // Tag 7 of length 0: the other cartridge records are never read, and their files, which do
    // not exist and carry wrong checksums, are never opened.
    WriteFile(StiRecords()
                  .Add(TAG_CARTRIDGE_FILE1, {})
                  .AddText(TAG_CARTRIDGE_FILE2, "missing2")
                  .AddText(TAG_PELLUM_VERSION, "PM")
                  .AddCrc(TAG_CARTRIDGE_FILE1_CRC, 1)
                  .AddCrc(TAG_CARTRIDGE_FILE2_CRC, 2)
                  .Build());
    EXPECT_EQ(Load(), CONFIG_STI_ONLY);
    EXPECT_EQ(Messages(), Texts{});
    EXPECT_EQ(info.pszCartridgeFile2, nullptr);
}

TEST_F(Loader, EachFileLevelFailureShowsOneMessage) {
    struct Case {
        const char* name;
        void (*change)(ConfigContents*);
        Texts expected;
    };
    const Case cases[] = {
        {"STI file missing",
         [](ConfigContents* s) {
             s->stiPath = "files\\none";
             s->stiCrc = 0;
         },
         {kFileNotFound}},
        {"STI checksum", [](ConfigContents* s) { s->stiCrc = 0x1234; }, {kBadSti}},
        {"cartridge 1 missing",
         [](ConfigContents* s) {
             s->cartridge1Path = "gone1";
             s->cartridge1Crc = 0;
         },
         {kFileNotFound}},
        {"cartridge 1 checksum", [](ConfigContents* s) { s->cartridge1Crc = 5; }, {kBadCart1}},
        {"cartridge 2 missing",
         [](ConfigContents* s) {
             s->cartridge2Path = "gone2";
             s->cartridge2Crc = 0;
         },
         {kFileNotFound}},
        {"cartridge 2 checksum", [](ConfigContents* s) { s->cartridge2Crc = 5; }, {kBadCart2}},
        // The first failing file ends the load: cartridge 2 is wrong too but never examined.
        {"cartridge 1 and 2 wrong",
         [](ConfigContents* s) {
             s->cartridge1Crc = 5;
             s->cartridge2Path = "gone2";
             s->cartridge2Crc = 0;
         },
         {kBadCart1}},
        {"STI file is a folder",
         [](ConfigContents* s) {
             s->stiPath = "files";
             s->stiCrc = 0;
         },
         {kFileNotFound}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigContents contents = FullContents();
        c.change(&contents);
        Write(contents);
        EXPECT_EQ(Load(), CONFIG_NONE);
        EXPECT_EQ(Messages(), c.expected);
    }
}

TEST_F(Loader, MessagesAreCaptionedWithTheApplicationTitle) {
    EXPECT_EQ(Load(), CONFIG_NONE);
    auto messages = presenter.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text.substr(0, messages[0].text.find('\n')), kNotFound);
    EXPECT_EQ(messages[0].caption, ApplicationTitle());
    EXPECT_EQ(messages[0].flags, MB_OK);
}

TEST_F(Loader, ConfigurationFileThatCannotBeTrusted) {
    Write(FullContents());
    const auto good = test::ReadFileBytes(dir.Path() / "Ressources/Configuration.zkf");
    // Any one bit of the trailer, or of the body, fails before any text is allocated.
    for (std::size_t byte : {std::size_t{0}, good.size() / 2, good.size() - 4, good.size() - 1}) {
        for (int bit = 0; bit < 8; bit += 3) {
            auto damaged = good;
            damaged[byte] ^= static_cast<BYTE>(1 << bit);
            WriteFile(damaged);
            EXPECT_EQ(Load(), CONFIG_NONE);
            EXPECT_EQ(Messages(), Texts{kUnknownFile}) << "byte " << byte << " bit " << bit;
            EXPECT_EQ(info.pszSoftwareVersion, nullptr);
            EXPECT_EQ(info.pszStiFile, nullptr);
        }
    }
    // Too short to hold a trailer.
    for (std::size_t size = 0; size < 4; ++size) {
        WriteFile(std::vector<BYTE>(size, 0));
        EXPECT_EQ(Load(), CONFIG_NONE);
        EXPECT_EQ(Messages(), Texts{kUnknownFile}) << size << " bytes";
    }
    // A folder where the file should be does not open as a file.
    std::filesystem::remove(dir.Path() / "Ressources/Configuration.zkf");
    std::filesystem::create_directory(dir.Path() / "Ressources/Configuration.zkf");
    EXPECT_EQ(Load(), CONFIG_NONE);
    EXPECT_EQ(Messages(), Texts{kNotFound});
}

TEST_F(Loader, FourZeroBytesAreAnEmptyButValidConfiguration) {
    WriteFile({0, 0, 0, 0});
    EXPECT_EQ(Load(), CONFIG_NONE);
    EXPECT_EQ(Messages(), Texts{kFileNotFound});
    // Every text slot reads as empty text.
    EXPECT_STREQ(info.pszSoftwareVersion, "");
    EXPECT_STREQ(info.pszStiFile, "");
    EXPECT_STREQ(info.pszHardwareVersion, "");
    EXPECT_STREQ(info.pszBrevonVersion, "");
    EXPECT_STREQ(info.szCartridgeType, "");
}

TEST_F(Loader, UnrecognisedFirstRecordStopsEveryLookup) {
    // A zero byte in a tag position is as unrecognised as any other byte.
    for (BYTE bad : {BYTE{0}, BYTE{12}, BYTE{0xAC}, BYTE{0xFF}}) {
        SCOPED_TRACE(static_cast<int>(bad));
        ConfigBuilder b;
        b.Add(bad, Bytes("x")).AddRaw(StiRecords().Body());
        WriteFile(b.Build());
        EXPECT_EQ(Load(), CONFIG_NONE);
        // Lengths of 0xAD, 1, 6, 2, 3, 7 and values of 1, 6, 2, 3, 5, 9, in lookup order.
        EXPECT_EQ(Messages(), (Texts{kTagLength, kTagLength, kTagValue, kTagLength, kTagValue,
                                     kTagLength, kTagValue, kTagLength, kTagValue, kTagLength,
                                     kTagValue, kTagValue, kFileNotFound}));
    }
}

TEST_F(Loader, UnrecognisedRecordAfterTheLookedUpOnesIsNeverReached) {
    WriteFile(StiRecords()
                  .AddText(TAG_HARDWARE_VERSION, "HW")
                  .AddText(TAG_BREVON_VERSION, "BR")
                  .Add(TAG_CARTRIDGE_FILE1, {})
                  .AddText(TAG_CARTRIDGE_TYPE, "T")
                  .Add(0x42, Bytes("never read"))
                  .Build());
    EXPECT_EQ(Load(), CONFIG_STI_ONLY);
    EXPECT_EQ(Messages(), Texts{});
    EXPECT_STREQ(info.pszBrevonVersion, "BR");
    EXPECT_STREQ(info.szCartridgeType, "T");
}

TEST_F(Loader, ByteOrderOfLengthsAndChecksums) {
    // A length stored as 0x01 0x02 is 258.
    std::vector<BYTE> longText(257, 'v');
    longText.push_back(0);
    // An STI file whose CRC-32 has a zero in its third byte, which a copy as text would lose.
    std::vector<BYTE> forged = Bytes("STI with a chosen checksum..");
    for (unsigned n = 0; (CrcOf(forged) & 0x00FF0000) != 0; ++n) {
        forged.end()[-2] = static_cast<BYTE>(n);
        forged.end()[-1] = static_cast<BYTE>(n >> 8);
    }
    const DWORD forgedCrc = CrcOf(forged);
    dir.Write("forged.urt", forged);
    ConfigBuilder b;
    b.AddRaw({TAG_SOFTWARE_VERSION, 0x01, 0x02})
        .AddRaw(longText)
        .AddText(TAG_STI_FILE, "forged.urt")
        .Add(TAG_STI_FILE_CRC, {static_cast<BYTE>(forgedCrc), static_cast<BYTE>(forgedCrc >> 8), 0,
                                static_cast<BYTE>(forgedCrc >> 24)});
    WriteFile(b.Build());
    EXPECT_EQ(Load(), CONFIG_STI_ONLY);
    EXPECT_EQ(Messages(), Texts{});
    EXPECT_EQ(info.nSoftwareVersionLen, 258);
    EXPECT_EQ(std::string(info.pszSoftwareVersion), std::string(257, 'v'));

    // The trailer is the body's CRC-32, least significant byte first.
    EXPECT_EQ(
        WithTrailer(Bytes("123456789")),
        (std::vector<BYTE>{'1', '2', '3', '4', '5', '6', '7', '8', '9', 0x88, 0x2D, 0xFD, 0x2D}));
}

TEST_F(Loader, FirstOfTwoRecordsCountsAndTextsAlwaysEndInNul) {
    WriteFile(StiRecords()
                  .AddText(TAG_SOFTWARE_VERSION, "second")
                  .Add(TAG_HARDWARE_VERSION, Bytes("no NUL")) // stored without its NUL
                  .AddText(TAG_CARTRIDGE_TYPE, "LONGTYPE")    // more than 6 bytes
                  .Build());
    EXPECT_EQ(Load(), CONFIG_STI_ONLY);
    EXPECT_STREQ(info.pszSoftwareVersion, "SW");
    EXPECT_EQ(info.nHardwareVersionLen, 6);
    EXPECT_STREQ(info.pszHardwareVersion, "no NUL");
    EXPECT_STREQ(info.pszBrevonVersion, ""); // absent
    EXPECT_EQ(info.nBrevonVersionLen, 0);
    EXPECT_STREQ(info.szCartridgeType, "LONGT");

    // Six bytes without a NUL keep five characters too; an exact fit is kept whole.
    WriteFile(StiRecords().Add(TAG_CARTRIDGE_TYPE, Bytes("ABCDEF")).Build());
    EXPECT_EQ(Load(), CONFIG_STI_ONLY);
    EXPECT_STREQ(info.szCartridgeType, "ABCDE");
    WriteFile(StiRecords().AddText(TAG_CARTRIDGE_TYPE, "VWXYZ").Build());
    EXPECT_EQ(Load(), CONFIG_STI_ONLY);
    EXPECT_STREQ(info.szCartridgeType, "VWXYZ");
}

TEST_F(Loader, ExpectedChecksumsWhenRecordsAreMissing) {
    // Without tag 9 the STI file must have the CRC-32 0, which an empty file has.
    dir.Write("empty.urt", std::vector<BYTE>{});
    WriteFile(ConfigBuilder().AddText(TAG_STI_FILE, "empty.urt").Build());
    EXPECT_EQ(Load(), CONFIG_STI_ONLY);
    WriteFile(ConfigBuilder().AddText(TAG_STI_FILE, "files/sti.urt").Build());
    EXPECT_EQ(Load(), CONFIG_NONE);
    EXPECT_EQ(Messages(), Texts{kBadSti});

    // Without tags 10 and 11 each cartridge file is expected to have the previous file's CRC.
    dir.Write("same1.urt", sti);
    dir.Write("same2.urt", sti);
    WriteFile(StiRecords()
                  .AddText(TAG_CARTRIDGE_FILE1, "same1.urt")
                  .AddText(TAG_CARTRIDGE_FILE2, "same2.urt")
                  .Build());
    EXPECT_EQ(Load(), CONFIG_FULL);
    EXPECT_EQ(Messages(), Texts{});
    WriteFile(StiRecords()
                  .AddText(TAG_CARTRIDGE_FILE1, "files/cart1.urt")
                  .AddText(TAG_CARTRIDGE_FILE2, "files/cart2.urt")
                  .AddCrc(TAG_CARTRIDGE_FILE1_CRC, CrcOf(cart1))
                  .Build());
    EXPECT_EQ(Load(), CONFIG_NONE);
    EXPECT_EQ(Messages(), Texts{kBadCart2});
}

TEST_F(Loader, ChecksumRecordsOfTheWrongLengthAreRefused) {
    // Neither a short nor a long checksum is taken: the file they belong to does not verify,
    // even where the bytes that would fit match.
    for (std::size_t length : {0u, 2u, 3u, 5u, 8u}) {
        const DWORD c = CrcOf(sti);
        std::vector<BYTE> value = {static_cast<BYTE>(c),
                                   static_cast<BYTE>(c >> 8),
                                   static_cast<BYTE>(c >> 16),
                                   static_cast<BYTE>(c >> 24),
                                   9,
                                   9,
                                   9,
                                   9};
        value.resize(length);
        WriteFile(ConfigBuilder()
                      .AddText(TAG_STI_FILE, "files/sti.urt")
                      .Add(TAG_STI_FILE_CRC, value)
                      .Build());
        EXPECT_EQ(Load(), CONFIG_NONE) << length;
        EXPECT_EQ(Messages(), Texts{kBadSti}) << length;
    }
}

TEST_F(Loader, RecordsRunningPastTheBody) {
    // The STI path's record claims more bytes than the body holds (its value would run into the
    // trailer): the lookups for it say so, the others end their scan there quietly.
    ConfigBuilder b;
    b.AddText(TAG_SOFTWARE_VERSION, "SW").AddRaw({TAG_STI_FILE, 0x00, 0x20}).AddRaw(Bytes("ab"));
    WriteFile(b.Build());
    EXPECT_EQ(Load(), CONFIG_NONE);
    EXPECT_EQ(Messages(), (Texts{kTagLength, kTagValue, kFileNotFound}));
    EXPECT_STREQ(info.pszSoftwareVersion, "SW");
    EXPECT_STREQ(info.pszStiFile, "");

    // Every prefix of a full configuration, given a trailer that matches: no read outside the
    // image (the sanitizers watch), no result better than the records that survive allow.
    Write(FullContents());
    auto whole = test::ReadFileBytes(dir.Path() / "Ressources/Configuration.zkf");
    std::vector<BYTE> body(whole.begin(), whole.end() - 4);
    for (std::size_t cut = 0; cut < body.size(); ++cut) {
        WriteFile(WithTrailer(
            std::vector<BYTE>(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(cut))));
        EXPECT_NE(Load(), CONFIG_FULL) << "cut at " << cut;
    }
}

TEST_F(Loader, PathsResolveAgainstTheBaseFolder) {
    // Backslashes, forward slashes and absolute paths all reach the same file.
    for (const std::string& path :
         {std::string("files\\sti.urt"), std::string(".\\files\\sti.urt"),
          std::string("files/sti.urt"), (dir.Path() / "files/sti.urt").string()}) {
        ConfigContents contents = StiOnlyContents();
        contents.stiPath = path;
        Write(contents);
        EXPECT_EQ(Load(), CONFIG_STI_ONLY) << path;
        EXPECT_EQ(Messages(), Texts{}) << path;
        EXPECT_EQ(std::string(info.pszStiFile), path);
    }
    // The same configuration seen from another folder has neither itself nor its files.
    test::TempDir other;
    CONFIG_INFO elsewhere;
    presenter.Clear();
    EXPECT_EQ(CConfigFile(other.Path().string()).Load(&elsewhere), CONFIG_NONE);
    EXPECT_EQ(Messages(), Texts{kNotFound});
    ReleaseConfigStrings(&elsewhere);
}

TEST_F(Loader, ReloadingReleasesTheEarlierTextsAndStartsClean) {
    Write(FullContents());
    ASSERT_EQ(Load(), CONFIG_FULL);
    // Loading again into the same record neither leaks (the leak checker watches) nor keeps
    // texts from the earlier load.
    WriteFile(ConfigBuilder().AddText(TAG_STI_FILE, "files/sti.urt").Build());
    EXPECT_EQ(Load(), CONFIG_NONE);
    EXPECT_EQ(info.pszCartridgeFile1, nullptr);
    EXPECT_EQ(info.pszPellumVersion, nullptr);
    EXPECT_STREQ(info.szCartridgeType, "");
    ReleaseConfigStrings(&info);
    ReleaseConfigStrings(&info); // a released record can be released again
    EXPECT_EQ(info.pszStiFile, nullptr);
    EXPECT_EQ(info.nStiFileLen, 0);
}

TEST_F(Loader, CopyIsDeep) {
    Write(FullContents());
    ASSERT_EQ(Load(), CONFIG_FULL);
    CONFIG_INFO copy;
    CopyConfigInfo(info, &copy);
    EXPECT_NE(copy.pszStiFile, info.pszStiFile);
    EXPECT_STREQ(copy.pszStiFile, info.pszStiFile);
    EXPECT_STREQ(copy.pszCartridgeFile2, info.pszCartridgeFile2);
    EXPECT_STREQ(copy.szCartridgeType, "CT-5");
    ReleaseConfigStrings(&info);
    EXPECT_STREQ(copy.pszPellumVersion, "PM 7");
    ReleaseConfigStrings(&copy);
}

// Below its exact text, each message names the file as the program names it, and why.
TEST_F(Loader, EachMessageNamesTheFileAndTheReasonOnItsSecondLine) {
    struct Case {
        const char* name;
        std::function<void()> damage;
        std::string detail;
    };
    // A configuration that does not open names the folder it was looked for in.
    const std::string lookedIn =
        "\nlooked in " + std::filesystem::path(dir.Path()).make_preferred().string();
    const std::vector<Case> cases = {
        {"no configuration",
         [&] { std::filesystem::remove(dir.Path() / "Ressources/Configuration.zkf"); },
         std::string(".\\Ressources\\Configuration.zkf: ") + test::NoSuchFileText() + lookedIn},
        {"a folder in its place",
         [&] {
             std::filesystem::remove(dir.Path() / "Ressources/Configuration.zkf");
             std::filesystem::create_directory(dir.Path() / "Ressources/Configuration.zkf");
         },
         ".\\Ressources\\Configuration.zkf: Is a directory" + lookedIn},
        {"STI file missing", [&] { std::filesystem::remove(dir.Path() / "files/sti.urt"); },
         std::string("files\\sti.urt: ") + test::NoSuchFileText()},
        {"cartridge 1 changed", [&] { dir.Write("files/cart1.urt", std::string("changed")); },
         "files\\cart1.urt: does not match the configuration's CRC-32"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir.Path() / "Ressources");
        dir.Write("files/sti.urt", sti);
        dir.Write("files/cart1.urt", cart1);
        Write(FullContents());
        c.damage();
        EXPECT_EQ(Load(), CONFIG_NONE);
        ASSERT_EQ(Details().size(), 1u);
        EXPECT_EQ(Details().front(), c.detail);
    }
}

TEST_F(Loader, RecheckFindsUploadFilesChangedSinceTheLoad) {
    enum Change { None, EditOneByte, Remove };
    struct Case {
        BYTE fileTag;
        const char* configured; // the rechecked file's path as the configuration names it
        const char* changed;    // the file changed after the load
        Change change;
        std::string message; // "" when the file still verifies
        std::string reason;
    };
    const Case cases[] = {
        {TAG_STI_FILE, "files\\sti.urt", "files/sti.urt", None, "", ""},
        {TAG_CARTRIDGE_FILE1, "files\\cart1.urt", "files/sti.urt", EditOneByte, "", ""},
        {TAG_CARTRIDGE_FILE2, "files\\cart2.urt", "files/cart2.urt", EditOneByte, kBadCart2,
         "does not match"},
        {TAG_CARTRIDGE_FILE2, "files\\cart2.urt", "files/cart2.urt", Remove, kFileNotFound,
         test::NoSuchFileText()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configured + std::string(" after change ") + std::to_string(c.change));
        // Files long enough to be cut, each with a checksum of its own.
        std::vector<BYTE> large(400);
        int seed = 0;
        for (const char* name : {"files/sti.urt", "files/cart1.urt", "files/cart2.urt"}) {
            ++seed;
            for (std::size_t i = 0; i < large.size(); ++i)
                large[i] = static_cast<BYTE>(i * 7 + static_cast<std::size_t>(seed));
            dir.Write(name, large);
        }
        Write(FullContents());
        ASSERT_EQ(Load(), CONFIG_FULL);
        CONFIG_INFO copy; // the checksums travel with a copy
        CopyConfigInfo(info, &copy);
        const auto changed = dir.Path() / c.changed;
        if (c.change == EditOneByte) {
            auto bytes = test::ReadFileBytes(changed);
            bytes[200] ^= 1;
            dir.Write(c.changed, bytes);
        }
        if (c.change == Remove)
            std::filesystem::remove(changed);
        std::string message = "stale", detail = "stale";
        EXPECT_EQ(RecheckUploadFile(copy, c.fileTag, dir.Path().string(), &message, &detail),
                  c.message.empty());
        EXPECT_EQ(message, c.message);
        if (c.message.empty()) {
            EXPECT_EQ(detail, "");
        } else {
            EXPECT_EQ(detail.rfind(c.configured + std::string(": "), 0), 0u) << detail;
            EXPECT_NE(detail.find(c.reason), std::string::npos) << detail;
        }
        EXPECT_EQ(Messages(), Texts{}); // nothing shown
        ReleaseConfigStrings(&copy);
    }
}

TEST_F(Loader, LookupsOutsideALoadFindNothing) {
    CConfigFile reader(dir.Path().string());
    WORD length = 77;
    reader.GetTagLength(TAG_STI_FILE, &length);
    EXPECT_EQ(length, 0);
    char untouched[4] = {'a', 'b', 'c', 0};
    EXPECT_EQ(reader.GetTagValue(TAG_STI_FILE, untouched, sizeof untouched), 0);
    EXPECT_STREQ(untouched, "abc");
    EXPECT_EQ(Messages(), Texts{});
}

TEST_F(Loader, LoadsFromAnImageInMemory) {
    auto image = StiRecords().Build();
    CConfigFile reader(dir.Path().string());
    EXPECT_EQ(reader.LoadFromImage(image.data(), image.size(), &info), CONFIG_STI_ONLY);
    EXPECT_EQ(reader.LoadFromImage(image.data(), 3, &info), CONFIG_NONE);
    EXPECT_EQ(Messages(), Texts{kUnknownFile});
}

} // namespace
} // namespace sorvel
