// sorvel-config end to end: the real program run in a scratch folder, its output and exit status
// compared with what the loader itself shows for the same folder.
#include "ChildProcess.h"
#include "ConfigFile.h"
#include "ConfigWriter.h"
#include "Crc32.h"
#include "RecordingPresenter.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace sorvel {
namespace {

using ToolRun = test::ProgramRun;

// Runs the tool with the arguments in folder cwd.
ToolRun Tool(const std::filesystem::path& cwd, const std::vector<std::string>& args) {
    return test::RunProgram(SORVEL_CONFIG_TOOL, args, cwd.string());
}

// What verify must print: the loader's own messages for the folder, then the result line.
std::string LoaderTranscript(const std::filesystem::path& dir) {
    test::RecordingPresenter presenter;
    CONFIG_INFO info;
    BYTE result = CConfigFile(dir.string()).Load(&info);
    ReleaseConfigStrings(&info);
    std::string text;
    for (std::string message : presenter.Texts()) {
        // As the tool prints them: the lines below the first indented by two spaces.
        for (std::size_t at = message.find('\n'); at != std::string::npos;
             at = message.find('\n', at + 3))
            message.replace(at, 1, "\n  ");
        text += message + "\n";
    }
    text += std::string("result: ") +
            (result == CONFIG_FULL       ? "CONFIG_FULL"
             : result == CONFIG_STI_ONLY ? "CONFIG_STI_ONLY"
                                         : "CONFIG_NONE") +
            "\n";
    return text;
}

class ConfigTool : public ::testing::Test {
protected:
    ConfigTool() { WriteUploadFiles(); }
    // Upload files of one record each ("MZ", count 1, type 0x02, L = 1, six more bytes).
    static std::string UploadFile(char seed) {
        return std::string("MZ\0\0\0\1\2\0\0\1", 10) + std::string(6, seed);
    }
    void WriteUploadFiles() {
        dir.Write("files/sti.urt", UploadFile('s'));
        dir.Write("files/c1.urt", UploadFile('1'));
        dir.Write("files/c2.urt", UploadFile('2'));
    }
    std::vector<std::string> MakeFull() const {
        return {"make",
                "-o",
                "Ressources/Configuration.zkf",
                "--sti",
                "files\\sti.urt",
                "--cartridge1",
                "files\\c1.urt",
                "--cartridge2",
                "files/c2.urt",
                "--software-version",
                "1.3.9",
                "--hardware-version=",
                "--cartridge-type=CT5"};
    }
    std::filesystem::path ConfigPath() const { return dir.Path() / "Ressources/Configuration.zkf"; }

