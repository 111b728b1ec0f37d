// Where Sorvel_User on Windows finds its upgrade folder besides its command line and the folder
// it was started in: the folder that loaded last time, kept per user in the registry, and the
// system's folder chooser.
//
// The folder is kept as text (REG_SZ) in HKEY_CURRENT_USER\Software\Sorvel\Sorvel_User, value
// "UpgradeFolder". Failures to read or write it are not reported: without it the program only
// starts in its start folder, as it did before it remembered anything.
//
// Threads: the registry functions from any thread; the chooser on a thread with a message loop
// that has initialised COM as a single-threaded apartment (the dialog's thread).
#pragma once

#include <windows.h>

#include <string>

namespace sorvel {

// The registry key (below HKEY_CURRENT_USER) and value that keep the folder.
inline constexpr const char* kSettingsKey = "Software\\Sorvel\\Sorvel_User";
inline constexpr const char* kUpgradeFolderValue = "UpgradeFolder";

// The folder kept by RememberUpgradeFolder, or "" when none is kept.
std::string RememberedUpgradeFolder();
// Keeps folder for the next start.
void RememberUpgradeFolder(const std::string& folder);

// The shell's folder chooser, titled "Open upgrade folder", modal to hOwner (may be null) and
// opened at from when that folder exists. Returns the folder chosen, or "" when the user
// cancelled or the chooser could not be shown.
std::string ChooseUpgradeFolder(HWND hOwner, const std::string& from);

} // namespace sorvel
