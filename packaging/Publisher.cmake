# Who publishes the packages: the Debian package's Maintainer field, and, its name alone, the
# publisher of the Windows installer and the company named in the Windows binaries' version
# blocks. A placeholder until a real one is set (-DSORVEL_PACKAGE_MAINTAINER="Name <address>");
# the address must be one that Debian's tools take for real (not on localhost).
set(SORVEL_PACKAGE_MAINTAINER "Sorvel developers <sorvel@example.org>"
    CACHE STRING "The Debian package's Maintainer field; its name is the Windows publisher")
# Build folders made before kept the first placeholder, on localhost, which lintian rejects.
if(SORVEL_PACKAGE_MAINTAINER STREQUAL "Sorvel developers <sorvel@localhost>")
    set_property(CACHE SORVEL_PACKAGE_MAINTAINER PROPERTY VALUE
                 "Sorvel developers <sorvel@example.org>")
endif()
string(REGEX REPLACE " *<[^>]*> *$" "" SORVEL_PUBLISHER "${SORVEL_PACKAGE_MAINTAINER}")
