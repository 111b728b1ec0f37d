// The dialogs' decisions without a window: what each load result enables and selects in every
// upload state, radio buttons and modes, the port list's entries, the version texts.
#include "NaturalOrder.h"
#include "PortNames.h"
#include "TempDir.h"
#include "UpgradeDlgLogic.h"
#include "UpgradeStatus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

using Ports = std::vector<std::string>;

constexpr int kUploadStates[] = {STATE_IDLE, STATE_CONNECTED, STATE_UPLOADING, STATE_STAGE_DONE,
                                 STATE_STOPPED};

// Every control of the main dialog in every upload state, for each load result: the load
// disables what it cannot serve; a running sequence (connecting, sending, between files) also
// disables "Start Upload", the port field and the mode buttons; "Cancel Upload" acts only while
// a file is sent or the sequence waits between files.
TEST(UpgradeDlgLogic, EachLoadResultAndUploadStateEnableTheirControls) {
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
            const bool runs =
                state == STATE_CONNECTED || state == STATE_UPLOADING || state == STATE_STAGE_DONE;
            EXPECT_EQ(CUpgradeDlgLogic::SequenceRuns(state), runs);
            std::set<int> disabled = c.disabled;
            if (runs)
                disabled.insert({IDC_START_UPLOAD, IDC_PORT_COMBO, IDC_COMPLETE_UPDATE,
                                 IDC_ONLY_CARTRIDGE, IDC_ONLY_STI});
            if (state != STATE_UPLOADING && state != STATE_STAGE_DONE)
                disabled.insert(IDC_CANCEL_UPLOAD);
            for (int id : CUpgradeDlgLogic::kControls) {
                EXPECT_EQ(logic.IsEnabled(id, state), disabled.count(id) == 0)
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

namespace upgrade_folder {

// Where a dialog program's upgrade comes from: each case sets up the folders (a = the start
// folder, b = the remembered one, c = given on the command line or chosen), then loads through
// the chooser's answers. A folder "holds" an upgrade when its configuration file exists.
TEST(UpgradeDlgLogic, TheProgramFindsItsUpgradeFolder) {
    struct Case {
        const char* name;
        std::set<char> holding;           // folders with a configuration
        char commandLine;                 // 0: none
        char remembered;                  // 0: none
        std::vector<char> chooserAnswers; // 0: cancelled
        char firstTried;
        std::vector<char> loaded; // folders loaded, in order
        char rememberedAfter;     // 0: nothing remembered
    };
    const Case cases[] = {
        {"start folder holds it", {'a', 'b'}, 0, 'b', {}, 'a', {'a'}, 'a'},
        {"remembered folder next", {'b'}, 0, 'b', {}, 'b', {'b'}, 'b'},
        {"remembered folder gone", {}, 0, 'b', {0}, 'a', {'a'}, 0},
        {"command line wins", {'a', 'b', 'c'}, 'c', 'b', {}, 'c', {'c'}, 'c'},
        {"chooser answers", {'c'}, 0, 0, {'c'}, 'a', {'a', 'c'}, 'c'},
        {"chooser asked again", {'c'}, 0, 0, {'b', 'c'}, 'a', {'a', 'b', 'c'}, 'c'},
        {"chooser cancelled", {}, 'c', 0, {0}, 'c', {'c'}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sorvel::test::TempDir root;
        auto folder = [&](char f) { return f ? (root.Path() / std::string(1, f)).string() : ""; };
        for (char f : {'a', 'b', 'c'}) {
            std::filesystem::create_directories(folder(f));
            if (c.holding.count(f))
                root.Write(std::string(1, f) + "/Ressources/Configuration.zkf", "x");
        }
        const std::string first =
            FirstUpgradeFolder(folder(c.commandLine), folder('a'), folder(c.remembered));
        EXPECT_EQ(first, folder(c.firstTried));

        std::vector<std::string> loads;
        std::vector<char> answers = c.chooserAnswers;
        std::string remembered;
        UpgradeFolderHooks hooks;
        hooks.load = [&](const std::string& f) {
            loads.push_back(f);
            // Stands for the loader: a folder with a configuration loads.
            return HoldsUpgrade(f) ? CONFIG_FULL : CONFIG_NONE;
        };
        hooks.choose = [&](const std::string& from) {
            EXPECT_EQ(from, loads.back()) << "the chooser opens where the last load looked";
            EXPECT_FALSE(answers.empty()) << "chooser asked once too often";
            if (answers.empty())
                return std::string();
            const char a = answers.front();
            answers.erase(answers.begin());
            return folder(a);
        };
        hooks.remember = [&](const std::string& f) { remembered = f; };
        std::string last;
        const BYTE result = LoadUpgradeFolder(first, hooks, true, &last);
        std::vector<std::string> expected;
        for (char f : c.loaded)
            expected.push_back(folder(f));
        EXPECT_EQ(loads, expected);
        EXPECT_TRUE(answers.empty()) << "chooser answers left";
        EXPECT_EQ(result, c.rememberedAfter ? CONFIG_FULL : CONFIG_NONE);
        EXPECT_EQ(last, expected.back());
        EXPECT_EQ(remembered,
                  c.rememberedAfter
                      ? std::filesystem::path(folder(c.rememberedAfter)).lexically_normal().string()
                      : "");
    }
}

// A configuration that is there but does not load is the upgrade's fault: no chooser.
TEST(UpgradeDlgLogic, AFolderWhoseConfigurationFailsOffersNoOtherFolder) {
    sorvel::test::TempDir root;
    root.Write("Ressources/Configuration.zkf", "not a configuration");
    UpgradeFolderHooks hooks;
    hooks.load = [](const std::string&) { return CONFIG_NONE; };
    hooks.choose = [](const std::string&) {
        ADD_FAILURE() << "chooser offered";
        return std::string();
    };
    EXPECT_EQ(LoadUpgradeFolder(root.Path().string(), hooks), CONFIG_NONE);
}

} // namespace upgrade_folder

// The status line through a complete update: what it says while waiting, sending, between
// files, and at the end; the seconds of a wait count up; a reset's 0 keeps what it said.
TEST(UpgradeStatus, TheStatusLineFollowsASequence) {
    using namespace std::chrono_literals;
    const auto t0 = CUpgradeStatus::Clock::time_point{} + 1h;
    CUpgradeStatus status(CONFIG_NONE);
    EXPECT_EQ(status.Text(), CUpgradeStatus::IdleText(CONFIG_NONE));
    status.SetConfigResult(CONFIG_FULL);
    EXPECT_EQ(status.Text(), "Ready: press Start Upload.");

    status.FileStarted(1, 3, ".\\Ressources\\Sti.urt", t0);
    EXPECT_EQ(status.Text(), "File 1 of 3: Sti.urt: waiting for the box to answer (0 s)");
    EXPECT_FALSE(status.Tick(t0 + 900ms));
    EXPECT_TRUE(status.Tick(t0 + 4s));
    EXPECT_EQ(status.Text(), "File 1 of 3: Sti.urt: waiting for the box to answer (4 s)");
    status.Progress(0, t0 + 4s); // no record asked for yet
    EXPECT_EQ(status.Text(), "File 1 of 3: Sti.urt: waiting for the box to answer (4 s)");
    status.Progress(1, t0 + 5s);
    EXPECT_EQ(status.Text(), "File 1 of 3: Sti.urt: 1 %");
    status.Progress(21, t0 + 15s); // 20 % in 10 s: 40 s for the 80 % left
    EXPECT_EQ(status.Text(), "File 1 of 3: Sti.urt: 21 %, 0:40 left");
    EXPECT_FALSE(status.Tick(t0 + 20s)) << "only a wait counts seconds";
    status.FileCompleted();
    status.Progress(0, t0 + 30s);
    EXPECT_EQ(status.Text(), "File 1 of 3: Sti.urt sent.");
    status.PromptOpened();
    EXPECT_EQ(status.Text(), "File 1 of 3: Sti.urt sent. Answer the message to go on.");

    status.FileStarted(2, 3, "/upgrade/Ressources/Cartridge1.urt", t0 + 40s);
    status.Progress(50, t0 + 41s);
    EXPECT_EQ(status.Text(), "File 2 of 3: Cartridge1.urt: 50 %");

    SequenceOutcome outcome;
    outcome.result = UpgradeResult::Stopped;
    outcome.summary = "Stopped. The box received Sti.urt and part of Cartridge1.urt.";
    status.Ended(outcome);
    EXPECT_EQ(status.Text(), outcome.summary);
    status.Progress(0, t0 + 50s);
    EXPECT_EQ(status.Text(), outcome.summary) << "the outcome stays until something new";
    EXPECT_EQ(UploadFileName("a/b\\c.urt"), "c.urt");
}

} // namespace
