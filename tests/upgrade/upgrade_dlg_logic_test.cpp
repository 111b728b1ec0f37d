// The dialogs' decisions without a window: what each load result enables and selects in every
// upload state, radio buttons and modes, the port list's entries, the version texts.
#include "NaturalOrder.h"
#include "PortNames.h"
#include "UpgradeDlgLogic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using Ports = std::vector<std::string>;

constexpr int kUploadStates[] = {STATE_IDLE, STATE_CONNECTED, STATE_UPLOADING, STATE_STAGE_DONE,
                                 STATE_STOPPED};

// Every control of the main dialog in every upload state, for each load result. Whatever the
// sequencer does, the controls keep what the load gave them: "Start Upload" must restart and
// "Cancel Upload" must stop a running sequence, and "Versions ..." stays available.
TEST(UpgradeDlgLogic, EachLoadResultEnablesAndSelectsTheSameInEveryUploadState) {
    struct Case {
        BYTE result;
        std::set<int> disabled;
        BYTE mode;
        int radio;
        BYTE loaded;
    };
    const Case cases[] = {
        {CONFIG_NONE, {IDC_START_UPLOAD, IDC_CANCEL_UPLOAD, IDC_VERSIONS}, MODE_NONE, 0, 0},
        {CONFIG_STI_ONLY,
         {IDC_COMPLETE_UPDATE, IDC_ONLY_CARTRIDGE},
         MODE_STI_ONLY,
         IDC_ONLY_STI,
         1},
        {CONFIG_FULL, {}, MODE_COMPLETE, IDC_COMPLETE_UPDATE, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("load result " + std::to_string(c.result));
        CUpgradeDlgLogic logic;
        logic.SetConfigResult(c.result);
        EXPECT_EQ(logic.ConfigResult(), c.result);
        EXPECT_EQ(logic.ConfigLoaded(), c.loaded);
        EXPECT_EQ(logic.InitialUpdateMode(), c.mode);
        EXPECT_EQ(logic.CheckedRadio(), c.radio);
        // The marked radio button is enabled and stands for the selected mode.
        if (c.radio != 0) {
            EXPECT_TRUE(logic.IsEnabled(c.radio));
            EXPECT_EQ(CUpgradeDlgLogic::ModeOfRadio(c.radio), c.mode);
        }
        for (int state : kUploadStates) {
            for (int id : CUpgradeDlgLogic::kControls) {
                EXPECT_EQ(logic.IsEnabled(id, state), c.disabled.count(id) == 0)
                    << "control " << id << " in state " << state;
            }
            EXPECT_TRUE(logic.IsEnabled(-1, state)) << "static texts";
        }
    }
    // The constructor takes the result as SetConfigResult does; before a load nothing loaded.
    EXPECT_FALSE(CUpgradeDlgLogic().IsEnabled(IDC_START_UPLOAD));
    EXPECT_FALSE(CUpgradeDlgLogic(CONFIG_STI_ONLY).IsEnabled(IDC_ONLY_CARTRIDGE));
}

TEST(UpgradeDlgLogic, RadioButtonsAndModesMapBothWays) {
    struct Case {
        int radio;
        BYTE mode;
    };
    const Case pairs[] = {{IDC_COMPLETE_UPDATE, MODE_COMPLETE},
                          {IDC_ONLY_CARTRIDGE, MODE_CARTRIDGE_ONLY},
                          {IDC_ONLY_STI, MODE_STI_ONLY}};
    for (const Case& c : pairs) {
        EXPECT_EQ(CUpgradeDlgLogic::ModeOfRadio(c.radio), c.mode) << c.radio;
        EXPECT_EQ(CUpgradeDlgLogic::RadioOfMode(c.mode), c.radio) << int{c.mode};
    }
    for (int other : {IDC_START_UPLOAD, IDC_VERSIONS, static_cast<int>(IDCANCEL), 0, -1})
        EXPECT_EQ(CUpgradeDlgLogic::ModeOfRadio(other), MODE_NONE) << other;
    for (BYTE other : {MODE_NONE, BYTE{0}, BYTE{4}})
        EXPECT_EQ(CUpgradeDlgLogic::RadioOfMode(other), 0) << int{other};
}

TEST(UpgradeDlgLogic, PortListHasTheComPortsFirstThenEachOtherPortOnce) {
    const Ports com = {"COM1:", "COM2:", "COM3:", "COM4:"};
    auto withCom = [&](Ports tail) {
        Ports all = com;
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    };
    struct Case {
        const char* what;
        Ports machine;
        Ports expected;
    };
    const Case cases[] = {
        {"no ports", {}, com},
        {"order kept, not sorted",
         {"/dev/ttyUSB1", "/dev/ttyACM0"},
         withCom({"/dev/ttyUSB1", "/dev/ttyACM0"})},
        {"COM names of a listed number, however written",
         {"COM1", "com2:", "COM3:", "Com4", "COM5"},
         withCom({"COM5"})},
        {"repeats and empty names",
         {"COM7:", "", "COM7", "COM7:", "/dev/x", "/dev/x"},
         withCom({"COM7:", "/dev/x"})},
        {"names that only look like COM ports",
         {"COM0", "COM01", "COM1x", "COMA"},
         withCom({"COM0", "COM01", "COM1x", "COMA"})},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CUpgradeDlgLogic::PortEntries(c.machine), c.expected) << c.what;

    // The platform's notion of the same port: here COM1 opens /dev/ttyS0.
    const Ports entries = CUpgradeDlgLogic::PortEntries(
        {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS4"},
        [](const std::string& listed, const std::string& candidate) {
            const unsigned n = sorvel::ComPortNumber(listed);
            return listed == candidate ||
                   (n != 0 && candidate == "/dev/ttyS" + std::to_string(n - 1));
        });
    EXPECT_EQ(entries, withCom({"/dev/ttyS4"}));
}

TEST(UpgradeDlgLogic, WindowsPortNamesBecomeEntriesInNaturalOrder) {
    struct Case {
        Ports reported;
        Ports expected;
    };
    const Case cases[] = {
        {{}, {}},
        {{"COM10", "COM3", "COM2", "COM100", "COM9"},
         {"COM2:", "COM3:", "COM9:", "COM10:", "COM100:"}},
        {{"com5", "COM5", "COM5:", ""}, {"COM5:"}},
        {{"CNCA0", "COM12", "CNCB0", "COM1"}, {"CNCA0", "CNCB0", "COM1:", "COM12:"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CUpgradeDlgLogic::ComPortEntries(c.reported), c.expected);
    // Together: the registry's COM1 and COM3 are the list's own, COM10 comes after COM9.
    EXPECT_EQ(CUpgradeDlgLogic::PortEntries(
                  CUpgradeDlgLogic::ComPortEntries({"COM10", "COM3", "COM9", "COM1"})),
              (Ports{"COM1:", "COM2:", "COM3:", "COM4:", "COM9:", "COM10:"}));
}

TEST(UpgradeDlgLogic, NaturalOrderIsStrictAndComparesNumbersByValue) {
    const std::pair<const char*, const char*> ordered[] = {
        {"COM2", "COM10"}, {"a007b", "a8b"}, {"ttyUSB9", "ttyUSB10"},
        {"a07", "a7"},     {"ab", "abc"},    {"COM9:", "COM10:"},
        {"x1y2", "x1y10"}, {"COM", "COM1"},  {"9", "a"},
    };
    for (const auto& [a, b] : ordered) {
        EXPECT_TRUE(NaturalLess(a, b)) << a << " < " << b;
        EXPECT_FALSE(NaturalLess(b, a)) << b << " < " << a;
    }
    for (const char* same : {"", "same1", "COM10:"})
        EXPECT_FALSE(NaturalLess(same, same)) << same;
}

// A record as the loader leaves it: NUL-terminated blocks from new char[].
struct Record {
    CONFIG_INFO info;
    std::vector<std::vector<char>> blocks;
    char* Block(const std::string& bytes) {
        blocks.emplace_back(bytes.begin(), bytes.end());
        blocks.back().push_back('\0');
        return blocks.back().data();
    }
};

TEST(UpgradeDlgLogic, VersionFieldsShowTheTextsOfTheLoadTopToBottom) {
    Record r;
    r.info.pszSoftwareVersion = r.Block("Sw-1.3.9b");
    r.info.pszHardwareVersion = r.Block("hw Rev C");
    r.info.pszBrevonVersion = r.Block(std::string("Brevon 4.2a\0hidden", 18));
    r.info.pszPellumVersion = r.Block("pellum 7.0");
    std::memcpy(r.info.szCartridgeType, "Ct-x2", 6);
    struct Case {
        BYTE result;
        std::vector<std::string> shown;
    };
    const Case cases[] = {
        {CONFIG_FULL, {"SW-1.3.9B", "HW REV C", "BREVON 4.2A", "PELLUM 7.0", "CT-X2"}},
        // An STI-only load never read the Pellum Mail record, whatever it holds.
        {CONFIG_STI_ONLY, {"SW-1.3.9B", "HW REV C", "BREVON 4.2A", "", "CT-X2"}},
    };
    const int ids[] = {IDC_SOFTWARE_VERSION, IDC_HARDWARE_VERSION, IDC_BREVON_VERSION,
                       IDC_PELLUM_VERSION, IDC_CARTRIDGE_TYPE};
    for (const Case& c : cases) {
        const auto fields = VersionFields(r.info, c.result);
        for (std::size_t i = 0; i < fields.size(); ++i) {
            EXPECT_EQ(fields[i].nID, ids[i]);
            EXPECT_EQ(ShownVersionText(fields[i].text), c.shown[i]) << fields[i].nID;
        }
        EXPECT_EQ(fields[0].text, "Sw-1.3.9b") << "texts are kept as loaded";
    }

    // Missing texts are empty; a cartridge type that fills its six bytes keeps all of them.
    CONFIG_INFO empty;
    std::memcpy(empty.szCartridgeType, "ABCDEF", 6);
    for (const VersionField& field : VersionFields(empty, CONFIG_FULL)) {
        EXPECT_EQ(field.text, field.nID == IDC_CARTRIDGE_TYPE ? "ABCDEF" : "") << field.nID;
    }
}

TEST(UpgradeDlgLogic, ShownTextsUpperCaseOnlyAsciiLetters) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"v1.2-rc3 [beta]_z", "V1.2-RC3 [BETA]_Z"},
        {"\xe9t\xe9", "\xe9T\xe9"},     // Latin-1 bytes kept
        {"caf\xc3\xa9", "CAF\xc3\xa9"}, // UTF-8 sequences kept whole
        {"@`{~", "@`{~"},               // neighbours of the letters
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(ShownVersionText(text), shown) << text;
}

} // namespace
