// The application object of Sorvel_User: finds the upgrade folder to load first, runs the main
// dialog modally and ends the program when it closes.
//
// The folder to load first (FirstUpgradeFolder): the one named on the command line; without
// one, the working directory when it holds an upgrade, else the folder remembered from the last
// load (UpgradeFolderSettings.h) when it still holds one, else the working directory.
//
// The program's message boxes carry the application title (the program file's name without
// extension) as their caption; that comes from the platform layer (sorvel::AfxMessageBox).
//
// Threads: InitInstance on the GUI thread. PostToMainWnd from any thread: it hands a call to the
// main dialog's thread, and drops it when no main dialog is open (before InitInstance shows it,
// or after it has ended), so that nothing posted reaches a dialog that is gone.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class CGuiCallGate;
class CQtMessagePresenter;
class CUpgradeDlg;

class CUpgradeApp {
public:
    // commandLineFolder: the folder named on the command line, "" for none. deviceRoot is passed
    // to the main dialog (see CUpgradeDlg).
    explicit CUpgradeApp(std::string commandLineFolder = "",
                         std::filesystem::path deviceRoot = "/");
    virtual ~CUpgradeApp();
    CUpgradeApp(const CUpgradeApp&) = delete;
    CUpgradeApp& operator=(const CUpgradeApp&) = delete;

    // The presenter whose GUI-thread boxes are modal to the main dialog while it shows, and
    // which shows the dialog's stage prompts. Not owned; it must outlive InitInstance.
    void SetPresenter(CQtMessagePresenter* presenter) { m_pPresenter = presenter; }

    // The folder that the main dialog loads first (see the header comment).
    std::string FirstFolder() const;

    // Constructs the main dialog on FirstFolder(), makes it the main window, runs it modally and
    // destroys it. Returns false: the program ends when the dialog has closed.
    virtual bool InitInstance();

    // Queues fn(mainDialog) for the main dialog's thread; false when no main dialog is open.
    bool PostToMainWnd(std::function<void(CUpgradeDlg&)> fn);

    // The open main dialog, or null. GUI thread only.
    CUpgradeDlg* GetMainWnd() const { return m_pMainWnd; }

private:
    std::string m_commandLineFolder;
    std::filesystem::path m_deviceRoot;
    CQtMessagePresenter* m_pPresenter = nullptr;
    CUpgradeDlg* m_pMainWnd = nullptr; // GUI thread only
    std::mutex m_gateMutex;
    std::shared_ptr<CGuiCallGate> m_mainGate; // guarded by m_gateMutex
};