    test::TempDir dir;
};

TEST_F(ConfigTool, MadeConfigurationsVerify) {
    // STI only, written with an absolute output path as the demo does.
    ToolRun made =
        Tool(dir.Path(), {"make", "-o", ConfigPath().string(), "--sti", "files\\sti.urt"});
    ASSERT_EQ(made.status, 0) << made.err;
    ToolRun verified = Tool(dir.Path(), {"verify"});
    EXPECT_EQ(verified.status, 0);
    EXPECT_EQ(verified.out, "result: CONFIG_STI_ONLY\n");
    EXPECT_EQ(verified.err, "");

    made = Tool(dir.Path(), MakeFull());
    ASSERT_EQ(made.status, 0) << made.err;
    // verify from another folder, naming the upgrade's folder.
    verified = Tool("/", {"verify", dir.Path().string()});
    EXPECT_EQ(verified.status, 0);
    EXPECT_EQ(verified.out, "result: CONFIG_FULL\n");

    // The loader reads back what make stored.
    test::RecordingPresenter presenter;
    CONFIG_INFO info;
    ASSERT_EQ(CConfigFile(dir.Path().string()).Load(&info), CONFIG_FULL);
    EXPECT_STREQ(info.pszStiFile, "files\\sti.urt");
    EXPECT_STREQ(info.pszSoftwareVersion, "1.3.9");
    EXPECT_STREQ(info.szCartridgeType, "CT5");
    EXPECT_STREQ(info.pszHardwareVersion, "");
    ReleaseConfigStrings(&info);
}

TEST_F(ConfigTool, ChecksumsAreTakenFromTheFolderAboveRessources) {
    // ToolRun elsewhere: the files are still found below the folder that will hold Ressources/.
    ToolRun made = Tool("/", {"make", "-o", ConfigPath().string(), "--sti", "files/sti.urt"});
    EXPECT_EQ(made.status, 0) << made.err;
    // An output outside a Ressources folder takes the current directory, or --base.
    made = Tool(dir.Path(), {"make", "-o", "elsewhere.zkf", "--sti", "files/sti.urt"});
    EXPECT_EQ(made.status, 0) << made.err;
    made = Tool("/", {"make", "-o", (dir.Path() / "x.zkf").string(), "--sti", "files/sti.urt",
                      "--base", dir.Path().string()});
    EXPECT_EQ(made.status, 0) << made.err;
    made = Tool("/", {"make", "-o", (dir.Path() / "x.zkf").string(), "--sti", "files/sti.urt"});
    EXPECT_EQ(made.status, 1);
    EXPECT_EQ(made.err, "sorvel-config: make: cannot read 'files/sti.urt': No such file or "
                        "directory\n");
}

TEST_F(ConfigTool, VerifyPrintsExactlyTheLoadersMessages) {
    ASSERT_EQ(Tool(dir.Path(), MakeFull()).status, 0);
    const auto good = test::ReadFileBytes(ConfigPath());
    struct Case {
        const char* name;
        std::function<void()> damage;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"configuration missing", [&] { std::filesystem::remove(ConfigPath()); },
         "Error 0x3c00 : Configuration File not found !\n"
         "  .\\Ressources\\Configuration.zkf: No such file or directory\n"
         "  looked in " +
             dir.Path().string() + "\n"},
        {"trailer wrong",
         [&] {
             auto bad = good;
             bad.back() ^= 0x80;
             dir.Write("Ressources/Configuration.zkf", bad);
         },
         "Error 0x1c00 : Unknown configuration file\n"
         "  .\\Ressources\\Configuration.zkf: its checksum does not match its contents\n"},
        {"too short", [&] { dir.Write("Ressources/Configuration.zkf", std::string("ab")); },
         "Error 0x1c00 : Unknown configuration file\n"
         "  .\\Ressources\\Configuration.zkf: too short to hold its checksum\n"},
        {"STI changed", [&] { dir.Write("files/sti.urt", std::string("other")); },
         "Error 0x1c01 : Unknown uart file\n"
         "  files\\sti.urt: does not match the configuration's CRC-32\n"},
        {"cartridge 1 changed", [&] { dir.Write("files/c1.urt", std::string("other")); },
         "Error 0x1c02 : Unknown uart file\n"
         "  files\\c1.urt: does not match the configuration's CRC-32\n"},
        {"cartridge 2 changed", [&] { dir.Write("files/c2.urt", std::string("other")); },
         "Error 0x1c03 : Unknown uart file\n"
         "  files/c2.urt: does not match the configuration's CRC-32\n"},
        {"cartridge 2 missing", [&] { std::filesystem::remove(dir.Path() / "files/c2.urt"); },
         "Error 0x3c01 : File not found !\n"
         "  files/c2.urt: No such file or directory\n"},
        {"unrecognised first tag",
         [&] {
             std::vector<BYTE> body = {0x00, 0x00, 0x00};
             body.insert(body.end(), good.begin(), good.end() - 4);
             dir.Write("Ressources/Configuration.zkf", WithTrailer(body));
         },
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Each case starts from the good upgrade.
        dir.Write("Ressources/Configuration.zkf", good);
        WriteUploadFiles();
        c.damage();
        ToolRun verified = Tool(dir.Path(), {"verify"});
        EXPECT_EQ(verified.status, 1);
        const std::string transcript = LoaderTranscript(dir.Path());
        EXPECT_EQ(verified.out, transcript);
        if (!c.expected.empty()) {
            EXPECT_EQ(verified.out, c.expected + "result: CONFIG_NONE\n");
        }
    }
    // The unrecognised first tag: 12 tag messages in lookup order, each naming the tag, then
    // the STI file.
    const std::string& last = LoaderTranscript(dir.Path());
    EXPECT_EQ(std::count(last.begin(), last.end(), '\n'), 27);
    EXPECT_NE(last.find("Error 0x2c01 : Unknown configuration Tag\n"
                        "  .\\Ressources\\Configuration.zkf: unrecognised tag 0x00 at byte 0\n"),
              std::string::npos)
        << last;
    EXPECT_NE(last.find("Error 0x3c01 : File not found !\n  "), std::string::npos) << last;
    EXPECT_TRUE(last.ends_with("\nresult: CONFIG_NONE\n")) << last;
}

// make refuses what the program could not send, with the reason; --no-check stores it anyway.
TEST_F(ConfigTool, MakeRefusesFilesTheProgramCannotSend) {
    const std::string longPath = "files/" + std::string(260, 'x');
    struct Case {
        std::string bytes;
        std::string path;
        std::string reason;
        std::uintmax_t size = 0; // grown to this size with zero bytes (sparse)
    };
    const std::vector<Case> cases = {
        {"STI upload\n", "files/sti.urt", "not an upload file"},
        // Far larger than any upload file, checked all the same, without being read whole.
        {UploadFile('s'), "files/sti.urt", "record 2 has no record header at byte 16",
         std::uintmax_t{2} << 30},
        {std::string("MZ\0\0\0\2", 6) + UploadFile('s').substr(6), "files/sti.urt",
         "its header counts 2 records, it holds 1"},
        {UploadFile('s').substr(0, 12), "files/sti.urt", "record 1 is cut short"},
        {UploadFile('s'), longPath, "the path is longer than 259 characters"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        if (c.path == "files/sti.urt")
            dir.Write(c.path, c.bytes);
        if (c.size != 0)
            std::filesystem::resize_file(dir.Path() / c.path, c.size);
        const std::vector<std::string> args{"make", "-o", "Ressources/Configuration.zkf", "--sti",
                                            c.path};
        ToolRun refused = Tool(dir.Path(), args);
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find(c.reason), std::string::npos) << refused.err;
        std::vector<std::string> anyway = args;
        anyway.push_back("--no-check");
        if (c.path == "files/sti.urt" && c.size == 0) {
            EXPECT_EQ(Tool(dir.Path(), anyway).status, 0);
        }
    }

    // An output that names an input would overwrite the firmware: refused, the file untouched.
    dir.Write("files/sti.urt", UploadFile('s'));
    for (const char* output : {"files/sti.urt", "files/../files/sti.urt"}) {
        ToolRun refused = Tool(dir.Path(), {"make", "-o", output, "--sti", "files/sti.urt"});
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find("would be overwritten"), std::string::npos) << refused.err;
        EXPECT_EQ(std::filesystem::file_size(dir.Path() / "files/sti.urt"), UploadFile('s').size());
    }
}

