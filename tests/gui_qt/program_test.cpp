// The program Sorvel_User as a user starts it: its command line and what it does without a
// display; and the version line of its About box.
#include "AboutDlg.h"
#include "ChildProcess.h"
#include "SorvelVersion.h"
#include "TempDir.h"

#include <QLabel>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace sorvel::test;

// Entries that come first in the program's environment win: empty ones hide the display
// variables of the test's own environment.
const std::vector<std::string> kNoDisplay = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};

TEST(SorvelUserProgram, AnswersItsCommandLineAndRefusesWhatItCannotUse) {
    TempDir dir;
    // Qt's platform, with a runtime folder of its liking so that it adds no warning of its own.
    const std::vector<std::string> offscreen = {"QT_QPA_PLATFORM=offscreen",
                                                "XDG_RUNTIME_DIR=" + dir.Path().string()};
    const std::string missing = (dir.Path() / "missing").string();
    const std::string file = (dir.Path() / "file").string();
    std::ofstream(file) << "not a folder";
    const std::string hint = "Try 'Sorvel_User --help' for more information.\n";
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> env;
        int status;
        std::string out, err; // out: what it starts with
    };
    const std::vector<Case> cases = {
        {{"--version"}, kNoDisplay, 0, std::string("Sorvel_User ") + sorvel::kVersion + "\n", ""},
        {{"--help"}, kNoDisplay, 0, "Usage: Sorvel_User [DIR]\n", ""},
        {{"-h", missing}, kNoDisplay, 0, "Usage: Sorvel_User [DIR]\n", ""},
        {{},
         kNoDisplay,
         1,
         "",
         "Sorvel_User: no display is available; use sorvel-cli for an upgrade without a window\n"},
        {{missing},
         offscreen,
         2,
         "",
         "Sorvel_User: cannot use folder '" + missing + "': No such file or directory\n"},
        {{file},
         offscreen,
         2,
         "",
         "Sorvel_User: cannot use folder '" + file + "': Not a directory\n"},
        {{missing, file},
         offscreen,
         2,
         "",
         "Sorvel_User: more than one folder given: '" + missing + "' and '" + file + "'\n" + hint},
        {{"--bogus"}, offscreen, 2, "", "Sorvel_User: unknown option '--bogus'\n" + hint},
        // Qt's own option chooses the platform and is no folder.
        {{"-platform", "offscreen", missing},
         {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", offscreen[1]},
         2,
         "",
         "Sorvel_User: cannot use folder '" + missing + "': No such file or directory\n"},
    };
    for (const Case& c : cases) {
        const std::string name = c.args.empty() ? "(no arguments)" : c.args.front();
        ChildProcess program(SORVEL_USER_PATH, c.args, c.env);
        EXPECT_EQ(program.Wait(), c.status) << name;
        EXPECT_EQ(program.out.substr(0, c.out.size()), c.out) << name;
        EXPECT_EQ(program.err, c.err) << name;
    }
}

TEST(SorvelUserProgram, TheAboutBoxShowsTheVersion) {
    CAboutDlg about;
    auto* version = about.findChild<QLabel*>(QStringLiteral("version"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), QStringLiteral("Version ") + QString::fromLatin1(sorvel::kVersion));
    EXPECT_TRUE(about.rect().contains(version->geometry()));
}

} // namespace
