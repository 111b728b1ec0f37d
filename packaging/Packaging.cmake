# The installation's desktop files and man pages, and the Debian package made from the whole
# installation with CPack (make package; packaging/check-package checks the result).
# Included from the top-level CMakeLists.txt, after every program is defined.

set(sorvel_packaging_dir ${CMAKE_CURRENT_LIST_DIR})

# The desktop menu's entry for the dialog program and its icon (found by name in pixmaps/).
install(FILES ${sorvel_packaging_dir}/Sorvel_User.desktop DESTINATION share/applications)
install(FILES ${PROJECT_SOURCE_DIR}/resources/Sorvel_User.xpm DESTINATION share/pixmaps)

# Man pages, made from each program's --help and --version by help2man and gzipped as Debian
# keeps them. The programs run while building, so not in a sanitizer build; without help2man
# there are no man pages (scripts/install-deps installs it).
find_program(SORVEL_HELP2MAN help2man)
if(SORVEL_HELP2MAN AND NOT SORVEL_SANITIZERS)
    set(sorvel_man_names
        "Sorvel_User=dialog program that upgrades the firmware of a Brevon set-top box"
        "sorvel-cli=upgrade a Brevon set-top box without a window"
        "sorvel-config=make, show and verify Sorvel configuration files"
        "sorvel-boxsim=simulated Brevon set-top box on a pseudo-terminal")
    set(sorvel_man_pages)
    foreach(entry IN LISTS sorvel_man_names)
        string(REPLACE "=" ";" entry "${entry}")
        list(GET entry 0 program)
        list(GET entry 1 summary)
        set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
        add_custom_command(
            OUTPUT ${page}.gz
            COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
            # Without a display Sorvel_User still answers --help and --version.
            COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
                    ${SORVEL_HELP2MAN} --no-info --section=1 --manual=Sorvel
                    "--name=${summary}" --output=${page} $<TARGET_FILE:${program}>
            COMMAND gzip -9nf ${page}
            DEPENDS ${program}
            COMMENT "Man page of ${program}"
            VERBATIM)
        list(APPEND sorvel_man_pages ${page}.gz)
    endforeach()
    add_custom_target(sorvel_man_pages ALL DEPENDS ${sorvel_man_pages})
    install(FILES ${sorvel_man_pages} DESTINATION share/man/man1)
endif()

# One Debian package of everything installed: the four programs, the engine and platform
# libraries (with the engine's headers), the desktop entry, the icon and the man pages. The
# programs find the libraries through their RUNPATH, so the package also works unpacked anywhere
# (dpkg-deb -x). Tests, benchmarks and fuzzers have no install rules and stay out.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(SORVEL_PACKAGE_MAINTAINER "Sorvel developers <sorvel@localhost>"
    CACHE STRING "The Debian package's Maintainer field")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SORVEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the libraries the programs load (libqt6widgets6, zlib1g, libc6, ...).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "firmware upgrade tool for the Brevon set-top box
Sorvel uploads new firmware to a Brevon digital set-top box and to its
cartridge over a serial cable. Start Sorvel_User from the desktop menu or as
Sorvel_User DIR, in or for the folder of an upgrade (the folder that holds
Ressources/Configuration.zkf), pick the serial port and the update mode, and
press Start Upload.
.
Opening a serial port needs membership of the dialout group: run
sudo usermod -aG dialout $USER, then log in again.
.
Also included: sorvel-cli (the same upgrade without a window), sorvel-config
(make, show and verify configuration files), sorvel-boxsim (a simulated box
on a pseudo-terminal), and the upload engine libTarvik_Dll with its header.")
include(CPack)
