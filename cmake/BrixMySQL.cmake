# The MySQL client library (MariaDB Connector/C) as the target brix_mysql_client; BRIX_HAVE_MYSQL
# tells whether it was found.
# - Linux: Debian's libmariadb-dev, through pkg-config; required.
# - Windows: the static library that tools/build-mariadb-win.sh cross-builds into
#   BRIX_MARIADB_WIN_PREFIX. Without it the Windows build leaves out everything that needs it.
if(WIN32)
  set(BRIX_MARIADB_WIN_PREFIX "${PROJECT_SOURCE_DIR}/build/third_party/mariadb-win"
      CACHE PATH "Install prefix of the MariaDB client library cross-built for Windows")
  # The toolchain confines searches to the mingw sysroot; this prefix lies outside it.
  find_path(BRIX_MYSQL_INCLUDE_DIR mysql.h
            PATHS "${BRIX_MARIADB_WIN_PREFIX}/include" PATH_SUFFIXES mariadb
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_library(BRIX_MYSQL_LIBRARY NAMES mariadbclient
               PATHS "${BRIX_MARIADB_WIN_PREFIX}/lib" PATH_SUFFIXES mariadb
               NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(BRIX_MYSQL_INCLUDE_DIR AND BRIX_MYSQL_LIBRARY)
    add_library(brix_mysql_client INTERFACE)
    target_include_directories(brix_mysql_client SYSTEM INTERFACE ${BRIX_MYSQL_INCLUDE_DIR})
    # The static client library's own system dependencies.
    target_link_libraries(brix_mysql_client INTERFACE ${BRIX_MYSQL_LIBRARY}
                          ws2_32 advapi32 shlwapi crypt32 secur32)
    set(BRIX_HAVE_MYSQL ON CACHE INTERNAL "A MySQL client library was found")
  else()
    message(WARNING "No MySQL client library for Windows in ${BRIX_MARIADB_WIN_PREFIX} "
                    "(run tools/build-mariadb-win.sh): building without sql_client and "
                    "its tests")
    set(BRIX_HAVE_MYSQL OFF CACHE INTERNAL "A MySQL client library was found")
  endif()
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(BRIX_MARIADB REQUIRED IMPORTED_TARGET libmariadb)
  add_library(brix_mysql_client INTERFACE)
  target_link_libraries(brix_mysql_client INTERFACE PkgConfig::BRIX_MARIADB)
  set(BRIX_HAVE_MYSQL ON CACHE INTERNAL "A MySQL client library was found")
endif()