TEST_F(ConfigTool, ShowListsEveryRecordAndTheTrailer) {
    ASSERT_EQ(Tool(dir.Path(), MakeFull()).status, 0);
    ToolRun shown = Tool(dir.Path(), {"show", "Ressources/Configuration.zkf"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    const std::string sti = UploadFile('s');
    const DWORD stiCrc = Crc32(sti.data(), sti.size());
    char crcText[16];
    std::snprintf(crcText, sizeof crcText, "0x%08x", static_cast<unsigned>(stiCrc));
    for (const std::string& expected :
         {std::string("TAG_HEADER              (0xad)  length     0\n"),
          std::string("TAG_SOFTWARE_VERSION    (0x01)  length     6  \"1.3.9\"\n"),
          std::string("TAG_CARTRIDGE_TYPE      (0x05)  length     4  \"CT5\"\n"),
          std::string("TAG_STI_FILE            (0x06)  length    14  \"files\\sti.urt\"\n"),
          std::string("TAG_STI_FILE_CRC        (0x09)  length     4  ") + crcText,
          std::string("TAG_CARTRIDGE_FILE2_CRC (0x0b)"), std::string(": matches\n")})
        EXPECT_NE(shown.out.find(expected), std::string::npos) << expected << "\n" << shown.out;

    // A damaged file is shown as far as it can be read, and fails.
    ConfigBuilder b;
    b.AddText(TAG_STI_FILE, "a").AddText(TAG_STI_FILE, "b").Add(0x77, {1, 2});
    auto bad = b.Build();
    bad.back() ^= 1;
    dir.Write("bad.zkf", bad);
    shown = Tool(dir.Path(), {"show", "bad.zkf"});
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.out.find("(repeated: the loader reads only the first)"), std::string::npos);
    EXPECT_NE(shown.out.find("unrecognised tag 0x77"), std::string::npos);
    EXPECT_NE(shown.out.find("DOES NOT MATCH"), std::string::npos);

    dir.Write("overrun.zkf", WithTrailer({TAG_STI_FILE, 0x10, 0x00, 'x'}));
    shown = Tool(dir.Path(), {"show", "overrun.zkf"});
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.out.find("runs past the end of the body (1 bytes left)"), std::string::npos)
        << shown.out;
}

