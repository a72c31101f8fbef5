# Install rules and the Debian package. The programs go to libexec/mirelo/ with the desktop module
# beside them (the loader looks in the executable's folder); documents to share/doc/mirelo-native/.
# Nothing else is installed. Release installs are stripped; no RPATH is kept, so the installed
# programs run from anywhere on the system's own libraries.
include(GNUInstallDirs)

set(MIRELO_LIBEXEC_DIR "${CMAKE_INSTALL_LIBEXECDIR}/mirelo")
set(MIRELO_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/mirelo-native")

# install(TARGETS) strips when CMAKE_INSTALL_DO_STRIP is set; a Release install sets it itself.
install(CODE "if(CMAKE_INSTALL_CONFIG_NAME STREQUAL \"Release\")\n  set(CMAKE_INSTALL_DO_STRIP ON)\nendif()")
install(TARGETS MireloServices SolvaNearby RUNTIME DESTINATION "${MIRELO_LIBEXEC_DIR}")
install(TARGETS MireloServicesDesktop LIBRARY DESTINATION "${MIRELO_LIBEXEC_DIR}")

# Debian wants the changelog compressed with gzip -9n (reproducible: no name, no time).
foreach(doc changelog)
  execute_process(COMMAND gzip -9nc "${PROJECT_SOURCE_DIR}/packaging/${doc}"
                  OUTPUT_FILE "${PROJECT_BINARY_DIR}/${doc}.gz" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/packaging/changelog")
install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright" DESTINATION "${MIRELO_DOC_DIR}")
install(FILES "${PROJECT_BINARY_DIR}/changelog.gz" DESTINATION "${MIRELO_DOC_DIR}" RENAME changelog.gz)
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION "${MIRELO_DOC_DIR}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mirelo-native)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Mirelo developers <native@mirelo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "native services of the Mirelo desktop chat client")
set(CPACK_PACKAGE_DESCRIPTION "The two helper programs a Mirelo desktop host starts and drives over
standard input and output: MireloServices (HTTPS requests and WebSockets,
notifications, room cards, images and QR codes, clipboard, keyring, power
and idle time, screen lock and sleep events) and SolvaNearby (discovery of
other clients on the local network over DNS-SD and relayed TCP channels).")
set(CPACK_PACKAGE_INSTALL_DIRECTORY /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "glib-networking, avahi-daemon, gnome-keyring | kwalletmanager")
# dpkg-shlibdeps also reads the module, whose floor symbols the executable provides.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/services")
set(CPACK_OUTPUT_FILE_PREFIX "${PROJECT_SOURCE_DIR}/dist")
include(CPack)
