// The upgrade folder that loaded last, kept per user so that the next start finds it again.
//
// It lives in the program's settings: QSettings of organisation "Sorvel", application
// "Sorvel_User", key "upgradeFolder" (on Linux ~/.config/Sorvel/Sorvel_User.conf). Tests point
// QSettings at a folder of their own (QSettings::setPath) so that they never touch a user's.
//
// GUI thread (QSettings objects are not shared).
#pragma once

#include <string>

// The remembered folder as the system names it, or "" when none is remembered.
std::string RememberedUpgradeFolder();

// Remembers folder (an absolute path) for the next start.
void RememberUpgradeFolder(const std::string& folder);
