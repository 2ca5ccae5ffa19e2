# Installation and the Debian package: the instrument, the stand-in simulator, the icon and a
# desktop entry. `cmake --install` and `cpack -G DEB` both use these rules.
include(GNUInstallDirs)

if(TARGET korvalis-asi)
  install(TARGETS korvalis-asi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET korvalis-sim)
  install(TARGETS korvalis-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(NOT WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/korvalis-asi.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size 16 32 48)
    install(FILES ${PROJECT_SOURCE_DIR}/assets/icon_${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME korvalis-asi.png)
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/korvalis-asi)
endif()

set(CPACK_PACKAGE_NAME "korvalis-asi")
set(CPACK_PACKAGE_VERSION "1.006")
set(CPACK_PACKAGE_VENDOR "Korvalis")
set(CPACK_PACKAGE_CONTACT "Korvalis developers <korvalis@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Airspeed indicator for a desktop flight simulator")
set(CPACK_PACKAGE_DESCRIPTION
    "A small always-on-top window with an airspeed dial and two needles, fed live by the\
 simulator's interface module over its IPC protocol. Includes korvalis-sim, a stand-in module.")
set(CPACK_PACKAGE_FILE_NAME "korvalis-asi_1.006_amd64")
set(CPACK_DEBIAN_PACKAGE_SECTION "games")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "amd64")
# Dependencies come from the libraries the programs really link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_GENERATOR "DEB")
include(CPack)
