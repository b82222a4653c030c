# Installation and the Debian package: the programs, the sample settings and catalogue, the
# udev rule that gives the DM port to the dialout group and keeps ModemManager off it, the man
# page, and the desktop entry with its icon.
include(GNUInstallDirs)

# Windows: kvxlog-<version>-win64.zip (cpack -G ZIP in the build folder) with bin\kvxlog.exe,
# the sample settings and catalogue under share\kvxlogplus (where kvxlog finds them beside its
# bin folder, as on Linux), and the set-up text.
if(WIN32)
  install(TARGETS kvxlog RUNTIME DESTINATION bin)
  install(FILES ${PROJECT_SOURCE_DIR}/data/kvxlogplus.ini ${PROJECT_SOURCE_DIR}/data/KvxMemDebug.txt
          DESTINATION share/kvxlogplus)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/catalogue
          DESTINATION share/kvxlogplus FILES_MATCHING PATTERN "*.txt")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/SETUP.txt DESTINATION .)
  set(CPACK_PACKAGE_NAME kvxlog)
  set(CPACK_PACKAGE_VENDOR "KvxLog Plus")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(CPack)
  return()
endif()

# udev reads /usr/lib/udev/rules.d (and /etc/udev/rules.d); relative to the prefix, so a
# DESTDIR or --prefix install keeps it inside the tree.
set(KVX_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Folder for the udev rule, relative to the install prefix or absolute")

set(_kvx_pkg ${PROJECT_SOURCE_DIR}/packaging)

install(TARGETS kvxlog RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET kvxlog-modemsim)
  install(TARGETS kvxlog-modemsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET kvxlogplus)
  install(TARGETS kvxlogplus RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${_kvx_pkg}/kvxlogplus.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${_kvx_pkg}/kvxlogplus.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/data/kvxlogplus.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/kvxlogplus)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/catalogue
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kvxlogplus FILES_MATCHING PATTERN "*.txt")
install(FILES ${_kvx_pkg}/60-kvxlogplus.rules DESTINATION ${KVX_UDEV_RULES_DIR})
install(FILES ${_kvx_pkg}/kvxlog.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The capture service: systemd reads /usr/lib/systemd/system. The sample options go beside the
# catalogue; the package's postinst puts them into /etc/kvxlogplus and adds the user kvxlog.
set(KVX_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Folder for kvxlog@.service, relative to the install prefix or absolute")
install(FILES "${_kvx_pkg}/kvxlog@.service" DESTINATION ${KVX_SYSTEMD_UNIT_DIR})
install(FILES ${_kvx_pkg}/capture.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/kvxlogplus)

# kvxlog setup looks for the catalogue beside its own bin folder first; this is the fallback.
target_compile_definitions(kvxlog PRIVATE
    KVX_INSTALL_DATADIR="${CMAKE_INSTALL_FULL_DATADIR}/kvxlogplus")

if(KVX_BUILD_TESTS AND NOT WIN32)
  add_test(NAME install_destdir
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/install_check.sh
                   ${PROJECT_BINARY_DIR} ${CMAKE_COMMAND} ${PROJECT_SOURCE_DIR})
  set_tests_properties(install_destdir PROPERTIES LABELS unit TIMEOUT 120)
endif()

# cpack -G DEB: kvxlogplus_<version>_amd64.deb. dpkg-shlibdeps finds the run-time libraries
# the programs link (the C++ runtime, and Qt 6 when the window is built).
set(CPACK_PACKAGE_NAME kvxlogplus)
set(CPACK_PACKAGE_VENDOR "KvxLog Plus")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Diagnostic (DM) logger for Qualcomm-based cellular modems")
set(CPACK_PACKAGE_DESCRIPTION
    "Records the DM stream of a modem into enciphered .kvx logs, converts raw DM captures,\n"
    "builds and imports filters, and dumps the memory of a modem in download mode.\n"
    "Contains kvxlog (command line), kvxlogplus (desktop window when built), a simulated\n"
    "modem, the item catalogue and a udev rule for the DM port.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KvxLog Plus developers <dev@kvxlog.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS udev)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${_kvx_pkg}/postinst;${_kvx_pkg}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
