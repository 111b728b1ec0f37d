#include "ConfigTool.h"

#include "ConfigFile.h"
#include "ConfigWriter.h"
#include "Crc32.h"
#include "FileAccess.h"
#include "MessageBox.h"
#include "ReadOnlyFile.h"
#include "ToolOptions.h"
#include "UploadFormat.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <system_error>

namespace sorvel::tool {
namespace {

constexpr const char* kProgram = "sorvel-config";
// show prints at most this many bytes of a value that is not text.
constexpr std::size_t kMaxHexBytes = 32;

constexpr const char* kDescription =
    "Makes, shows and checks the configuration file of an upgrade, Ressources/Configuration.zkf. "
    "The program reads that file from its working directory when it starts; the file names the "
    "upload files (an STI file, and for a full upgrade two cartridge files) with the CRC-32 of "
    "each, and holds the version texts that the program shows.";

constexpr const char* kFooter =
    "Exit status: 0 success, 1 failure (a file that cannot be read or written, a configuration "
    "that does not verify), 2 wrong usage.";

constexpr const char* kMakeSynopsis =
    "make -o FILE --sti PATH [--cartridge1 PATH --cartridge2 PATH]\n"
    "     [--software-version TEXT] [--hardware-version TEXT] [--brevon-version TEXT]\n"
    "     [--pellum-version TEXT] [--cartridge-type TEXT] [--base DIR] [--no-check]";

constexpr const char* kMakeDescription =
    "Writes a configuration file naming the given upload files, with the CRC-32 of each. Both "
    "cartridge files make a full upgrade; without them it is an STI-only upgrade. Paths are "
    "stored exactly as given (backslashes included): the program opens them relative to its "
    "working directory, the folder that holds Ressources/. To compute the checksums, make reads "
    "the files from that same folder: the folder above FILE's Ressources/ folder when FILE lies "
    "in one, otherwise the current directory; --base DIR names it explicitly. Missing folders of "
    "FILE are created. A text left out reads as empty; the cartridge type holds at most 5 "
    "characters.\n"
    "Example, run in the upgrade's folder:\n"
    "  sorvel-config make -o Ressources/Configuration.zkf --sti files/sti.urt";

constexpr const char* kShowDescription =
    "Prints every record of a configuration file (offset, tag name, length, value as text or in "
    "hexadecimal) and whether the trailer matches the body's CRC-32.\n"
    "Exit status 1 when the trailer does not match or a record is damaged.";

constexpr const char* kVerifyDescription =
    "Runs the program's own loader with DIR (default: the current directory) as the working "
    "directory: it reads DIR/Ressources/Configuration.zkf and checks every upload file that it "
    "names. Prints each message the loader shows, one per line, in the order shown, then a last "
    "line \"result: CONFIG_NONE\", \"result: CONFIG_STI_ONLY\" or \"result: CONFIG_FULL\".\n"
    "Exit status 0 for an STI-only or full upgrade, 1 when nothing may be uploaded.";

// The options of make and the names of their values.
constexpr std::pair<const char*, const char*> kMakeOptions[] = {
    {"-o", "FILE"},
    {"--sti", "PATH"},
    {"--cartridge1", "PATH"},
    {"--cartridge2", "PATH"},
    {"--base", "DIR"},
    {"--software-version", "TEXT"},
    {"--hardware-version", "TEXT"},
    {"--brevon-version", "TEXT"},
    {"--pellum-version", "TEXT"},
    {"--cartridge-type", "TEXT"},
};

static_assert(kExitUsage == tools::kExitUsage && kExitOk == tools::kExitHelp);

// Why the file at path is not an upload file as the engine sends it, or "" when it is one (or
// cannot be read at all). The walk reads only the headers, so a file of any size is checked
// without holding it.
std::string UploadFileFault(const std::string& path) {
    ReadOnlyFile file;
    // A file that cannot be read is reported where its checksum is taken.
    if (file.Open(path, false) != ReadOnlyFile::OpenResult::Ok)
        return {};
    const upload::Walk walk = upload::WalkUploadFile(upload::FileReader(file), file.Size());
    const std::string which = "record " + std::to_string(walk.records + 1);
    switch (walk.fault) {
    case upload::Fault::None:
    case upload::Fault::Unreadable:
        return {};
    case upload::Fault::NotUploadFile:
        return "not an upload file (it does not begin with an \"MZ\" header)";
    case upload::Fault::NoRecordHeader:
        return which + " has no record header at byte " + std::to_string(walk.offset);
    case upload::Fault::RecordTooLong:
        return which + " is longer than the " + std::to_string(upload::kMaxRecordBytes) +
               " bytes a record may hold";
    case upload::Fault::RecordCut:
        return which + " is cut short by the end of the file";
    case upload::Fault::CountMismatch:
        return "its header counts " + std::to_string(walk.count) + " records, it holds " +
               std::to_string(walk.records);
    }
    return {};
}

// True when out names the same file as in (or would, once written): writing it would destroy
// the input.
bool SameFile(const std::filesystem::path& out, const std::filesystem::path& in) {
    std::error_code error;
    if (std::filesystem::equivalent(out, in, error))
        return true;
    const std::filesystem::path a = std::filesystem::weakly_canonical(out, error);
    if (error)
        return false;
    const std::filesystem::path b = std::filesystem::weakly_canonical(in, error);
    return !error && a == b;
}

int Usage(std::ostream& err, const std::string& problem) {
    return tools::UsageError(err, kProgram, problem);
}

// The value of a command's option, if it was given.
std::optional<std::string> Value(const CLI::App& command, const std::string& name) {
    const CLI::Option* option = command.get_option(name);
    if (option->count() == 0)
        return std::nullopt;
    return option->as<std::string>();
}

// The folder the program will run in: the one above the file's Ressources/ folder.
std::filesystem::path DefaultBase(const std::filesystem::path& file) {
    std::filesystem::path parent = file.parent_path();
    if (parent.filename() == "Ressources") {
        std::filesystem::path base = parent.parent_path();
        return base.empty() ? std::filesystem::path(".") : base;
    }
    return ".";
}

int Make(const CLI::App& command, std::ostream& out, std::ostream& err) {
    if (auto leftover = tools::Leftover(command))
        return Usage(err, "make: " + tools::DescribeLeftover(*leftover));
    for (const auto& option : kMakeOptions) {
        if (command.get_option(option.first)->count() > 1)
            return Usage(err, std::string("make: option '") + option.first + "' given twice");
    }
    std::optional<std::string> file = Value(command, "-o");
    if (!file || file->empty())
        return Usage(err, "make: the output file is missing (-o FILE)");
    std::optional<std::string> sti = Value(command, "--sti");
    if (!sti || sti->empty())
        return Usage(err, "make: the STI file is missing (--sti PATH)");

    ConfigContents contents;
    contents.stiPath = *sti;
    contents.cartridge1Path = Value(command, "--cartridge1");
    contents.cartridge2Path = Value(command, "--cartridge2");
    contents.softwareVersion = Value(command, "--software-version");
    contents.hardwareVersion = Value(command, "--hardware-version");
    contents.brevonVersion = Value(command, "--brevon-version");
    contents.pellumVersion = Value(command, "--pellum-version");
    contents.cartridgeType = Value(command, "--cartridge-type");
    if (contents.cartridge1Path.has_value() != contents.cartridge2Path.has_value())
        return Usage(err, "make: --cartridge1 and --cartridge2 go together");
    if ((contents.cartridge1Path && contents.cartridge1Path->empty()) ||
        (contents.cartridge2Path && contents.cartridge2Path->empty()))
        return Usage(err, "make: a cartridge path is empty");
    if (contents.cartridgeType && contents.cartridgeType->size() > kMaxCartridgeTypeChars)
        return Usage(err, "make: the cartridge type holds at most " +
                              std::to_string(kMaxCartridgeTypeChars) + " characters");

    std::filesystem::path base = DefaultBase(*file);
    if (std::optional<std::string> given = Value(command, "--base"))
        base = *given;

    // Each upload file is one the program can send, named by a path it accepts; --no-check
    // stores them anyway (to prepare a test of the program's own refusals, say).
    const std::optional<std::string> paths[] = {contents.stiPath, contents.cartridge1Path,
                                                contents.cartridge2Path};
    if (command.get_option("--no-check")->count() == 0) {
        for (const std::optional<std::string>& path : paths) {
            if (!path)
                continue;
            std::string fault;
            if (path->size() > upload::kMaxPathChars)
                fault = "the path is longer than " + std::to_string(upload::kMaxPathChars) +
                        " characters";
            else
                fault = UploadFileFault(ResolveStoredPath(base.string(), *path));
            if (!fault.empty()) {
                err << kProgram << ": make: '" << *path << "': " << fault
                    << " (--no-check stores it anyway)\n";
                return kExitFailed;
            }
        }
    }

    for (const std::optional<std::string>& path : paths) {
        if (path && SameFile(*file, ResolveStoredPath(base.string(), *path))) {
            err << kProgram << ": make: the output file '" << *file << "' is the upload file '"
                << *path << "'; it would be overwritten\n";
            return kExitFailed;
        }
    }

    std::string error;
    std::optional<std::vector<BYTE>> bytes = BuildConfiguration(contents, base, &error);
    if (!bytes) {
        err << kProgram << ": make: " << error << "\n";
        return kExitFailed;
    }
    if (!WriteFileBytes(*file, *bytes, &error)) {
        err << kProgram << ": make: " << error << "\n";
        return kExitFailed;
    }
    out << "wrote " << *file << " (" << bytes->size() << " bytes, "
        << (contents.cartridge1Path ? "full" : "STI-only") << " upgrade)\n";
    return kExitOk;
}

const char* TagName(BYTE tag) {
    switch (tag) {
    case TAG_HEADER:
        return "TAG_HEADER";
    case TAG_SOFTWARE_VERSION:
        return "TAG_SOFTWARE_VERSION";
    case TAG_HARDWARE_VERSION:
        return "TAG_HARDWARE_VERSION";
    case TAG_BREVON_VERSION:
        return "TAG_BREVON_VERSION";
    case TAG_PELLUM_VERSION:
        return "TAG_PELLUM_VERSION";
    case TAG_CARTRIDGE_TYPE:
        return "TAG_CARTRIDGE_TYPE";
    case TAG_STI_FILE:
        return "TAG_STI_FILE";
    case TAG_CARTRIDGE_FILE1:
        return "TAG_CARTRIDGE_FILE1";
    case TAG_CARTRIDGE_FILE2:
        return "TAG_CARTRIDGE_FILE2";
    case TAG_STI_FILE_CRC:
        return "TAG_STI_FILE_CRC";
    case TAG_CARTRIDGE_FILE1_CRC:
        return "TAG_CARTRIDGE_FILE1_CRC";
    case TAG_CARTRIDGE_FILE2_CRC:
        return "TAG_CARTRIDGE_FILE2_CRC";
    default:
        return nullptr;
    }
}

std::string Hex(DWORD value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, static_cast<unsigned>(value));
    return text;
}

std::string HexBytes(const BYTE* p, std::size_t n) {
    std::string text;
    std::size_t shown = n < kMaxHexBytes ? n : kMaxHexBytes;
    for (std::size_t i = 0; i < shown; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", p[i]);
        if (i > 0)
            text += ' ';
        text += byte;
    }
    if (shown < n)
        text += " ... (" + std::to_string(n - shown) + " more bytes)";
    return text;
}

std::string DescribeValue(BYTE tag, const BYTE* p, std::size_t n) {
    if (n == 0)
        return "";
    bool checksumTag =
        tag == TAG_STI_FILE_CRC || tag == TAG_CARTRIDGE_FILE1_CRC || tag == TAG_CARTRIDGE_FILE2_CRC;
    if (checksumTag && n == 4) {
        DWORD value = static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 |
                      static_cast<DWORD>(p[2]) << 16 | static_cast<DWORD>(p[3]) << 24;
        return Hex(value, 8) + " (" + HexBytes(p, n) + ")";
    }
    if (checksumTag)
        return HexBytes(p, n) + " (not 4 bytes: the loader refuses it)";
    bool terminated = p[n - 1] == 0;
    std::size_t chars = terminated ? n - 1 : n;
    bool printable = true;
    for (std::size_t i = 0; i < chars && printable; ++i)
        printable = p[i] >= 0x20 && p[i] < 0x7f;
    if (!printable || tag == TAG_HEADER)
        return HexBytes(p, n);
    std::string text(1, '"');
    text.append(reinterpret_cast<const char*>(p), chars);
    text += '"';
    if (!terminated)
        text += " (no NUL)";
    if (tag == TAG_CARTRIDGE_TYPE && chars > kMaxCartridgeTypeChars)
        text += " (longer than 5 characters: the loader keeps the first 5)";
    return text;
}

int Show(const CLI::App& command, const std::string& file, std::ostream& out, std::ostream& err) {
    if (tools::Leftover(command) || file.empty())
        return Usage(err, "show: name one configuration file (show FILE)");
    std::vector<BYTE> bytes;
    FileOutcome outcome = ReadWholeFile(file, kMaxConfigurationBytes, &bytes);
    if (outcome.status == FileStatus::TooLarge) {
        err << kProgram << ": show: '" << file << "' is larger than a configuration file can be ("
            << kMaxConfigurationBytes << " bytes)\n";
        return kExitFailed;
    }
    if (outcome.status != FileStatus::Ok) {
        err << kProgram << ": show: cannot read '" << file << "': " << outcome.reason << "\n";
        return kExitFailed;
    }
    out << file << ": " << bytes.size() << " bytes\n";
    if (bytes.size() < 4) {
        out << "too short for its 4-byte trailer: not a configuration file\n";
        return kExitFailed;
    }
    const std::size_t body = bytes.size() - 4;
    bool sound = true;
    std::set<BYTE> seen;
    std::size_t offset = 0;
    while (offset < body) {
        const BYTE tag = bytes[offset];
        const char* name = TagName(tag);
        char position[32];
        std::snprintf(position, sizeof position, "%6zu  ", offset);
        if (!name) {
            out << position << "unrecognised tag " << Hex(tag, 2)
                << ": a lookup that reaches it stops with an unrecognised-tag message\n";
            sound = false;
            break;
        }
        if (offset + 3 > body) {
            out << position << name << " (" << Hex(tag, 2)
                << "): record header cut short by the end of the body\n";
            sound = false;
            break;
        }
        const std::size_t length =
            static_cast<std::size_t>(bytes[offset + 1]) << 8 | bytes[offset + 2];
        char lengthText[32];
        std::snprintf(lengthText, sizeof lengthText, "length %5zu", length);
        char nameText[32];
        std::snprintf(nameText, sizeof nameText, "%-23s", name);
        out << position << nameText << " (" << Hex(tag, 2) << ")  " << lengthText;
        if (offset + 3 + length > body) {
            out << "  runs past the end of the body (" << body - offset - 3 << " bytes left)\n";
            sound = false;
            break;
        }
        std::string value = DescribeValue(tag, bytes.data() + offset + 3, length);
        if (!value.empty())
            out << "  " << value;
        if (!seen.insert(tag).second)
            out << "  (repeated: the loader reads only the first)";
        out << "\n";
        offset += 3 + length;
    }
    const DWORD stored =
        static_cast<DWORD>(bytes[body]) | static_cast<DWORD>(bytes[body + 1]) << 8 |
        static_cast<DWORD>(bytes[body + 2]) << 16 | static_cast<DWORD>(bytes[body + 3]) << 24;
    const DWORD computed = Crc32(bytes.data(), body);
    out << "trailer " << Hex(stored, 8) << ", CRC-32 of the body " << Hex(computed, 8) << ": "
        << (stored == computed ? "matches" : "DOES NOT MATCH") << "\n";
    return stored == computed && sound ? kExitOk : kExitFailed;
}

int Verify(const CLI::App& command, const std::string& dir, std::ostream& out, std::ostream& err) {
    if (tools::Leftover(command) || dir.empty())
        return Usage(err, "verify: name at most one folder (verify [DIR])");
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(dir, error);
    if (error) {
        err << kProgram << ": verify: cannot use '" << dir << "': " << error.message() << "\n";
        return kExitFailed;
    }
    if (!std::filesystem::is_directory(status)) {
        err << kProgram << ": verify: '" << dir << "' is not a folder\n";
        return kExitFailed;
    }
    // Each message's first line exactly as the program shows it; the lines that say which file
    // and why stand indented below it.
    MessagePresenter previous = SetMessagePresenter([&out](const MessageRequest& request) {
        std::size_t start = 0;
        for (bool first = true; start <= request.text.size(); first = false) {
            std::size_t end = request.text.find('\n', start);
            if (end == std::string::npos)
                end = request.text.size();
            out << (first ? "" : "  ") << request.text.substr(start, end - start) << "\n";
            start = end + 1;
        }
        out.flush();
        return PositiveAnswer(request.flags);
    });
    CONFIG_INFO config;
    const BYTE result = CConfigFile(dir).Load(&config);
    ReleaseConfigStrings(&config);
    SetMessagePresenter(std::move(previous));
    const char* name = result == CONFIG_FULL       ? "CONFIG_FULL"
                       : result == CONFIG_STI_ONLY ? "CONFIG_STI_ONLY"
                                                   : "CONFIG_NONE";
    out << "result: " << name << "\n";
    return result == CONFIG_NONE ? kExitFailed : kExitOk;
}

} // namespace

int RunConfigTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    tools::ToolCommandLine commandLine(kProgram, "sorvel-config COMMAND [ARGUMENTS]", kDescription,
                                       kFooter);
    CLI::App& make = commandLine.AddCommand("make", kMakeSynopsis, kMakeDescription);
    for (const auto& [name, valueName] : kMakeOptions)
        make.add_option(name)->option_text(valueName);
    make.add_flag("--no-check")
        ->description("store the upload files even when one is no upload file the program can "
                      "send or its path is longer than the program accepts");
    std::string showFile;
    CLI::App& show = commandLine.AddCommand("show", "show FILE", kShowDescription);
    show.add_option("FILE", showFile);
    std::string verifyDir = ".";
    CLI::App& verify = commandLine.AddCommand("verify", "verify [DIR]", kVerifyDescription);
    verify.add_option("DIR", verifyDir);

    if (auto status = commandLine.Parse(args, out, err))
        return *status;
    if (make.parsed())
        return Make(make, out, err);
    if (show.parsed())
        return Show(show, showFile, out, err);
    if (verify.parsed())
        return Verify(verify, verifyDir, out, err);
    // No command: the first argument names none.
    if (auto leftover = tools::Leftover(commandLine.App())) {
        if (*leftover == "help") {
            out << commandLine.Help();
            return kExitOk;
        }
        return Usage(err, "unknown command '" + *leftover + "'");
    }
    return Usage(err, "a command is missing (make, show or verify)");
}

} // namespace sorvel::tool
