// sorvel-station: a bench that upgrades several boxes at once, one per serial port, from one web
// page. See kDescription; the page's interface is docs/station-http.md.
#include "CliSystem.h"
#include "ConfigFile.h"
#include "MessageBox.h"
#include "Program.h"
#include "SorvelVersion.h"
#include "Station.h"
#include "StationServer.h"
#include "StationSystem.h"
#include "ToolOptions.h"
#include "UpgradeDlgLogic.h"
#include "UpgradeModes.h"
#include "UpgradeRecordFile.h"
#include "UpgradeRecorder.h"

#include <charconv>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <string>

extern const char kStationPage[];

namespace {

constexpr const char* kProgram = "sorvel-station";
constexpr int kExitFailed = 1;
constexpr std::uint16_t kDefaultPort = 8421;

constexpr const char* kDescription =
    "Upgrades several boxes at once from one web page: one slot per serial port (--port, given "
    "once per port; without it every port found: the USB serial adapters on Linux, every COM "
    "port Windows lists), each running the upgrade of "
    "folder DIR (default: the current folder, else the folder the dialog program remembers) in "
    "a sorvel-cli of its own, so that a box that fails or hangs never stops the others.\n"
    "\n"
    "The folder's configuration and files are checked once at the start, with the dialog "
    "program's messages; a folder that does not verify is refused. Then the station prints the "
    "page's address and serves it until Ctrl-C: a card per slot with its state, file, progress, "
    "the prompt's buttons and the outcome, and the record's last attempts below. A unit id (a "
    "serial number, typed or scanned) may be given to a slot before its start; it goes into the "
    "record with the slot's port.\n"
    "\n"
    "The page is served on 127.0.0.1 only, unless --listen names another address; the station "
    "then prints an address with its token, and a request without the token is refused. Every "
    "change is a POST that carries the token, also on 127.0.0.1.";

constexpr const char* kFooter =
    "Exit status: 0 after Ctrl-C (every upgrade still running is stopped first, and recorded), "
    "1 when the folder does not verify, no port is found or the address cannot be listened on, "
    "2 for wrong usage.";

struct Options {
    std::vector<std::string> ports;
    std::string mode;
    std::string listen;
    std::string record;
    bool recordGiven = false;
    std::string worker;
    bool open = false;
    std::string dir;
};

int UsageError(const std::string& text) {
    return sorvel::tools::UsageError(std::cerr, kProgram, text);
}

// "ADDRESS:PORT" (IPv6 in brackets) into its parts; false when it is not one.
bool SplitListen(const std::string& text, std::string* address, std::uint16_t* port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string host = text.substr(0, colon);
    if (host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string number = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size() || number.empty() ||
        value > 65535)
        return false;
    *address = host;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

std::optional<int> ParseArguments(int argc, char** argv, Options& options) {
    sorvel::tools::ToolCommandLine commandLine(
        kProgram,
        "sorvel-station [--port NAME]... [--mode complete|sti|cartridge] [--listen ADDRESS:PORT] "
        "[--record FILE] [--worker PROGRAM] [--open] [DIR]",
        kDescription, kFooter);
    CLI::App& app = commandLine.App();
    app.add_option("--port", options.ports,
                   std::string("a slot's serial port, once per slot; ") + sorvel::cli::kPortHelp)
        ->option_text("NAME")
        // One name each time: the folder after the last --port is no port.
        ->allow_extra_args(false);
    app.add_option("--mode", options.mode,
                   "complete, sti or cartridge, for every slot; default: complete when the "
                   "configuration names cartridge files, else sti")
        ->option_text("MODE");
    app.add_option("--listen", options.listen,
                   "serve the page on ADDRESS:PORT (0.0.0.0:8421 for every interface); another "
                   "address than 127.0.0.1 needs the token the station prints; default "
                   "127.0.0.1:8421, port 0 for any free one")
        ->option_text("ADDRESS:PORT");
    CLI::Option* record =
        app.add_option("--record", options.record,
                       "the upgrade record every slot appends to ('' for none); default: "
                       "SORVEL_RECORD, else the user's record file")
            ->option_text("FILE");
    app.add_option("--worker", options.worker,
                   "the program each slot runs (default: sorvel-cli beside this program)")
        ->option_text("PROGRAM");
    app.add_flag("--open", options.open, "open the page in the browser once it is served");
    std::vector<std::string> dirs;
    app.add_option("DIR", dirs);
    if (auto status = commandLine.Parse(argc, argv, std::cout, std::cerr))
        return status;
    if (auto leftover = sorvel::tools::Leftover(app))
        return UsageError(sorvel::tools::DescribeLeftover(*leftover));
    if (dirs.size() > 1)
        return UsageError("more than one folder given: '" + dirs[0] + "' and '" + dirs[1] + "'");
    if (!dirs.empty())
        options.dir = dirs.front();
    if (!options.mode.empty() && !sorvel::record::ModeFromName(options.mode))
        return UsageError("unknown mode '" + options.mode + "' (complete, sti or cartridge)");
    std::set<std::string> seen;
    for (const std::string& port : options.ports) {
        if (port.empty())
            return UsageError("--port needs a name");
        if (!seen.insert(port).second)
            return UsageError("port '" + port + "' given twice: one slot per port");
    }
    options.recordGiven = record->count() > 0;
    return std::nullopt;
}

std::string Absolute(const std::string& path) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

// Ends a station started from a menu: its console window stays until the user read why.
int Fail(const Options& options) {
    if (options.open) {
        std::cerr << "Press Enter to close." << std::endl;
        std::string line;
        std::getline(std::cin, line);
    }
    return kExitFailed;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto status = ParseArguments(argc, argv, options))
        return *status;
    // Before any other thread starts: Ctrl-C only reaches the wait below.
    const sorvel::cli::StopSignal stop;
    if (!stop.Valid()) {
        std::cerr << kProgram << ": cannot watch for Ctrl-C: " << stop.Error() << std::endl;
        return kExitFailed;
    }
    sorvel::cli::IgnoreBrokenPipe();
    sorvel::SetMessagePresenter([](const sorvel::MessageRequest& request) {
        std::cerr << request.text << std::endl;
        return IDOK;
    });

    std::string address = "127.0.0.1";
    std::uint16_t port = kDefaultPort;
    if (!options.listen.empty() && !SplitListen(options.listen, &address, &port))
        return UsageError("--listen takes ADDRESS:PORT, such as 0.0.0.0:8421, not '" +
                          options.listen + "'");

    // The worker and the record are named from where the station was started.
    sorvel::station::StationSetup setup;
    setup.version = sorvel::kVersion;
    if (options.worker.empty()) {
        const std::string folder = sorvel::station::ProgramFolder();
        setup.worker = (std::filesystem::path(folder) / sorvel::station::kWorkerName).string();
    } else {
        setup.worker = Absolute(options.worker);
    }
    setup.record = options.recordGiven ? options.record : sorvel::record::DefaultRecordPath();
    if (!setup.record.empty())
        setup.record = Absolute(setup.record);

    // The folder is checked once here, as the dialog program checks it at its start.
    std::error_code error;
    const std::string start = std::filesystem::current_path(error).string();
    const std::string folder = sorvel::NativePath(FirstUpgradeFolder(
        options.dir, start,
        options.dir.empty() ? sorvel::station::RememberedUpgradeFolder() : std::string()));
    std::filesystem::current_path(folder, error);
    if (error) {
        std::cerr << kProgram << ": cannot use folder '" << folder << "': " << error.message()
                  << std::endl;
        return Fail(options);
    }
    setup.folder = std::filesystem::current_path(error).string();
    CONFIG_INFO config;
    const BYTE loaded = CConfigFile(".").Load(&config);
    if (loaded == CONFIG_NONE) {
        std::cerr << kProgram << ": the upgrade in " << setup.folder
                  << " did not verify; no slot was started" << std::endl;
        ReleaseConfigStrings(&config);
        return Fail(options);
    }
    setup.modeCode = options.mode.empty() ? DefaultUpdateMode(loaded)
                                          : *sorvel::record::ModeFromName(options.mode);
    setup.mode = sorvel::record::ModeName(setup.modeCode);
    if (loaded == CONFIG_STI_ONLY && setup.modeCode != MODE_STI_ONLY) {
        ReleaseConfigStrings(&config);
        return UsageError("--mode " + setup.mode +
                          " needs cartridge files, and this configuration names only the STI "
                          "file");
    }
    const sorvel::record::UpgradeAttempt described = sorvel::record::BeginAttempt(
        {kProgram, sorvel::kVersion, "", setup.folder, "", ""}, setup.modeCode, config);
    ReleaseConfigStrings(&config);
    setup.config = described.config;
    for (const auto& file : described.files)
        setup.files.push_back(UploadFileName(file.path));

    setup.ports = options.ports.empty() ? sorvel::station::FindSerialPorts() : options.ports;
    if (setup.ports.empty()) {
        std::cerr << kProgram
                  << ": no serial port found; plug in the adapters, or name each with --port"
                  << std::endl;
        return Fail(options);
    }

    sorvel::station::ServerOptions serverOptions;
    serverOptions.address = address;
    serverOptions.port = port;
    serverOptions.token = sorvel::station::NewToken();
    serverOptions.page = kStationPage;
    sorvel::station::StationServer server(serverOptions);
    std::string listenError;
    if (!server.Listen(&listenError)) {
        std::cerr << kProgram << ": cannot serve the page on " << address << ":" << port << ": "
                  << listenError << std::endl;
        return Fail(options);
    }

    std::cout << kProgram << " " << sorvel::kVersion << ": " << setup.mode << " upgrade of "
              << setup.folder << " (";
    for (std::size_t i = 0; i < setup.files.size(); ++i)
        std::cout << (i ? ", " : "") << setup.files[i];
    std::cout << ")\n";
    for (std::size_t i = 0; i < setup.ports.size(); ++i)
        std::cout << "slot " << i + 1 << ": " << setup.ports[i] << "\n";
    std::cout << "record: " << (setup.record.empty() ? "(none)" : setup.record) << "\n";

    const bool loopback = address == "127.0.0.1" || address == "::1" ||
                          address.rfind("127.", 0) == 0 || address == "localhost";
    const std::string shownHost = address.find(':') != std::string::npos
                                      ? "[" + address + "]"
                                      : (address == "0.0.0.0" ? "127.0.0.1" : address);
    const std::string local = "http://" + shownHost + ":" + std::to_string(server.Port()) + "/";
    std::cout << "The page: " << local << "\n";
    if (!loopback)
        std::cout << "From another computer: http://"
                  << (address == "0.0.0.0" || address == "::" ? "<this computer>" : shownHost)
                  << ":" << server.Port() << "/?token=" << serverOptions.token << "\n";
    std::cout << "token: " << serverOptions.token << "\n"
              << "Press Ctrl-C to stop the station." << std::endl;

    {
        sorvel::station::Station station(setup, [&server](int slot) { server.Changed(slot); });
        server.Run(station);
        if (options.open) {
            std::string openError;
            if (!sorvel::station::OpenInBrowser(local, &openError))
                std::cerr << kProgram << ": " << openError << "; open " << local << " in a browser"
                          << std::endl;
        }
        for (;;) {
            const auto waited = sorvel::cli::WaitForWakeOrStop(sorvel::kNoWaitHandle, stop, -1);
            if (waited == sorvel::cli::WaitResult::Stop)
                break;
            if (waited == sorvel::cli::WaitResult::Failed) {
                std::cerr << kProgram << ": cannot wait for Ctrl-C any more" << std::endl;
                break;
            }
        }
        std::cout << kProgram << ": stopping; every upgrade still running is stopped" << std::endl;
        server.Stop();
    } // the station stops its workers
    return 0;
}
