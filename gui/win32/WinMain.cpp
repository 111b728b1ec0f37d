// Sorvel_User on Windows: shows the main dialog and ends when it closes. The configuration
// ".\Ressources\Configuration.zkf" and the upload paths it names are relative to the working
// directory; "Sorvel_User.exe DIR" runs in the upgrade's folder DIR instead.
#include "Program.h"
#include "Win32MessagePresenter.h"
#include "Win32UpgradeDlg.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

constexpr int kExitNoDialog = 1;
constexpr int kExitWrongUsage = 2;

// Moves into the folder named on the command line, if any; false (after saying why) when the
// folder cannot be used or more than one is named.
bool EnterUpgradeFolder() {
    if (__argc <= 1)
        return true;
    std::string text;
    if (__argc > 2) {
        text = "Give one folder: Sorvel_User.exe [DIR]";
    } else if (!SetCurrentDirectoryA(__argv[1])) {
        text = std::string("Cannot use folder '") + __argv[1] + "':\n" +
               sorvel::Win32ErrorText(GetLastError());
    } else {
        return true;
    }
    MessageBoxA(nullptr, text.c_str(), sorvel::ApplicationTitle().c_str(), MB_OK | MB_ICONERROR);
    return false;
}

} // namespace

int WINAPI WinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/,
                   int /*nShowCmd*/) {
    if (!EnterUpgradeFolder())
        return kExitWrongUsage;
    // Every message of the process (the loader's, the serial channel's, the sequencer's) as a
    // Windows message box, modal to the main dialog when a button handler shows it.
    CWin32MessagePresenter presenter;
    presenter.Install();

    int result = 0;
    {
        CWin32UpgradeDlg dlg;
        dlg.SetPresenter(&presenter);
        if (dlg.DoModal() == -1) {
            const DWORD error = GetLastError();
            const std::string text =
                "The main window could not be created:\n" + sorvel::Win32ErrorText(error);
            MessageBoxA(nullptr, text.c_str(), sorvel::ApplicationTitle().c_str(),
                        MB_OK | MB_ICONERROR);
            result = kExitNoDialog;
        }
    }
    // Prompts still open close now; nothing is shown any more.
    presenter.Shutdown();
    return result;
}
