#include "ProgramIcon.h"

// The resource file is linked from a static library: its registration has to be pulled in
// explicitly, or the linker drops it. Q_INIT_RESOURCE must stand outside any namespace.
static void RegisterProgramResources() {
    Q_INIT_RESOURCE(Sorvel_User);
}

static const char* const kIconPath = ":/icons/Sorvel_User.xpm";

QPixmap ProgramIconPixmap() {
    static const bool registered = (RegisterProgramResources(), true);
    (void)registered;
    return QPixmap(QString::fromLatin1(kIconPath));
}

QIcon ProgramIcon() {
    return QIcon(ProgramIconPixmap());
}
