#include "ToolOptions.h"

#include "ToolVersion.h"

#include <algorithm>
#include <ostream>
#include <string_view>

namespace sorvel::tools {
namespace {

constexpr std::size_t kHelpWidth = 96;
// Option names start at column 2 and their descriptions at column 24; a description whose names
// reach column 22 starts on the next line.
constexpr std::size_t kOptionIndent = 2;
constexpr std::size_t kOptionColumn = 24;
// Command synopses start at column 2, their descriptions at column 6.
constexpr std::size_t kCommandIndent = 2;
constexpr std::size_t kCommandTextIndent = 6;

// text broken at spaces into lines of at most kHelpWidth columns (a longer word stays whole),
// each indented by indent spaces. "\n" starts a new line, "\n\n" leaves an empty one; the leading
// spaces of a line indent it and its continuation lines further.
std::string Wrap(std::string_view text, std::size_t indent) {
    std::string out;
    if (text.ends_with('\n'))
        text.remove_suffix(1);
    for (;;) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        const std::size_t own = line.find_first_not_of(' ');
        if (own != std::string_view::npos) {
            const std::size_t margin = indent + own;
            std::string current(margin, ' ');
            for (std::size_t pos = own; pos < line.size();) {
                const std::size_t wordEnd = std::min(line.find(' ', pos), line.size());
                const std::string_view word = line.substr(pos, wordEnd - pos);
                pos = wordEnd + 1;
                if (word.empty())
                    continue;
                if (current.size() > margin && current.size() + 1 + word.size() > kHelpWidth) {
                    out += current + '\n';
                    current.assign(margin, ' ');
                }
                if (current.size() > margin)
                    current += ' ';
                current += word;
            }
            out += current;
        }
        out += '\n';
        if (end == std::string_view::npos)
            return out;
        text.remove_prefix(end + 1);
    }
}

// "-v, --verbose", then the value's name if it takes one: "--link PATH".
std::string OptionNames(const CLI::Option& option) {
    std::string names;
    for (const std::string& name : option.get_snames())
        names += (names.empty() ? "-" : ", -") + name;
    for (const std::string& name : option.get_lnames())
        names += (names.empty() ? "--" : ", --") + name;
    if (!option.get_option_text().empty())
        names += " " + option.get_option_text();
    return names;
}

std::string OptionRow(const CLI::Option& option) {
    const std::string names = std::string(kOptionIndent, ' ') + OptionNames(option);
    if (option.get_description().empty())
        return names + "\n";
    const std::string text = Wrap(option.get_description(), kOptionColumn);
    if (names.size() + 2 <= kOptionColumn)
        return names + text.substr(names.size());
    return names + "\n" + text;
}

// --help and --version act when they are read: what follows them is neither parsed nor checked.
void AddGeneralFlags(CLI::App& app) {
    app.add_flag_callback(
           "-h,--help", [] { throw CLI::CallForHelp(); }, "show this help")
        ->trigger_on_parse();
    app.add_flag_callback(
           "--version", [] { throw CLI::CallForVersion(); }, "show the program's name and version")
        ->trigger_on_parse();
}

bool IsGeneralFlag(const CLI::Option* option) {
    return option->check_lname("help") || option->check_lname("version");
}

// CLI11's words for an error, in the tools' own where they have them.
std::string Reword(const CLI::ParseError& error, const CLI::App& scope) {
    const std::string what = error.what();
    for (const CLI::Option* option : scope.get_options()) {
        const std::string name = option->get_name();
        if (name.empty())
            continue;
        // "<option>: 1 required <TYPE> missing": the command line ended before the option's value.
        if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr &&
            what.starts_with(name + ": ") && what.ends_with(" missing"))
            return "option '" + name + "' needs a value";
        // "Could not convert: <flag> = <value>": a flag given a value other than true or false.
        if (dynamic_cast<const CLI::ConversionError*>(&error) != nullptr &&
            option->get_expected_max() == 0 &&
            what.starts_with("Could not convert: " + name + " = "))
            return "option '" + name + "' takes no value";
    }
    return what;
}

// CLI11 reads "--name=" as "--name" and takes the next argument as its value; the tools read an
// empty value there, as "--name=TEXT" reads TEXT. So "--name=" of an option that takes a value
// (of the tool, or of the command given) becomes "--name" and an empty argument.
std::vector<std::string> EmptyValuesApart(const CLI::App& app,
                                          const std::vector<std::string>& args) {
    std::vector<std::string> apart;
    const CLI::App* scope = &app;
    bool optionsEnded = false;
    for (const std::string& arg : args) {
        optionsEnded = optionsEnded || arg == "--";
        if (optionsEnded) {
            apart.push_back(arg);
            continue;
        }
        if (scope == &app) {
            for (const CLI::App* command :
                 app.get_subcommands([](const CLI::App*) { return true; }))
                scope = arg == command->get_name() ? command : scope;
        }
        if (arg.size() > 3 && arg.starts_with("--") && arg.find('=') == arg.size() - 1) {
            const std::string name = arg.substr(0, arg.size() - 1);
            const CLI::Option* option = scope->get_option_no_throw(name);
            if (option != nullptr && option->get_expected_max() > 0) {
                apart.push_back(name);
                apart.emplace_back();
                continue;
            }
        }
        apart.push_back(arg);
    }
    return apart;
}

} // namespace

