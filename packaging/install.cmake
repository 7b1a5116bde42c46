# Install rules and the Debian package of one architecture.
#
# Installed (under /usr in the package, CMAKE_INSTALL_PREFIX with cmake --install):
#   lib/<triplet>/tcap/libtcap.so     the plug-in, which hosts load by path
#   lib/<triplet>/tcap/tcap-host      the sample host of the same architecture
#   include/tcap/lin_tcap.h, gettickcount.h, entry_points.def
#                                     the host's interface and the one list of exports
#   bin/tcap-host                     a script that runs the host matching the plug-in
#
# <triplet> is i386-linux-gnu or x86_64-linux-gnu, so the two builds install
# side by side. The files both packages have in common (the headers and the
# script) are the same bytes in both, which lets dpkg install the two
# "Multi-Arch: same" packages together.
if(TCAP_ARCH STREQUAL "i386")
  set(TCAP_MULTIARCH i386-linux-gnu)
  set(TCAP_DEB_ARCH i386)
else()
  set(TCAP_MULTIARCH x86_64-linux-gnu)
  set(TCAP_DEB_ARCH amd64)
endif()
set(TCAP_INSTALL_DIR lib/${TCAP_MULTIARCH}/tcap)

install(TARGETS tcap LIBRARY DESTINATION ${TCAP_INSTALL_DIR})
install(TARGETS tcap-host RUNTIME DESTINATION ${TCAP_INSTALL_DIR})
install(FILES plugin/lin_tcap.h plugin/gettickcount.h plugin/entry_points.def DESTINATION include/tcap)
install(PROGRAMS packaging/tcap-host DESTINATION bin)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tcap)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "tcap developers <tcap@invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "video test capture plug-in with an animated plasma and solid colours")
# CPack puts the summary above this text.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tcap is a capture plug-in without a device: host media applications load it
as a shared library, look its entry points up by name and pull 24-bit
frames (blue, green, red) of four inputs from it: an animated colour plasma
and solid red, green and blue.
.
The package holds the plug-in, the headers of its host interface, and
tcap-host, a sample host that captures frames to PNG files or a raw stream
and checks any plug-in of this interface for what a host would suffer.")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TCAP_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends is read from the built files when the package is made (see
# depends.cmake): the C library version their symbols need, and the C++
# runtime of the compiler for tcap-host.
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/CPackDepends.cmake CONTENT
  "set(TCAP_PACKAGED_FILES \"$<TARGET_FILE:tcap>;$<TARGET_FILE:tcap-host>\")\ninclude(${PROJECT_SOURCE_DIR}/packaging/depends.cmake)\n")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackDepends.cmake)
# CPack writes no Multi-Arch field; this adds it to the built package.
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/multiarch.cmake)
include(CPack)

# A test of the package itself: built, unpacked into a scratch root, and the
# installed host run on the installed plug-in. Not for the sanitized build,
# whose plug-in needs the sanitizer runtime of the program that loads it.
if(BUILD_TESTING AND NOT TCAP_SANITIZE)
  add_test(NAME package.deb
    COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/package_test.sh
      "${CMAKE_CROSSCOMPILING_EMULATOR}" ${TCAP_DEB_ARCH} ${TCAP_MULTIARCH}
      ${CMAKE_BINARY_DIR}/CPackConfig.cmake ${CMAKE_BINARY_DIR}/package-test.work)
endif()
