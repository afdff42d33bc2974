# The Debian package (cpack -G DEB in a build folder; scripts/package.sh does
# it with the settings that make the package reproducible). One package holds
# the three programs and their pages: a station needs tarnload and, to name
# its adapters, tarnload-ports; tarnsim is a few hundred kilobytes more that
# lets it check its set-up without a device.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnload)
set(CPACK_PACKAGE_VENDOR "The tarnload authors")
set(CPACK_PACKAGE_CONTACT "The tarnload authors <tarnload@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for devices on a serial port")
# CPack puts the summary first and indents these lines itself (a blank line
# becomes the " ." of a new paragraph).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "tarnload updates the firmware of a device on a serial port: it opens the
port at 115200 baud 8E1 (a local port, or one on a network serial server
reached by RFC 2217 or raw TCP), checks the firmware file, brings up a
BCSP link, identifies the device with DFU 1.1 requests, streams the image,
follows manifestation, resets the device and prints the timings.

A port may also be named by the USB identity of its adapter (vendor and
product ID, serial number, location, interface); tarnload-ports lists the
ports present with the name that selects each.

One process updates one device and exits 0 only when the device took the
image, so many devices at once are a job for GNU parallel, on this machine
or on stations reached over SSH.

The package also holds tarnsim, a virtual device on a pseudo-terminal for
trying a set-up without hardware.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)

# Debian's layout for what the install rules put in the doc folder (the
# licence as the copyright file, a changelog, compressed pages) is made in the
# staging folder, after installing and before the package is written.
string(TIMESTAMP CPACK_TARN_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(CPACK_TARN_DOCDIR ${CMAKE_INSTALL_DOCDIR})
set(CPACK_TARN_MANDIR ${CMAKE_INSTALL_MANDIR})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb_layout.cmake)

include(CPack)
