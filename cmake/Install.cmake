# Install rules and the Debian package (cpack -G DEB in the build folder, or scripts/package).
# `cmake --install build --prefix /tmp/x` gives a tree that runs: the program as
# bin/wavelorn-encoder, its desktop entry, icons, AppStream data, manual page and notes.
# Nothing of the tests or the benchmarks is installed.
include(GNUInstallDirs)

# The same names as kCommandName and kApplicationId in common/appconfig.h.
set(WL_COMMAND wavelorn-encoder)
set(WL_APP_ID it.wavelorn.Encoder)
set(WL_PACKAGE_MAINTAINER "WAVELORN Encoder maintainers <encoder@wavelorn.it>"
    CACHE STRING "Maintainer field of the Debian package")

set(pkg ${PROJECT_SOURCE_DIR}/packaging)
set(doc ${CMAKE_INSTALL_DATADIR}/doc/${WL_COMMAND})

# The program keeps its CMake name in the build folder and takes the command's on install.
install(PROGRAMS $<TARGET_FILE:WavelornEncoder> DESTINATION ${CMAKE_INSTALL_BINDIR}
        RENAME ${WL_COMMAND})
# Windows Media publishing, which the program loads when an owner starts it (and FFmpeg with it).
install(TARGETS wavelorn-publishing LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/${WL_COMMAND}/modules)
# install(PROGRAMS) is not stripped by `--strip` or CPACK_STRIP_FILES: strip it here then.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded --remove-section=.comment
      --remove-section=.note \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${WL_COMMAND}\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()")

install(FILES ${pkg}/${WL_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${pkg}/${WL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# The PNGs are rendered from the SVG by packaging/icons/render (rsvg-convert) and committed.
install(FILES ${pkg}/icons/${WL_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 48 64 128 256)
  install(FILES ${pkg}/icons/${WL_APP_ID}-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ${WL_APP_ID}.png)
endforeach()

# Manual page and changelog compressed as Debian wants them (gzip -9n: no name, no time).
set(gz ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${gz})
foreach(f wavelorn-encoder.1 debian/changelog)
  get_filename_component(name ${f} NAME)
  execute_process(COMMAND gzip -9nc ${pkg}/${f} OUTPUT_FILE ${gz}/${name}.gz
                  COMMAND_ERROR_IS_FATAL ANY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pkg}/${f})
endforeach()
install(FILES ${gz}/wavelorn-encoder.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${gz}/changelog.gz ${pkg}/debian/copyright DESTINATION ${doc})

# --- the Debian package ------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${WL_COMMAND})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "${WL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${WL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop encoder of the WAVELORN web radio service")
set(CPACK_PACKAGE_DESCRIPTION
    "The station owner signs in with the e-mail address and password of the\n"
    "station's account. The program records the sound server's default input,\n"
    "has lame encode it to MP3 and sends it to the station's streaming server,\n"
    "showing the input level, the listener count and the stream title. Its live\n"
    "console shows the listeners' messages.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.wavelorn.it/")
set(CPACK_STRIP_FILES ON)
# The libraries it links, computed by dpkg-shlibdeps; then what it runs or loads by name.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(WL_DB_DRIVER STREQUAL "QODBC")
  set(wl_sql_depends "libqt6sql6-odbc, unixodbc, tdsodbc")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${pkg}/debian/odbc/postinst ${pkg}/debian/odbc/prerm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
elseif(WL_DB_DRIVER STREQUAL "QPSQL")
  set(wl_sql_depends "libqt6sql6-psql")
else()
  set(wl_sql_depends "libqt6sql6-sqlite")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "lame, pipewire-pulse | pulseaudio, ${wl_sql_depends}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pavucontrol")
include(CPack)
