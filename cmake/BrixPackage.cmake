# The Windows package: one zip with the programs, the example cgilets, their catalog and
# INSTALL.txt, flat in one folder as the programs expect. Made by
#   cmake --build --preset windows --target package     (or tools/package-windows.sh)
# into build/windows/brix-<version>-win64.zip.
if(NOT WIN32 OR NOT TARGET brixsvc)
  # Linux has no package; a Windows build without the MySQL client library has no daemons.
  return()
endif()

# Its own install component, apart from what `cmake --install` installs (the SDK among it).
install(TARGETS brix brixsvc warden_detached warden_foreground brix_call
        RUNTIME DESTINATION . COMPONENT windows_package)
install(TARGETS hello echo guestbook LIBRARY DESTINATION . COMPONENT windows_package
                                     RUNTIME DESTINATION . COMPONENT windows_package)
install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/cgi.csv DESTINATION . COMPONENT windows_package)
# Windows line ends, for the editors of the machines it is meant for.
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/INSTALL.txt
               ${PROJECT_BINARY_DIR}/packaging/INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/packaging/INSTALL.txt DESTINATION . COMPONENT windows_package)

set(CPACK_GENERATOR ZIP)
set(CPACK_COMPONENTS_ALL windows_package)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PACKAGE_NAME brix)
set(CPACK_PACKAGE_VENDOR brix)
set(BRIX_WINDOWS_PACKAGE_NAME "brix-${PROJECT_VERSION}-win64")
set(CPACK_PACKAGE_FILE_NAME ${BRIX_WINDOWS_PACKAGE_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
include(CPack)

# The Windows installer: build/windows/brix-<version>-win64.msi, built from
# packaging/windows/brix.wxs by packaging/windows/make-msi.sh (wixl, msibuild). Made by
#   cmake --build --preset windows --target msi     (or tools/package-windows.sh)
# It installs into the folder brix.wxs names, so that brix.exe finds its catalog there: only a build
# whose brix.exe reads its catalog from that folder gets one.
set(BRIX_MSI_FOLDER "C:\\Development\\brix\\brix")
if(BRIX_CATALOG_PATH STREQUAL "${BRIX_MSI_FOLDER}\\cgi.csv")
  set(BRIX_HAVE_MSI ON)
  add_custom_target(msi
    COMMAND ${PROJECT_SOURCE_DIR}/packaging/windows/make-msi.sh ${PROJECT_VERSION}
            ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} ${PROJECT_BINARY_DIR}/packaging
            ${PROJECT_BINARY_DIR}/${BRIX_WINDOWS_PACKAGE_NAME}.msi
    COMMENT "Building ${BRIX_WINDOWS_PACKAGE_NAME}.msi" VERBATIM)
  add_dependencies(msi brix brixsvc warden_detached warden_foreground brix_call hello echo
                   guestbook)
else()
  set(BRIX_HAVE_MSI OFF)
  message(STATUS "No Windows installer: brix.exe reads its catalog from ${BRIX_CATALOG_PATH}, "
                 "the installer installs into ${BRIX_MSI_FOLDER}")
endif()
