# Release packages: a .deb and a .tar.gz from a Linux build, a .zip from the
# Windows one. `cpack` in a build folder makes its platform's packages.
set(CPACK_PACKAGE_VENDOR "Tarvix developers")
set(CPACK_PACKAGE_CONTACT "Tarvix developers <tarvix@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bracket the travel moves of a G-code print with fan off and on")
set(CPACK_PACKAGE_DESCRIPTION
    "Tarvix post-processes one G-code file for a 3D printer. It asks for a fan
speed and writes a copy beside the file in which every travel move is
preceded by M107 (fan off) and followed by M106 with that speed (fan on),
echoing every line it writes to the console. The copy keeps the input's
bytes and line ends exactly.")
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB TGZ)
  # What Debian wants beside the docs of every package: the copyright, and a
  # changelog in its format, gzipped as the manual page is. The package has
  # no Debian revision (it is made where the program is), so the changelog
  # is that of a native package: changelog.gz.
  configure_file(cmake/changelog.in changelog @ONLY)
  set(tarvix_changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog)
  add_custom_command(OUTPUT ${tarvix_changelog}.gz
    COMMAND ${TARVIX_GZIP} -9nfk ${tarvix_changelog}
    DEPENDS ${tarvix_changelog} VERBATIM)
  add_custom_target(tarvix_changelog ALL DEPENDS ${tarvix_changelog}.gz)
  install(FILES ${tarvix_changelog}.gz cmake/copyright DESTINATION ${tarvix_doc_dir})
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# dpkg-shlibdeps reads the libraries the binary links and writes Depends.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
