// The application object of Sorvel_User: runs the main dialog modally and ends the program
// when it closes.
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
    // configBaseDir and deviceRoot are passed to the main dialog (see CUpgradeDlg).
    explicit CUpgradeApp(std::string configBaseDir = ".", std::filesystem::path deviceRoot = "/");
    virtual ~CUpgradeApp();
    CUpgradeApp(const CUpgradeApp&) = delete;
    CUpgradeApp& operator=(const CUpgradeApp&) = delete;

    // The presenter whose GUI-thread boxes are modal to the main dialog while it shows, and
    // which shows the dialog's stage prompts. Not owned; it must outlive InitInstance.
    void SetPresenter(CQtMessagePresenter* presenter) { m_pPresenter = presenter; }

    // Constructs the main dialog, makes it the main window, runs it modally and destroys it.
    // Returns false: the program ends when the dialog has closed.
    virtual bool InitInstance();

    // Queues fn(mainDialog) for the main dialog's thread; false when no main dialog is open.
    bool PostToMainWnd(std::function<void(CUpgradeDlg&)> fn);

    // The open main dialog, or null. GUI thread only.
    CUpgradeDlg* GetMainWnd() const { return m_pMainWnd; }

private:
    std::string m_configBaseDir;
    std::filesystem::path m_deviceRoot;
    CQtMessagePresenter* m_pPresenter = nullptr;
    CUpgradeDlg* m_pMainWnd = nullptr; // GUI thread only
    std::mutex m_gateMutex;
    std::shared_ptr<CGuiCallGate> m_mainGate; // guarded by m_gateMutex
};
