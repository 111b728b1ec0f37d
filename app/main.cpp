// Sorvel_User: the firmware upgrade tool's dialog program.
#include "ProgramIcon.h"
#include "QtMessagePresenter.h"
#include "UpgradeApp.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    // The program ends when its main dialog closes, not when a message box shown before the
    // dialog (the loader's) closes.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(ProgramIcon());

    CQtMessagePresenter presenter;
    presenter.Install();

    CUpgradeApp theApp;
    theApp.SetPresenter(&presenter);
    theApp.InitInstance();

    // Threads still waiting for a box get their negative answer; nothing is shown any more.
    presenter.Shutdown();
    return 0;
}
