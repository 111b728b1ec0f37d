// The window menu (system menu) of a top-level window, where the platform lets a program add
// entries of its own. The Qt program runs on X11 and Wayland, whose window managers keep that
// menu to themselves: there nothing is added, and the program offers the same entries elsewhere
// (the main dialog uses its context menu and F1). The Windows program has its own views.
//
// GUI thread.
#pragma once

#include <QByteArray>
#include <QString>

class QWidget;

// Appends a separator and a string entry with command `commandId` and `text` to the window's
// system menu. False when the platform has no such menu for programs (nothing is added).
bool AppendToSystemMenu(QWidget* window, unsigned commandId, const QString& text);

// For a native event of the window (QWidget::nativeEvent): true when it is a system-menu
// command, with the command's id in *pCommandId.
bool SystemCommandOf(const QByteArray& eventType, void* message, unsigned* pCommandId);
