# SPDX-License-Identifier: GPL-2.0-or-later
#
# A Debian package of ovint for the Wireshark the build found: ovint.so in
# that Wireshark's system plug-in folder, depending on the library package
# that ships its libwireshark (dpkg-shlibdeps reads that from the host's own
# packages). Built with: cmake --build BUILD --target package

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ovint)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The package is for one Wireshark release series, and says which.
set(CPACK_DEBIAN_PACKAGE_RELEASE "ws${HOST_SERIES}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Wireshark plug-in for BRAXEL TAP VESTRIL trailers")
# The summary is the description's first line; CPack indents the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"The BRAXEL TAP VESTRIL network TAP appends a 20-byte trailer to every
Ethernet frame it passes on: the TAP port that saw the frame, the receive
errors it flagged, an FCS and a nanosecond timestamp from the TAP's clock.

This plug-in finds the trailer in each frame, hands the Ethernet frame to
Wireshark's own dissector, shows the trailer under the display filter
names ovint.*, re-times every frame from the TAP's clock, and counts
frames and errors per port (Statistics, or tshark -z ovint,tree).

Built for Wireshark ${HOST_SERIES}.")
set(OVINT_PACKAGE_MAINTAINER "ovint developers <maintainers@ovint.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${OVINT_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Without Wireshark or tshark nothing would load the plug-in.
set(CPACK_DEBIAN_PACKAGE_ENHANCES "wireshark, tshark")

# Debian's place for the licence.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION share/doc/ovint RENAME copyright)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
