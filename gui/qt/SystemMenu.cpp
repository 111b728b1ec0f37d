// X11 and Wayland: the window manager owns the window menu; programs cannot add to it.
#include "SystemMenu.h"

bool AppendToSystemMenu(QWidget*, unsigned, const QString&) {
    return false;
}

bool SystemCommandOf(const QByteArray&, void*, unsigned*) {
    return false;
}
