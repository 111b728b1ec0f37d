// The program icon (16 x 16, 24-bit colour), compiled into the program from resources/.
// GUI thread.
#pragma once

#include <QIcon>
#include <QPixmap>

// The icon of the main dialog, the About box and the program's taskbar entry.
QIcon ProgramIcon();
// The icon's image at its own size.
QPixmap ProgramIconPixmap();
