// Sorvel_User on Windows: shows the main dialog and ends when it closes. The configuration
// ".\Ressources\Configuration.zkf" and the upload paths it names are relative to the upgrade
// folder, which becomes the working directory. The folder loaded first is the one named on the
// command line ("Sorvel_User.exe DIR"); without one, the folder the program was started in when
// it holds an upgrade, else the folder that loaded last time when it still holds one, else the
// start folder, whose load says what is missing and offers the folder chooser.
#include "Program.h"
#include "UpgradeDlgLogic.h"
#include "Win32MessagePresenter.h"
#include "Win32UpgradeDlg.h"
#include "Win32UpgradeFolder.h"

#include <objbase.h>
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

constexpr int kExitNoDialog = 1;
constexpr int kExitWrongUsage = 2;

// The folder named on the command line as an absolute path, "" when none is named; false (after
// saying why) when the folder cannot be used or more than one is named.
bool CommandLineFolder(std::string* pFolder) {
    pFolder->clear();
    if (__argc <= 1)
        return true;
    std::string text;
    if (__argc > 2) {
        text = "Give one folder: Sorvel_User.exe [DIR]";
    } else if (!SetCurrentDirectoryA(__argv[1])) {
        text = std::string("Cannot use folder '") + __argv[1] + "':\n" +
               sorvel::Win32ErrorText(GetLastError());
    } else {
        char folder[MAX_PATH] = {};
        const DWORD length = GetCurrentDirectoryA(MAX_PATH, folder);
        *pFolder = length > 0 && length < MAX_PATH ? folder : __argv[1];
        return true;
    }
    MessageBoxA(nullptr, text.c_str(), sorvel::ApplicationTitle().c_str(), MB_OK | MB_ICONERROR);
    return false;
}

// COM for the shell's folder chooser, on the dialog's thread, for the life of the program.
class ComApartment {
public:
    ComApartment()
        : m_bInitialised(SUCCEEDED(
              CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
    ~ComApartment() {
        if (m_bInitialised)
            CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool m_bInitialised;
};

} // namespace

int WINAPI WinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/,
                   int /*nShowCmd*/) {
    std::string commandLineFolder;
    if (!CommandLineFolder(&commandLineFolder))
        return kExitWrongUsage;
    const ComApartment com;
    // Every message of the process (the loader's, the serial channel's, the sequencer's) as a
    // Windows message box, modal to the main dialog when a button handler shows it.
    CWin32MessagePresenter presenter;
    presenter.Install();

    int result = 0;
    {
        CWin32UpgradeDlg dlg(
            FirstUpgradeFolder(commandLineFolder, ".", sorvel::RememberedUpgradeFolder()));
        dlg.SetPresenter(&presenter);
        dlg.SetFolderServices(&sorvel::ChooseUpgradeFolder, &sorvel::RememberUpgradeFolder);
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
