# What `cmake --install` puts where, and the packages that CPack makes of it:
# a Debian package of the Linux build, a .zip archive of the Windows build.
include(GNUInstallDirs)

file(STRINGS src/common/product.h QUILLFEN_URL_LINE REGEX "^#define HOME_URL ")
string(REGEX REPLACE "^#define HOME_URL \"(.*)\"$" "\\1" QUILLFEN_HOME_URL "${QUILLFEN_URL_LINE}")

set(CPACK_PACKAGE_NAME quillfen)
set(CPACK_PACKAGE_VENDOR "QUILLFEN")
set(CPACK_PACKAGE_CONTACT "QUILLFEN maintainers <maintainers@quillfen.example>")
set(CPACK_PACKAGE_HOMEPAGE_URL "${QUILLFEN_HOME_URL}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "converts HTML pages into batch scripts for CGI")
set(CPACK_PACKAGE_DESCRIPTION
    "QUILLFEN turns HTML pages into Windows batch scripts that a web server can run\n"
    "as CGI programs: each script prints its page, an optional CGI header and then\n"
    "one echo command per source line, with every character that the command\n"
    "interpreter would act on escaped. On request it also writes, per page, a\n"
    "small 16-bit DOS COM program that prints the same page.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS quillfen RUNTIME DESTINATION .)
  # A README written for Windows and the licence, both with the CR LF line
  # ends of Windows text files.
  install(FILES doc/README-windows.txt DESTINATION . RENAME README.txt)
  configure_file(LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .)
  # The manual as plain text, since Windows has no man.
  find_program(QUILLFEN_GROFF groff)
  if(QUILLFEN_GROFF)
    set(QUILLFEN_MANUAL_TEXT ${CMAKE_BINARY_DIR}/quillfen.txt)
    add_custom_command(OUTPUT ${QUILLFEN_MANUAL_TEXT}
      COMMAND ${CMAKE_COMMAND} -DGROFF=${QUILLFEN_GROFF} -DINPUT=${CMAKE_SOURCE_DIR}/doc/quillfen.1
              -DOUTPUT=${QUILLFEN_MANUAL_TEXT} -P ${CMAKE_SOURCE_DIR}/cmake/render-manual.cmake
      DEPENDS doc/quillfen.1 cmake/render-manual.cmake
      COMMENT "Rendering the manual as text")
    add_custom_target(manual_text ALL DEPENDS ${QUILLFEN_MANUAL_TEXT})
    install(FILES ${QUILLFEN_MANUAL_TEXT} DESTINATION .)
  else()
    message(WARNING "groff not found: the Windows archive will lack the manual")
  endif()

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quillfen-${PROJECT_VERSION}-win64)
else()
  install(TARGETS quillfen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES doc/quillfen.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The recipe that serves a converted site through lighttpd and Wine.
  set(QUILLFEN_SERVE_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillfen/examples/serve)
  install(FILES examples/serve/lighttpd.conf DESTINATION ${QUILLFEN_SERVE_DIR})
  install(PROGRAMS examples/serve/bat-cgi DESTINATION ${QUILLFEN_SERVE_DIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION web)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  find_program(QUILLFEN_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(QUILLFEN_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  endif()
  # Compresses the manual page in the package's tree and adds the changelog
  # and the copyright file, as Debian's policy asks.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/deb-tree.cmake)
  set(CPACK_QUILLFEN_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
endif()

include(CPack)
