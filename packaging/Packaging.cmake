# The installation's desktop entry, icon, man pages and documentation, and the Debian package made
# from the whole installation with CPack (make package; packaging/check-package checks the
# result, lintian included). Included from the top-level CMakeLists.txt, after every program is
# defined.

include(${CMAKE_CURRENT_LIST_DIR}/Publisher.cmake)
set(sorvel_packaging_dir ${CMAKE_CURRENT_LIST_DIR})
set(sorvel_packaging_out ${PROJECT_BINARY_DIR}/packaging)

# The desktop menu's entries, for the dialog program and for the station (in a terminal, which
# shows its address and stops it with Ctrl-C; it opens its page in the browser), and their icon
# (found by name in pixmaps/).
install(FILES ${sorvel_packaging_dir}/Sorvel_User.desktop
              ${sorvel_packaging_dir}/sorvel-station.desktop
        DESTINATION share/applications)
install(FILES ${PROJECT_SOURCE_DIR}/resources/Sorvel_User.xpm DESTINATION share/pixmaps)

# The Debian changelog's latest entry: its version is the package's, its date the man pages'.
file(STRINGS ${sorvel_packaging_dir}/debian/changelog sorvel_changelog_top LIMIT_COUNT 1)
string(REGEX REPLACE "^sorvel \\(([^)]*)\\).*" "\\1" sorvel_debian_version
                     "${sorvel_changelog_top}")
file(STRINGS ${sorvel_packaging_dir}/debian/changelog sorvel_changelog_trailer
     REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX MATCH ", ([0-9]+) ([A-Z][a-z][a-z]) ([0-9]+) " sorvel_changelog_date
                   "${sorvel_changelog_trailer}")
set(sorvel_day ${CMAKE_MATCH_1})
set(sorvel_year ${CMAKE_MATCH_3})
set(sorvel_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND sorvel_months "${CMAKE_MATCH_2}" sorvel_month)
math(EXPR sorvel_month "${sorvel_month} + 1")
string(REGEX REPLACE "^(.)$" "0\\1" sorvel_month "${sorvel_month}")
string(REGEX REPLACE "^(.)$" "0\\1" sorvel_day "${sorvel_day}")
set(SORVEL_MAN_DATE "${sorvel_year}-${sorvel_month}-${sorvel_day}")

# Man pages, written for each program (packaging/man), with the version and date put in, gzipped
# as Debian keeps them.
set(sorvel_man_pages)
foreach(program Sorvel_User sorvel-cli sorvel-config sorvel-record sorvel-station sorvel-boxsim)
    set(page ${sorvel_packaging_out}/man/${program}.1)
    configure_file(${sorvel_packaging_dir}/man/${program}.1.in ${page} @ONLY)
    add_custom_command(OUTPUT ${page}.gz
                       COMMAND gzip -9nkf ${page}
                       DEPENDS ${page}
                       COMMENT "Man page of ${program}"
                       VERBATIM)
    list(APPEND sorvel_man_pages ${page}.gz)
endforeach()

# Debian's documentation folder: the machine-readable copyright file, the changelog and a README.
set(sorvel_doc ${sorvel_packaging_out}/doc)
configure_file(${sorvel_packaging_dir}/debian/copyright.in ${sorvel_doc}/copyright @ONLY)
configure_file(${sorvel_packaging_dir}/debian/changelog ${sorvel_doc}/changelog.Debian COPYONLY)
add_custom_command(OUTPUT ${sorvel_doc}/changelog.Debian.gz
                   COMMAND gzip -9nkf ${sorvel_doc}/changelog.Debian
                   DEPENDS ${sorvel_doc}/changelog.Debian
                   VERBATIM)
add_custom_target(sorvel_documentation ALL DEPENDS ${sorvel_man_pages}
                                                   ${sorvel_doc}/changelog.Debian.gz)
install(FILES ${sorvel_man_pages} DESTINATION share/man/man1)
install(FILES ${sorvel_doc}/copyright ${sorvel_doc}/changelog.Debian.gz
              ${sorvel_packaging_dir}/debian/README
        DESTINATION share/doc/sorvel)

# One Debian package of everything installed: the six programs, the engine and platform
# libraries (private, in /usr/lib/sorvel, with the engine's headers), the desktop entries, the
# icon, the man pages and the documentation. The programs find the libraries through their
# RUNPATH, so the package also works unpacked anywhere (dpkg-deb -x). Tests, benchmarks and
# fuzzers have no install rules and stay out.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The Debian revision: the part of the changelog's version after the project's.
string(REGEX REPLACE "^.*-" "" CPACK_DEBIAN_PACKAGE_RELEASE "${sorvel_debian_version}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SORVEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the libraries the programs load (libqt6widgets6, zlib1g, libc6, ...).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# sorvel-station --open (the station's desktop entry) opens its page with xdg-open.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "firmware upgrade tool for the Brevon set-top box
Sorvel uploads new firmware to a Brevon digital set-top box and to its
cartridge over a serial cable. Start the Brevon Box Upgrade tool from the
desktop menu, or Sorvel_User DIR in or for the folder of an upgrade (the
folder that holds Ressources/Configuration.zkf), pick the serial port and the
update mode, and press Start Upload.
.
Opening a serial port needs membership of the dialout group: run
sudo usermod -aG dialout $USER, then log in again.
.
Also included: sorvel-cli (the same upgrade without a window), sorvel-config
(make, show and verify configuration files), sorvel-record (list, sum up and
export the record of upgrade attempts), sorvel-station (the Brevon Box
Upgrade station: several boxes at once, one per serial port, from a web page
on 127.0.0.1:8421), sorvel-boxsim (a simulated box on a pseudo-terminal),
and the upload engine libTarvik_Dll, private to these programs, with its
header.")
include(CPack)
