#include "UpgradeApp.h"

#include "GuiCallGate.h"
#include "QtMessagePresenter.h"
#include "UpgradeDlg.h"
#include "UpgradeDlgLogic.h"
#include "UpgradeFolderSettings.h"

CUpgradeApp::CUpgradeApp(std::string commandLineFolder, std::filesystem::path deviceRoot)
    : m_commandLineFolder(std::move(commandLineFolder)), m_deviceRoot(std::move(deviceRoot)) {}

CUpgradeApp::~CUpgradeApp() = default;

std::string CUpgradeApp::FirstFolder() const {
    return FirstUpgradeFolder(m_commandLineFolder, ".", RememberedUpgradeFolder());
}

bool CUpgradeApp::InitInstance() {
    CUpgradeDlg dlg(nullptr, FirstFolder(), m_deviceRoot);
    m_pMainWnd = &dlg;
    {
        std::lock_guard lock(m_gateMutex);
        m_mainGate = dlg.CallGate();
    }
    if (m_pPresenter) {
        m_pPresenter->SetOwner(&dlg, dlg.CallGate());
        dlg.SetPresenter(m_pPresenter);
    }

    dlg.DoModal();

    if (m_pPresenter)
        m_pPresenter->SetOwner(nullptr);
    {
        std::lock_guard lock(m_gateMutex);
        m_mainGate.reset();
    }
    m_pMainWnd = nullptr;
    return false;
}

bool CUpgradeApp::PostToMainWnd(std::function<void(CUpgradeDlg&)> fn) {
    std::shared_ptr<CGuiCallGate> gate;
    {
        std::lock_guard lock(m_gateMutex);
        gate = m_mainGate;
    }
    if (!gate)
        return false;
    // The gate is closed before the dialog is destroyed, so the dialog is alive whenever the
    // call runs. The pointer is read on the dialog's thread, inside the call.
    return gate->Post([this, fn = std::move(fn)] {
        if (m_pMainWnd)
            fn(*m_pMainWnd);
    });
}
