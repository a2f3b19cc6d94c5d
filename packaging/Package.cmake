# The Debian package "xadra", made by CPack from the install rules:
#   cmake --build build --target deb      (builds what it packs, then cpack)
#   cd build && cpack -G DEB              (packs what has been built)
# Dependencies on shared libraries come from dpkg-shlibdeps (dpkg-dev); the
# programs the daemon starts or the files it reads are listed by hand:
# ghostscript renders PDF pages, hershey-fonts-data holds the stroke fonts
# and fonts-liberation (or fonts-dejavu-core) the outline fonts of HP-GL/2
# labels. The office suite that xadooo supervises is only suggested.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME xadra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(XAD_PACKAGE_MAINTAINER "xadra maintainers <xadra@localhost>" CACHE STRING
    "Maintainer field of the Debian package: name <address>")
set(CPACK_PACKAGE_CONTACT "${XAD_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "preview and conversion service for technical drawings")
# One paragraph, lines below 80 characters as Debian's control files want.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "xadrad is a daemon that takes remote calls over TCP and turns HP-GL/2 plot"
  "files and PDF documents into PNG previews, PDF documents, HP-GL/2 output,"
  "bounding boxes, difference images and pattern positions, keeping every"
  "result in an on-disk cache. The package also holds the test client xadrac,"
  "the office-suite supervisor xadooo and the command-line tools hpgl2png and"
  "hpgl-info, with systemd units for xadrad (enabled) and xadooo (disabled).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ghostscript, hershey-fonts-data, fonts-liberation | fonts-dejavu-core, adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libreoffice-nogui")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# cpack packs what has been built: installing must not first build every
# test and benchmark program.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
include(CPack)

add_custom_target(deb
  COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Debian package xadra"
  VERBATIM)
add_dependencies(deb ${XAD_PACKAGED_PROGRAMS})
if(TARGET man-pages)
  add_dependencies(deb man-pages)
endif()
