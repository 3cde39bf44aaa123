# Installation and the Debian package (scripts/package.sh runs CPack on a release tree).
#
# Debian 12 ships mbedTLS 2.28 only, so an installable package carries mbedTLS 3.6 inside its
# binaries: with TWK_STATIC_MBEDTLS the three libraries are linked from their static archives
# (libmbedtls-dev installs them next to the shared ones).
option(TWK_STATIC_MBEDTLS "Link mbedTLS statically (for packages that install on Debian 12)" OFF)
if(TWK_STATIC_MBEDTLS)
  foreach(lib mbedcrypto mbedx509 mbedtls)
    find_library(TWK_${lib}_ARCHIVE NAMES lib${lib}.a REQUIRED)
    # Global, so that every layer's plain "mbedtls" link item resolves to the archive.
    add_library(${lib} STATIC IMPORTED GLOBAL)
    set_target_properties(${lib} PROPERTIES IMPORTED_LOCATION ${TWK_${lib}_ARCHIVE})
  endforeach()
  set_target_properties(mbedtls PROPERTIES INTERFACE_LINK_LIBRARIES "mbedx509;mbedcrypto")
  set_target_properties(mbedx509 PROPERTIES INTERFACE_LINK_LIBRARIES mbedcrypto)
endif()

include(GNUInstallDirs)
install(TARGETS tarnwick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET twk)
  install(TARGETS twk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The menu launcher and the twk: link handler point at the installed program.
set(TWK_EXEC ${CMAKE_INSTALL_FULL_BINDIR}/tarnwick)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tarnwick.desktop.in ${CMAKE_CURRENT_BINARY_DIR}/tarnwick.desktop @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tarnwick-url.desktop.in ${CMAKE_CURRENT_BINARY_DIR}/tarnwick-url.desktop
               @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarnwick.desktop ${CMAKE_CURRENT_BINARY_DIR}/tarnwick-url.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tarnwick.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/scripts/package/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The static mbedTLS is deliberate (see above); lintian is told so.
install(FILES ${PROJECT_SOURCE_DIR}/scripts/package/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME tarnwick)

# Manual pages, compressed as Debian wants them.
foreach(page twk tarnwick)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${page}.1.gz
                     COMMAND gzip -n -9 -c ${PROJECT_SOURCE_DIR}/scripts/package/${page}.1 >
                             ${CMAKE_CURRENT_BINARY_DIR}/${page}.1.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/scripts/package/${page}.1)
  list(APPEND twk_man_pages ${CMAKE_CURRENT_BINARY_DIR}/${page}.1.gz)
endforeach()
add_custom_target(twk_man_pages ALL DEPENDS ${twk_man_pages})
install(FILES ${twk_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian wants a compressed changelog in every package (changelog.gz: the package is native).
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/changelog
     "tarnwick (${PROJECT_VERSION}) unstable; urgency=medium\n\n  * Package built from the source tree.\n\n"
     " -- Tarnwick developers <dev@tarnwick.example>  Thu, 10 Dec 2026 00:00:00 +0000\n")
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
                   COMMAND gzip -n -9 -f -k ${CMAKE_CURRENT_BINARY_DIR}/changelog
                   DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog)
add_custom_target(twk_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarnwick")
set(CPACK_PACKAGE_CONTACT "Tarnwick developers <dev@tarnwick.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download manager with segmented HTTP, FTP and stream downloads")
set(CPACK_PACKAGE_DESCRIPTION
    "Tarnwick fetches files over HTTP, HTTPS, FTP and FTPS in parallel segments,\nresumes interrupted downloads and joins HLS and DASH streams. It comes as a\ndesktop app (tarnwick) and a command-line tool (twk).")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # tarnwick_<version>_amd64.deb
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tarnwick.example")
# Dependencies from the binaries' shared libraries, as Debian 12 names them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The platform and SVG plugins are loaded at run time, so shlibdeps cannot see them; the CJK
# font renders the Chinese texts.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Control files other layers add (the conffiles of the native messaging host manifests).
get_property(twk_deb_control_extra GLOBAL PROPERTY TWK_DEB_CONTROL_EXTRA)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${twk_deb_control_extra}")
include(CPack)
