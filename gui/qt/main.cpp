// Sorvel_User: the firmware upgrade tool's dialog program.
//
//   Sorvel_User [--help | --version] [DIR]
//
// --help and --version are answered before Qt starts, so they work without a display. Without a
// display the program says so and ends, rather than letting Qt abort. DIR becomes the working
// directory: the configuration ".\Ressources\Configuration.zkf" and the upload paths it names are
// relative to it, as for sorvel-cli's DIR. Without DIR the program loads the folder it was
// started in when that holds an upgrade, else the folder that loaded last time, else offers the
// system's folder chooser (CUpgradeApp, CUpgradeDlg).
#include "ProgramIcon.h"
#include "QtMessagePresenter.h"
#include "SorvelVersion.h"
#include "UpgradeApp.h"

#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace {

constexpr const char* kProgram = "Sorvel_User";
constexpr int kExitNoDisplay = 1;
constexpr int kExitUsage = 2;

constexpr const char* kHelp =
    "Usage: Sorvel_User [DIR]\n"
    "\n"
    "Opens the Brevon Box upgrade dialog for the upgrade in folder DIR, the folder that holds\n"
    "Ressources/Configuration.zkf. Without DIR: the current folder when it holds an upgrade,\n"
    "else the folder that loaded last time, else a folder chosen in the dialog that opens.\n"
    "\n"
    "Options:\n"
    "  -h, --help            show this help\n"
    "  --version             show the program's name and version\n"
    "\n"
    "Qt's own options (such as -platform NAME) are accepted as well. The program needs a\n"
    "display ($DISPLAY or $WAYLAND_DISPLAY, or a platform chosen with QT_QPA_PLATFORM);\n"
    "sorvel-cli runs the same upgrade without a window. Opening a serial port needs membership\n"
    "of the dialout group.\n"
    "\n"
    "Exit status: 0 when the dialog has closed, 1 without a display, 2 for wrong usage or a\n"
    "folder that cannot be used.\n";

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Whether QApplication can be constructed without aborting, as far as can be told beforehand.
// A platform chosen by QT_QPA_PLATFORM or -platform is Qt's to judge (offscreen needs nothing).
bool DisplayAvailable(int argc, char* argv[]) {
    if (IsSet("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            break;
        if (arg == "-platform" || arg == "--platform")
            return true;
    }
    return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
}

int UsageError(const std::string& problem) {
    std::cerr << kProgram << ": " << problem << "\n"
              << "Try '" << kProgram << " --help' for more information.\n";
    return kExitUsage;
}

} // namespace

int main(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            break;
        if (arg == "-h" || arg == "--help") {
            std::cout << kHelp;
            return 0;
        }
        if (arg == "--version") {
            std::cout << kProgram << " " << sorvel::kVersion << "\n";
            return 0;
        }
    }
    if (!DisplayAvailable(argc, argv)) {
        std::cerr << kProgram
                  << ": no display is available; use sorvel-cli for an upgrade without a window\n";
        return kExitNoDisplay;
    }

    // Takes Qt's own options out of argc/argv; what is left is the program's.
    QApplication application(argc, argv);

    std::optional<std::string> dir;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg.size() > 1 && arg.front() == '-') {
            return UsageError("unknown option '" + arg + "'");
        } else if (dir) {
            return UsageError("more than one folder given: '" + *dir + "' and '" + arg + "'");
        } else {
            dir = arg;
        }
    }
    if (dir) {
        std::error_code error;
        std::filesystem::current_path(*dir, error);
        if (error) {
            std::cerr << kProgram << ": cannot use folder '" << *dir << "': " << error.message()
                      << "\n";
            return kExitUsage;
        }
    }

    // The program ends when its main dialog closes, not when a message box shown before the
    // dialog (the loader's) closes.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(ProgramIcon());

    CQtMessagePresenter presenter;
    presenter.Install();

    // DIR is the working directory now.
    CUpgradeApp theApp(dir ? "." : "");
    theApp.SetPresenter(&presenter);
    theApp.InitInstance();

    // Threads still waiting for a box get their negative answer; nothing is shown any more.
    presenter.Shutdown();
    return 0;
}
