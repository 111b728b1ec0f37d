// Facts about the running program and the file system that the system takes from Windows:
// the program file's path and the application title, and paths written with backslashes.
// Any thread.
#pragma once

#include "PlatformExport.h"

#include <string>
#include <string_view>

namespace sorvel {

// Full path of the running program's file (not of a library), or "" if it cannot be found.
SORVEL_PLATFORM_API std::string ProgramFilePath();

// The program file's name without directory and without its extension ("Sorvel_User").
SORVEL_PLATFORM_API std::string ApplicationTitle();

// The program file's name without directory and extension, followed by the literal ".exe":
// the caption of the serial channel's error messages ("Sorvel_User.exe").
SORVEL_PLATFORM_API std::string ProgramExeCaption();

// A path as the platform opens it. Configuration files may have been written on Windows: on
// POSIX every backslash becomes a slash (Windows takes the path as it stands), so
// ".\Ressources\Configuration.zkf" opens as
// "./Ressources/Configuration.zkf". Other characters are kept.
SORVEL_PLATFORM_API std::string NativePath(std::string_view path);

// Text of a C library error number ("Permission denied"), thread-safe.
SORVEL_PLATFORM_API std::string SystemErrorText(int errorNumber);

// Windows only: text of a Win32 error code (GetLastError), without its line end; "error N" when
// the system has none.
SORVEL_PLATFORM_API std::string Win32ErrorText(unsigned long code);

} // namespace sorvel
