# What is installed, and the packages users download: a .deb for each Linux
# processor (Debian's layout, which CPack knows), and a zip for 64-bit
# Windows that holds the program, a README written for Windows, the licence
# and the manual page as text, side by side in one folder.
set(ripple_contact "the ripple authors <ripple@users.noreply.invalid>")
# The manual page in English, and its Polish translation, from one version.
configure_file(docs/ripple.1.in ${CMAKE_BINARY_DIR}/ripple.1 @ONLY)
configure_file(docs/ripple.pl.1.in ${CMAKE_BINARY_DIR}/pl/ripple.1 @ONLY)
find_program(RIPPLE_GZIP gzip)
find_program(RIPPLE_GROFF groff)

# A file gzipped as Debian asks (-9n: best, no name or time in it).
function(ripple_gzip from to)
  add_custom_command(OUTPUT ${to} COMMAND ${RIPPLE_GZIP} -9n -c ${from} > ${to} DEPENDS ${from} VERBATIM)
endfunction()

if(WIN32)
  install(TARGETS ripple RUNTIME DESTINATION .)
  # Plain text with CRLF line ends, which every Windows editor shows: a
  # README written for Windows, the licence, and the English manual page
  # rendered as text, since Windows has no man.
  function(ripple_windows_text from to)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${to}
      COMMAND ${CMAKE_COMMAND} -DIN=${from} -DOUT=${CMAKE_BINARY_DIR}/${to} -DVERSION=${PROJECT_VERSION}
              -P ${CMAKE_SOURCE_DIR}/cmake/crlf.cmake
      DEPENDS ${from} ${CMAKE_SOURCE_DIR}/cmake/crlf.cmake VERBATIM)
    install(FILES ${CMAKE_BINARY_DIR}/${to} DESTINATION .)
  endfunction()
  ripple_windows_text(${CMAKE_SOURCE_DIR}/docs/README-windows.txt README.txt)
  ripple_windows_text(${CMAKE_SOURCE_DIR}/LICENSE LICENSE.txt)
  set(windows_texts ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/LICENSE.txt)
  if(RIPPLE_GROFF)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/ripple.man.txt
      COMMAND ${RIPPLE_GROFF} -k -man -Tutf8 -P-cbou ${CMAKE_BINARY_DIR}/ripple.1 > ${CMAKE_BINARY_DIR}/ripple.man.txt
      DEPENDS ${CMAKE_BINARY_DIR}/ripple.1 VERBATIM)
    ripple_windows_text(${CMAKE_BINARY_DIR}/ripple.man.txt ripple.txt)
    list(APPEND windows_texts ${CMAKE_BINARY_DIR}/ripple.txt)
  else()
    message(WARNING "no groff, so the zip will hold no manual page (on Debian: apt-get install groff-base)")
  endif()
  # Made with the program, so that whatever built it can install it.
  add_custom_target(windows_texts ALL DEPENDS ${windows_texts})
  add_dependencies(ripple windows_texts)
else()
  install(TARGETS ripple RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set(manual ${CMAKE_BINARY_DIR}/ripple.1)
  set(manual_pl ${CMAKE_BINARY_DIR}/pl/ripple.1)
  set(changelog ${CMAKE_BINARY_DIR}/changelog)
  string(TIMESTAMP released "%a, %d %b %Y 00:00:00 +0000" UTC)
  file(WRITE ${changelog}
       "ripple (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION}: the ripple cross-fade of two 24-bit BMP pictures.\n\n"
       " -- ${ripple_contact}  ${released}\n")
  if(RIPPLE_GZIP)
    ripple_gzip(${manual} ${manual}.gz)
    ripple_gzip(${manual_pl} ${manual_pl}.gz)
    ripple_gzip(${changelog} ${changelog}.gz)
    # Made with the program, so that whatever built it can install it.
    add_custom_target(compressed_docs ALL DEPENDS ${manual}.gz ${manual_pl}.gz ${changelog}.gz)
    add_dependencies(ripple compressed_docs)
    set(manual ${manual}.gz)
    set(manual_pl ${manual_pl}.gz)
    set(changelog ${changelog}.gz)
  endif()
  install(FILES ${manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${manual_pl} DESTINATION ${CMAKE_INSTALL_MANDIR}/pl/man1)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME ripple)
set(CPACK_PACKAGE_VENDOR "the ripple authors")
set(CPACK_PACKAGE_CONTACT ${ripple_contact})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(CPACK_PACKAGE_DESCRIPTION
    "ripple composes two 24-bit BMP pictures into a third: around a centre that\n"
    "the user types in, the weight of the first picture at distance d is\n"
    "|sin d degrees|, so the second shows at the centre and on rings every 180\n"
    "pixels, the first halfway between them. It asks in Polish, exits with one\n"
    "line on stderr and status 1 on any failure, and never damages an existing\n"
    "output file.")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES TRUE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ripple-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Debian's names for the processors of the cross builds.
  if(CMAKE_CROSSCOMPILING AND RIPPLE_CROSS_CPU STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_CROSSCOMPILING AND RIPPLE_CROSS_CPU)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${RIPPLE_CROSS_CPU})
  endif()
endif()
include(CPack)

# The packages of the other platforms, from their cross builds, into this
# build's folder beside its own .deb; the arm64 one is hardened as this one
# is. dpkg-shlibdeps reads the arm64 libraries' dependencies from Debian's
# arm64 packages of them.
if(RIPPLE_CROSS_PACKAGES)
  set(cross_common -S ${CMAKE_SOURCE_DIR} -DCMAKE_BUILD_TYPE=Release -DRIPPLE_TESTS=OFF -DRIPPLE_BENCHMARKS=OFF)
  add_custom_target(cross_packages ALL
    COMMAND ${CMAKE_COMMAND} ${cross_common} -B ${CMAKE_BINARY_DIR}/arm64
            --toolchain ${CMAKE_SOURCE_DIR}/cmake/cross-linux.cmake
            -DCMAKE_CXX_FLAGS=${CMAKE_CXX_FLAGS} -DCMAKE_EXE_LINKER_FLAGS=${CMAKE_EXE_LINKER_FLAGS}
            -DRIPPLE_CROSS_TRIPLE=aarch64-linux-gnu -DRIPPLE_CROSS_CPU=aarch64
    COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR}/arm64 --parallel 2
    COMMAND ${CMAKE_COMMAND} -E env DEB_HOST_ARCH=arm64
            ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/arm64/CPackConfig.cmake -B ${CMAKE_BINARY_DIR}/arm64/packages
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/arm64/packages/ripple_${PROJECT_VERSION}_arm64.deb ${CMAKE_BINARY_DIR}
    COMMAND ${CMAKE_COMMAND} ${cross_common} -B ${CMAKE_BINARY_DIR}/win64
            --toolchain ${CMAKE_SOURCE_DIR}/cmake/mingw-w64.cmake
    COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR}/win64 --parallel 2
    COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/win64/CPackConfig.cmake -B ${CMAKE_BINARY_DIR}/win64/packages
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/win64/packages/ripple-${PROJECT_VERSION}-win64.zip ${CMAKE_BINARY_DIR}
    USES_TERMINAL
    VERBATIM)
endif()
