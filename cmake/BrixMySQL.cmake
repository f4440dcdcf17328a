# The MySQL client library (MariaDB Connector/C) as the imported target brix::mysql_client;
# BRIX_HAVE_MYSQL tells whether it was found. The build includes this file, and so does the
# installed package (find_package(Brix)), which finds the library again on the user's machine.
# Being an imported target, brix::mysql_client is named, not copied, by the exported SDK targets.
# - Linux: Debian's libmariadb-dev, through pkg-config.
# - Windows: the static library that tools/build-mariadb-win.sh cross-builds into
#   BRIX_MARIADB_WIN_PREFIX (default: BRIX_MARIADB_WIN_DEFAULT_PREFIX when the includer sets it,
#   else build/third_party/mariadb-win of the project).
if(TARGET brix::mysql_client)
  set(BRIX_HAVE_MYSQL ON)
  return()
endif()

set(BRIX_HAVE_MYSQL OFF)
if(WIN32)
  if(NOT DEFINED BRIX_MARIADB_WIN_DEFAULT_PREFIX)
    set(BRIX_MARIADB_WIN_DEFAULT_PREFIX "${PROJECT_SOURCE_DIR}/build/third_party/mariadb-win")
  endif()
  set(BRIX_MARIADB_WIN_PREFIX "${BRIX_MARIADB_WIN_DEFAULT_PREFIX}"
      CACHE PATH "Install prefix of the MariaDB client library cross-built for Windows")
  # The toolchain confines searches to the mingw sysroot; this prefix lies outside it.
  find_path(BRIX_MYSQL_INCLUDE_DIR mysql.h
            PATHS "${BRIX_MARIADB_WIN_PREFIX}/include" PATH_SUFFIXES mariadb
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_library(BRIX_MYSQL_LIBRARY NAMES mariadbclient
               PATHS "${BRIX_MARIADB_WIN_PREFIX}/lib" PATH_SUFFIXES mariadb
               NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(BRIX_MYSQL_INCLUDE_DIR AND BRIX_MYSQL_LIBRARY)
    add_library(brix::mysql_client INTERFACE IMPORTED)
    target_include_directories(brix::mysql_client SYSTEM INTERFACE ${BRIX_MYSQL_INCLUDE_DIR})
    # The static client library's own system dependencies.
    target_link_libraries(brix::mysql_client INTERFACE ${BRIX_MYSQL_LIBRARY}
                          ws2_32 advapi32 shlwapi crypt32 secur32)
    set(BRIX_HAVE_MYSQL ON)
  endif()
else()
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(BRIX_MARIADB QUIET IMPORTED_TARGET libmariadb)
  endif()
  if(TARGET PkgConfig::BRIX_MARIADB)
    add_library(brix::mysql_client INTERFACE IMPORTED)
    target_link_libraries(brix::mysql_client INTERFACE PkgConfig::BRIX_MARIADB)
    set(BRIX_HAVE_MYSQL ON)
  endif()
endif()
