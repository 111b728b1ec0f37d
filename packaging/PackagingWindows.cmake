# The Windows package: one zip (make package-windows) of what the Windows build installs, with a
# short text on using it. At its top Sorvel_User.exe, sorvel-cli.exe, sorvel-config.exe and the
# DLLs they load; include/ and lib/ hold Tarvik.h and the import library for other clients of
# Tarvik_Dll.dll. No installer: the folder works wherever it is unpacked.
include(${CMAKE_CURRENT_LIST_DIR}/Publisher.cmake)
include(${PROJECT_SOURCE_DIR}/cmake/VersionResource.cmake)

# Every program and DLL carries a version block.
sorvel_version_resource(Sorvel_User "Brevon Box Upgrade tool")
sorvel_version_resource(sorvel-cli "Brevon Box upgrade from the command line")
sorvel_version_resource(sorvel-config "Makes, shows and verifies Sorvel configuration files")
sorvel_version_resource(Tarvik_Dll "Brevon Box upload engine")
sorvel_version_resource(sorvel_platform "Sorvel platform layer")

install(FILES ${CMAKE_CURRENT_LIST_DIR}/windows/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Sorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME Sorvel-${PROJECT_VERSION}-win64)
# The files inside one folder of the same name, as a zip from the web usually is.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
