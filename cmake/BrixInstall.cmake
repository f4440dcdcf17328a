# What `cmake --install` installs, below the install prefix:
#   bin/                          the daemon brix and the client brix-call (and, on Windows, the
#                                 example cgilets: a Windows program finds its DLLs beside it);
#                                 the daemon goes where BRIX_DAEMON_INSTALL_DIR says (the Debian
#                                 package puts it in sbin/)
#   lib/brix/cgilets/             the example cgilets (Linux)
#   share/brix/cgi.csv            the example catalog, naming the installed cgilets (or where
#                                 BRIX_CATALOG_INSTALL_DIR says: the Debian package puts it in
#                                 /etc/brix)
#   include/brix-sdk/             the cgilet SDK's public headers
#   lib/brix-sdk/                 the SDK's static libraries (tcp_stream, FormData and x2c,
#                                 Connection), of which every cgilet carries its own copy
#   lib/cmake/Brix/               the package: find_package(Brix) gives brix::sdk and
#                                 brix_add_cgilet()
# The daemon reads the catalog at the path fixed when it was built (BRIX_CATALOG_PATH), so a
# daemon built for installation is configured with that path pointing at the installed catalog.
include(CMakePackageConfigHelpers)

set(BRIX_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Brix)
if(WIN32)
  set(BRIX_CGILET_INSTALL_DIR ${CMAKE_INSTALL_BINDIR})
else()
  set(BRIX_CGILET_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/brix/cgilets)
endif()

set(BRIX_DAEMON_INSTALL_DIR "${CMAKE_INSTALL_BINDIR}" CACHE STRING
    "Where cmake --install puts the daemon brix, below the install prefix")

install(TARGETS brix_call RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET brix)
  install(TARGETS brix RUNTIME DESTINATION ${BRIX_DAEMON_INSTALL_DIR})
endif()

# Relative paths are below the install prefix; an absolute one is used as it is (DESTDIR still
# applies).
set(BRIX_CATALOG_INSTALL_DIR "${CMAKE_INSTALL_DATADIR}/brix" CACHE STRING
    "Where cmake --install puts the example catalog cgi.csv")
if(IS_ABSOLUTE "${BRIX_CATALOG_INSTALL_DIR}")
  set(catalog_dir_at_install "${BRIX_CATALOG_INSTALL_DIR}")
else()
  set(catalog_dir_at_install "\${CMAKE_INSTALL_PREFIX}/${BRIX_CATALOG_INSTALL_DIR}")
endif()

set(BRIX_EXAMPLE_CGILETS hello echo guestbook)
if(TARGET hello)
  install(TARGETS ${BRIX_EXAMPLE_CGILETS} LIBRARY DESTINATION ${BRIX_CGILET_INSTALL_DIR})

  # The example catalog names each cgilet by its installed path (Linux) or its bare file name
  # (Windows). The prefix is known only when installing (cmake --install --prefix), so the rows
  # are written with a placeholder now and the file is made from them at install time.
  set(rows "")
  foreach(cgilet ${BRIX_EXAMPLE_CGILETS})
    set(catalog none)
    if(cgilet STREQUAL "guestbook")
      set(catalog ${BRIX_DB_NAME})
    endif()
    string(APPEND rows "\"${cgilet}\",\"@BRIX_CGILET_DIR@$<TARGET_FILE_NAME:${cgilet}>\","
                       "\"make_${cgilet}\",\"${catalog}\"\n")
  endforeach()
  set(catalog_template ${CMAKE_BINARY_DIR}/install/cgi.csv.in)
  file(GENERATE OUTPUT ${catalog_template} CONTENT "${rows}")
  if(WIN32)
    set(cgilet_dir_at_install "")
  else()
    set(cgilet_dir_at_install "\${CMAKE_INSTALL_PREFIX}/${BRIX_CGILET_INSTALL_DIR}/")
  endif()
  install(CODE "
    set(BRIX_CGILET_DIR \"${cgilet_dir_at_install}\")
    set(brix_catalog \"\$ENV{DESTDIR}${catalog_dir_at_install}/cgi.csv\")
    message(STATUS \"Installing: \${brix_catalog}\")
    configure_file(\"${catalog_template}\" \"\${brix_catalog}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${brix_catalog}\")
  ")
endif()

if(NOT TARGET brix_sdk)
  # Without the MySQL client library there is no Connection, and so no SDK.
  return()
endif()

install(FILES brix/cgilet.h brix/cgilet_export.h brix/form_data.h brix/x2c.h
        DESTINATION ${BRIX_SDK_INCLUDE_DIR}/brix)
install(FILES net_tools/tcp_stream.h DESTINATION ${BRIX_SDK_INCLUDE_DIR}/net_tools)
install(FILES sql_client/connection.h DESTINATION ${BRIX_SDK_INCLUDE_DIR}/sql_client)

install(TARGETS net_tools brix_form sql_client brix_sdk EXPORT BrixTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}/brix-sdk)
install(EXPORT BrixTargets NAMESPACE brix:: DESTINATION ${BRIX_PACKAGE_DIR})

configure_package_config_file(cmake/BrixConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/install/BrixConfig.cmake
                              INSTALL_DESTINATION ${BRIX_PACKAGE_DIR})
# A cgilet shares the layouts of the SDK's classes with the daemon that loads it, so a package of
# another minor version is not offered.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/BrixConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/install/BrixConfig.cmake
              ${CMAKE_BINARY_DIR}/install/BrixConfigVersion.cmake
              cmake/BrixMySQL.cmake cmake/BrixCgilet.cmake
        DESTINATION ${BRIX_PACKAGE_DIR})
