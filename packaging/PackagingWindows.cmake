# The Windows packages (make package-windows) of what the Windows build installs: a Windows
# Installer package (packaging/windows/Sorvel.wxs, built by packaging/windows/make-msi with wixl)
# and a zip for those who cannot install. Both hold Sorvel_User.exe, sorvel-cli.exe,
# sorvel-config.exe, sorvel-record.exe, sorvel-station.exe and the DLLs they load at their top,
# include/ and lib/ with Tarvik.h and the import library for other clients of Tarvik_Dll.dll, and
# README.txt. The zip's folder works wherever it is unpacked.
include(${CMAKE_CURRENT_LIST_DIR}/Publisher.cmake)
include(${PROJECT_SOURCE_DIR}/cmake/VersionResource.cmake)

# Every program and DLL carries a version block.
sorvel_version_resource(Sorvel_User "Brevon Box Upgrade tool")
sorvel_version_resource(sorvel-cli "Brevon Box upgrade from the command line")
sorvel_version_resource(sorvel-config "Makes, shows and verifies Sorvel configuration files")
sorvel_version_resource(sorvel-record "Lists, sums up and exports the record of upgrades")
sorvel_version_resource(sorvel-station "Upgrades many Brevon boxes at once, one per serial port")
sorvel_version_resource(Tarvik_Dll "Brevon Box upload engine")
sorvel_version_resource(sorvel_platform "Sorvel platform layer")

# The text for Windows users, with Windows line ends (Notepad before Windows 10 shows LF-only
# text as one line).
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/README.txt
               ${PROJECT_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/packaging/README.txt DESTINATION .)

# What make-msi passes to wixl besides the files: the package's version and publisher.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/packaging/wixl-defines CONTENT
"Version=${PROJECT_VERSION}
Publisher=${SORVEL_PUBLISHER}
")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Sorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME Sorvel-${PROJECT_VERSION}-win64)
# The files inside one folder of the same name, as a zip from the web usually is.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
