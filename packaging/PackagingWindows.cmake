# The Windows package: one zip (make package-windows) of what the Windows build installs, with a
# short text on using it. At its top Sorvel_User.exe, sorvel-cli.exe, sorvel-config.exe and the
# DLLs they load; include/ and lib/ hold Tarvik.h and the import library for other clients of
# Tarvik_Dll.dll. No installer: the folder works wherever it is unpacked.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/windows/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Sorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME Sorvel-${PROJECT_VERSION}-win64)
# The files inside one folder of the same name, as a zip from the web usually is.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
