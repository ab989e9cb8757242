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

The plug-in ovint finds the trailer in each frame, hands the Ethernet
frame to Wireshark's own dissector, shows the trailer under the display
filter names ovint.*, re-times every frame from the TAP's clock, counts
frames and errors per port, and matches the two sightings of a frame
forwarded by a device between the TAP's links for its latency
(Statistics, or tshark -z ovint,tree and -z ovint_latency,tree).

The program ovint-export writes such a capture as standard pcapng for
every other tool: trailers removed, frames timed from the TAP's clock,
one interface per TAP port, the TAP's error flags as packet flags.

The program ovint-latency reports, for captures of any size, how long a
device between the TAP's links holds each frame (percentiles, jitter),
the frames never seen on the other link, and each port's bursts, with
tables for other tools and a picture drawn by gnuplot.

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
# ovint-latency --plot draws with gnuplot, either build of it;
# ovint-latency-dask, a Python program, runs on Dask's distributed scheduler.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnuplot-nox | gnuplot, python3-distributed")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")

# Debian's documents: the licence in Debian's machine-readable form (the
# GPL itself is in /usr/share/common-licenses), the package's changelog and
# the programs' manual pages: what --help says (help2man), then the text of
# the program's manual under docs/ (lowdown turns its Markdown into roff,
# cmake/debian/manual-include.sh hands that to help2man).
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright DESTINATION share/doc/ovint)
# Watching a device live: a systemd unit running dumpcap into ovint-latency
# (a template, enabled per capture interface, none by the package), and a
# Prometheus scrape configuration and alert rules to copy and adapt.
install(FILES ${PROJECT_SOURCE_DIR}/latency/service/ovint-latency@.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/latency/service/prometheus-scrape.yml
              ${PROJECT_SOURCE_DIR}/latency/service/ovint-alerts.yml
        DESTINATION share/doc/ovint/examples)
set(OVINT_DEBIAN_VERSION "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
find_program(GZIP gzip REQUIRED)
find_program(HELP2MAN help2man REQUIRED)
find_program(LOWDOWN lowdown REQUIRED)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    COMMAND ${GZIP} -9nf -k ${PROJECT_BINARY_DIR}/debian/changelog.Debian
    DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian)
set(debian_documents ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz DESTINATION share/doc/ovint)
set(ovint-export_summary "TAP captures of a BRAXEL TAP VESTRIL as standard pcapng")
set(ovint-latency_summary "latency, loss and bursts across the links of a BRAXEL TAP VESTRIL")
set(ovint-latency-dask_summary "ovint-latency on a Dask cluster")
set(ovint-export_manual ${PROJECT_SOURCE_DIR}/docs/ovint-export.md)
set(ovint-latency_manual ${PROJECT_SOURCE_DIR}/docs/ovint-latency.md)
set(ovint-latency-dask_manual ${PROJECT_SOURCE_DIR}/docs/cluster.md)
set(ovint-export_see_also "ovint-latency(1), tshark(1), editcap(1)")
set(ovint-latency_see_also "ovint-latency-dask(1), ovint-export(1), tshark(1), gnuplot(1)")
set(ovint-latency-dask_see_also "ovint-latency(1), dask(1)")
set(manual_programs)
foreach(program ovint-export ovint-latency)
    if(TARGET ${program})
        list(APPEND manual_programs ${program})
        set(${program}_path $<TARGET_FILE:${program}>)
        set(${program}_built ${program})
    endif()
endforeach()
if(TARGET ovint-latency)
    list(APPEND manual_programs ovint-latency-dask)
    set(ovint-latency-dask_path ${PROJECT_BINARY_DIR}/ovint-latency-dask)
    set(ovint-latency-dask_built ${PROJECT_BINARY_DIR}/ovint-latency-dask)
endif()
foreach(program ${manual_programs})
    set(manual ${PROJECT_BINARY_DIR}/debian/${program}.1)
    set(include ${PROJECT_BINARY_DIR}/debian/${program}.h2m)
    file(WRITE ${PROJECT_BINARY_DIR}/debian/${program}.see-also "[SEE ALSO]\n${${program}_see_also}\n")
    add_custom_command(OUTPUT ${manual}.gz
        COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/debian/manual-include.sh ${${program}_manual} ${include}
        COMMAND ${HELP2MAN} --no-info --no-discard-stderr --name "${${program}_summary}"
                --include ${include} --include ${PROJECT_BINARY_DIR}/debian/${program}.see-also
                --output ${manual} ${${program}_path}
        COMMAND ${GZIP} -9nf ${manual}
        DEPENDS ${${program}_built} ${${program}_manual}
                ${CMAKE_CURRENT_LIST_DIR}/debian/manual-include.sh
        VERBATIM)
    list(APPEND debian_documents ${manual}.gz)
    install(FILES ${manual}.gz DESTINATION share/man/man1)
endforeach()
add_custom_target(debian_documents ALL DEPENDS ${debian_documents})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