const char* Version() {
    return kProjectVersion;
}

ToolCommandLine::ToolCommandLine(std::string name, std::string usage, std::string description,
                                 std::string footer)
    : m_name(std::move(name)), m_usage(std::move(usage)),
      m_app(std::make_unique<CLI::App>(std::move(description), m_name)) {
    m_app->footer(std::move(footer));
    m_app->set_help_flag(); // replaced by AddGeneralFlags' own
    // Kept for the tool to name in its words; commands inherit this.
    m_app->allow_extras();
    // Options are written the same on every system: on Windows CLI11 would otherwise take "/x"
    // for an option, and a folder given as "/upgrades/sti" (Wine, MSYS) would be refused.
    m_app->allow_windows_style_options(false);
    m_app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    AddGeneralFlags(*m_app);
    // Anything that asks CLI11 for the help gets this layout too.
    m_app->formatter(std::make_shared<CLI::FormatterLambda>(
        [this](const CLI::App*, const std::string&, CLI::AppFormatMode) { return Help(); }));
}

CLI::App& ToolCommandLine::AddCommand(const std::string& name, std::string synopsis,
                                      std::string description) {
    // One command at most: a second command's name is an argument of the first.
    m_app->require_subcommand(0, 1);
    CLI::App* command = m_app->add_subcommand(name, std::move(description));
    AddGeneralFlags(*command);
    m_synopses.emplace_back(command, std::move(synopsis));
    return *command;
}

std::optional<int> ToolCommandLine::Parse(const std::vector<std::string>& args, std::ostream& out,
                                          std::ostream& err) {
    std::vector<std::string> reversed = EmptyValuesApart(*m_app, args);
    std::reverse(reversed.begin(), reversed.end()); // CLI11 takes them last first
    try {
        m_app->parse(reversed);
    } catch (const CLI::CallForHelp&) {
        out << Help();
        return kExitHelp;
    } catch (const CLI::CallForVersion&) {
        out << m_name << " " << Version() << "\n";
        return kExitHelp;
    } catch (const CLI::ParseError& error) {
        const std::vector<CLI::App*> commands = m_app->get_subcommands();
        if (commands.empty())
            return UsageError(err, m_name, Reword(error, *m_app));
        return UsageError(err, m_name,
                          commands.front()->get_name() + ": " + Reword(error, *commands.front()));
    }
    return std::nullopt;
}

std::optional<int> ToolCommandLine::Parse(int argc, const char* const* argv, std::ostream& out,
                                          std::ostream& err) {
    return Parse(std::vector<std::string>(argv + std::min(argc, 1), argv + argc), out, err);
}

int UsageError(std::ostream& err, const std::string& tool, const std::string& problem) {
    err << tool << ": " << problem << "\n"
        << "Try '" << tool << " --help' for more information.\n";
    return kExitUsage;
}

std::string ToolCommandLine::Help() const {
    const CLI::App& app = *m_app;
    std::string help = "Usage: " + m_usage + "\n";
    if (!app.get_description().empty())
        help += "\n" + Wrap(app.get_description(), 0);
    if (!m_synopses.empty()) {
        help += "\nCommands:\n";
        for (const auto& [command, synopsis] : m_synopses) {
            if (command != m_synopses.front().first)
                help += "\n";
            help += Wrap(synopsis, kCommandIndent) +
                    Wrap(command->get_description(), kCommandTextIndent);
        }
    }
    std::vector<const CLI::Option*> options =
        app.get_options([](const CLI::Option* option) { return option->nonpositional(); });
    std::stable_partition(options.begin(), options.end(),
                          [](const CLI::Option* option) { return !IsGeneralFlag(option); });
    help += "\nOptions:\n";
    for (const CLI::Option* option : options)
        help += OptionRow(*option);
    if (!app.get_footer().empty())
        help += "\n" + Wrap(app.get_footer(), 0);
    return help;
}

std::optional<std::string> Leftover(const CLI::App& app) {
    // CLI11 also keeps the "--" that ends the options, which is no mistake.
    for (const std::string& argument : app.remaining()) {
        if (argument != "--")
            return argument;
    }
    return std::nullopt;
}

std::string DescribeLeftover(const std::string& argument) {
    if (argument.size() > 1 && argument[0] == '-') {
        const std::string name =
            argument.starts_with("--") ? argument.substr(0, argument.find('=')) : argument;
        return "unknown option '" + name + "'";
    }
    return "unexpected argument '" + argument + "'";
}

} // namespace sorvel::tools
