// The command line of every sorvel tool on CLI11, set up alike: the same --help layout, the same
// --version, the same words and exit status for wrong usage.
#pragma once

#include <CLI/CLI.hpp>

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sorvel::tools {

// Exit status of a tool after --help or --version, and after wrong usage.
constexpr int kExitHelp = 0;
constexpr int kExitUsage = 2;

// The project's version, as --version prints it.
const char* Version();

// One tool's command line. The tool adds its options and commands to App(), then calls Parse.
//
// --help (-h) prints "Usage: " with the usage line, the description, each command with its
// synopsis and description, each option with its value name and description, then the footer;
// texts are wrapped to 96 columns ("\n" starts a new line, a line's leading spaces indent it).
// --version prints "<name> <version>". Wrong usage prints "<name>: <what is wrong>" and a hint
// to --help on the error stream (see UsageError). --help and --version act as soon as they are
// read: the rest of the command line is not looked at, nor are the values before them checked.
//
// An option given again keeps its last value; "--name=" gives an empty value. Arguments that no
// option, positional or command takes are kept rather than refused in CLI11's words: the tool names
// them (see Leftover) in its own, after its other checks if it wants.
class ToolCommandLine {
public:
    ToolCommandLine(std::string name, std::string usage, std::string description,
                    std::string footer = {});
    ToolCommandLine(const ToolCommandLine&) = delete;
    ToolCommandLine& operator=(const ToolCommandLine&) = delete;

    CLI::App& App() { return *m_app; }

    // Adds a command: synopsis is its usage after the program name, shown in --help with the
    // description below it. --help after the command prints the whole help.
    CLI::App& AddCommand(const std::string& name, std::string synopsis, std::string description);

    // Parses args (without the program name). std::nullopt when the tool goes on; otherwise the
    // exit status to end with: kExitHelp once --help or --version was printed to out, kExitUsage
    // once wrong usage was reported on err. An error inside a command is prefixed with the
    // command's name ("make: option '-o' needs a value").
    std::optional<int> Parse(const std::vector<std::string>& args, std::ostream& out,
                             std::ostream& err);
    std::optional<int> Parse(int argc, const char* const* argv, std::ostream& out,
                             std::ostream& err);

    std::string Help() const;

private:
    std::string m_name;
    std::string m_usage;
    std::vector<std::pair<const CLI::App*, std::string>> m_synopses;
    std::unique_ptr<CLI::App> m_app;
};

// Reports wrong usage of tool: "<tool>: <problem>" and the hint to --help on err. Returns
// kExitUsage.
int UsageError(std::ostream& err, const std::string& tool, const std::string& problem);

// The first argument that app (the tool or one of its commands) kept as not taken, if any.
std::optional<std::string> Leftover(const CLI::App& app);

// What is wrong with a leftover argument: "unknown option '--name'" for what looks like an option
// (without its "=value"), otherwise "unexpected argument 'text'".
std::string DescribeLeftover(const std::string& argument);

} // namespace sorvel::tools
