// Sorvel_User on Windows: shows the main dialog and ends when it closes. No command line: the
// configuration ".\Ressources\Configuration.zkf" and the upload paths it names are relative to
// the working directory.
#include "Program.h"
#include "Win32MessagePresenter.h"
#include "Win32UpgradeDlg.h"

#include <windows.h>

#include <string>

namespace {

constexpr int kExitNoDialog = 1;

} // namespace

int WINAPI WinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/,
                   int /*nShowCmd*/) {
    // Every message of the process (the loader's, the serial channel's, the sequencer's) as a
    // Windows message box, modal to the main dialog when a button handler shows it.
    CWin32MessagePresenter presenter;
    presenter.Install();

    int result = 0;
    {
        CUpgradeDlg dlg;
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