TEST_F(ConfigTool, WrongUsageAndUnreadableFiles) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {{}, 2, "sorvel-config: a command is missing (make, show or verify)\n"},
        {{"frobnicate"}, 2, "sorvel-config: unknown command 'frobnicate'\n"},
        {{"make", "-o", "x.zkf"}, 2, "sorvel-config: make: the STI file is missing (--sti PATH)\n"},
        {{"make", "--sti", "files/sti.urt"},
         2,
         "sorvel-config: make: the output file is missing (-o FILE)\n"},
        {{"make", "-o", "x", "--sti", "files/sti.urt", "--cartridge1", "files/c1.urt"},
         2,
         "sorvel-config: make: --cartridge1 and --cartridge2 go together\n"},
        {{"make", "-o", "x", "--sti", "files/sti.urt", "--cartridge-type", "SIXSIX"},
         2,
         "sorvel-config: make: the cartridge type holds at most 5 characters\n"},
        {{"make", "-o", "x", "--sti", "a", "--sti", "b"},
         2,
         "sorvel-config: make: option '--sti' given twice\n"},
        {{"make", "-o", "x", "--colour", "red"},
         2,
         "sorvel-config: make: unknown option '--colour'\n"},
        {{"make", "-o"}, 2, "sorvel-config: make: option '-o' needs a value\n"},
        {{"verify", "a", "b"},
         2,
         "sorvel-config: verify: name at most one folder (verify [DIR])\n"},
        {{"show"}, 2, "sorvel-config: show: name one configuration file (show FILE)\n"},
        {{"show", "missing.zkf"},
         1,
         "sorvel-config: show: cannot read 'missing.zkf': No such file or directory\n"},
        {{"show", "files"}, 1, "sorvel-config: show: cannot read 'files': Is a directory\n"},
        {{"verify", "missing"},
         1,
         "sorvel-config: verify: cannot use 'missing': No such file or directory\n"},
        {{"make", "-o", "files/sti.urt/x.zkf", "--sti", "files/sti.urt"}, 1, ""},
    };
    for (const Case& c : cases) {
        ToolRun run = Tool(dir.Path(), c.args);
        std::string line = c.args.empty() ? "" : c.args[0] + " " + std::to_string(c.args.size());
        EXPECT_EQ(run.status, c.status) << line << "\n" << run.err;
        if (c.status == 2) {
            EXPECT_EQ(run.err, c.err + "Try 'sorvel-config --help' for more information.\n");
        } else if (!c.err.empty()) {
            EXPECT_EQ(run.err, c.err);
        } else {
            EXPECT_NE(run.err.find("sorvel-config: make: cannot "), std::string::npos) << run.err;
        }
        EXPECT_EQ(run.out, "");
    }
    ToolRun help = Tool(dir.Path(), {"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* word : {"make -o FILE", "show FILE", "verify [DIR]", "--base DIR"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    EXPECT_EQ(Tool(dir.Path(), {"make", "--help"}).out, help.out);
}

// The three tools answer alike: --version with the name and the project's version (the same for
// all), wrong usage with the name, the problem and a hint to --help, status 2. The other tools are
// built next to this one.
TEST(ToolCommandLines, VersionAndWrongUsageAreAlike) {
    struct Case {
        std::string name;
        std::vector<std::string> wrong;
        std::string problem;
    };
    const Case cases[] = {
        {"sorvel-config", {"verify", "--bogus"}, "verify: name at most one folder (verify [DIR])"},
        {"sorvel-cli", {"--yes", "--port"}, "option '--port' needs a value"},
        {"sorvel-boxsim", {"--baud", "fast"}, "--baud: not a number: fast"},
    };
    const std::filesystem::path bin = std::filesystem::path(SORVEL_CONFIG_TOOL).parent_path();
    std::set<std::string> versions;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string program = (bin / c.name).string();
        ToolRun version = test::RunProgram(program, {"--version"});
        EXPECT_EQ(version.status, 0);
        std::smatch number;
        EXPECT_TRUE(std::regex_match(version.out, number,
                                     std::regex(c.name + " ([0-9]+\\.[0-9]+\\.[0-9]+)\n")))
            << version.out;
        versions.insert(number.str(1));
        ToolRun wrong = test::RunProgram(program, c.wrong);
        EXPECT_EQ(wrong.status, 2);
        EXPECT_EQ(wrong.err, c.name + ": " + c.problem + "\nTry '" + c.name +
                                 " --help' for more information.\n");
        EXPECT_EQ(wrong.out, "");
    }
    EXPECT_EQ(versions.size(), 1u);
}

} // namespace
} // namespace sorvel
