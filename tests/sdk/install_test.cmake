# Installs the build into a fresh prefix and uses it as a cgilet author would: checks what was
# installed, builds the out-of-tree example cgilet against the installed package Brix, and serves
# one request with the built library through cgilet_driver.
#
# cmake -DBUILD_DIR=... -DEXAMPLE_DIR=... -DWORK_DIR=... -DDRIVER=... -DLIBDIR=... -DGENERATOR=...
#       -DCXX_COMPILER=... -DCXX_FLAGS=... -DBUILD_TYPE=... -DMODULE_SUFFIX=... -P install_test.cmake
cmake_minimum_required(VERSION 3.20)

# Runs a command; stops the test with its output when it fails. The output is left in `out`.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${output}")
  endif()
  set(out "${output}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})

run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# The programs, the example cgilets, the SDK and the package.
set(sdk_headers brix/cgilet.h brix/cgilet_export.h brix/form_data.h brix/x2c.h
                net_tools/tcp_stream.h sql_client/connection.h)
foreach(file bin/brix bin/brix-call
             ${LIBDIR}/brix/cgilets/hello${MODULE_SUFFIX} ${LIBDIR}/brix/cgilets/echo${MODULE_SUFFIX}
             ${LIBDIR}/brix/cgilets/guestbook${MODULE_SUFFIX}
             ${LIBDIR}/brix-sdk/libnet_tools.a ${LIBDIR}/brix-sdk/libbrix_form.a
             ${LIBDIR}/brix-sdk/libsql_client.a
             ${LIBDIR}/cmake/Brix/BrixConfig.cmake ${LIBDIR}/cmake/Brix/BrixConfigVersion.cmake
             share/brix/cgi.csv)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# Exactly the SDK headers, and each includes only SDK headers, the MySQL client header and the
# standard library.
file(GLOB_RECURSE installed_headers RELATIVE ${prefix}/include/brix-sdk ${prefix}/include/brix-sdk/*)
list(SORT installed_headers)
set(expected_headers ${sdk_headers})
list(SORT expected_headers)
if(NOT installed_headers STREQUAL expected_headers)
  message(FATAL_ERROR "installed headers: ${installed_headers}\nexpected: ${expected_headers}")
endif()
foreach(header ${sdk_headers})
  file(STRINGS ${prefix}/include/brix-sdk/${header} includes REGEX "^#include")
  foreach(line ${includes})
    if(line MATCHES "^#include \"(.*)\"")
      if(NOT CMAKE_MATCH_1 IN_LIST sdk_headers)
        message(FATAL_ERROR "${header} includes a header outside the SDK: ${line}")
      endif()
    elseif(NOT line MATCHES "^#include <(mysql\\.h|[a-z_]+)>")
      message(FATAL_ERROR "${header} includes a header that is neither standard nor mysql.h: ${line}")
    endif()
  endforeach()
endforeach()

# The installed catalog names the installed cgilets.
file(STRINGS ${prefix}/share/brix/cgi.csv rows)
list(LENGTH rows row_count)
if(NOT row_count EQUAL 3)
  message(FATAL_ERROR "the installed catalog has ${row_count} rows, not 3:\n${rows}")
endif()
foreach(row ${rows})
  if(NOT row MATCHES "^\"([a-z]+)\",\"([^\"]+)\",\"make_([a-z]+)\",\"[a-z0-9_]+\"$")
    message(FATAL_ERROR "not a catalog row: ${row}")
  endif()
  if(NOT CMAKE_MATCH_1 STREQUAL CMAKE_MATCH_3 OR NOT EXISTS ${CMAKE_MATCH_2}
     OR NOT CMAKE_MATCH_2 MATCHES "^${prefix}/")
    message(FATAL_ERROR "the row does not name an installed cgilet: ${row}")
  endif()
endforeach()

# A cgilet author's build: only the installed package, warnings as errors.
run("configuring the example"
    ${CMAKE_COMMAND} -S ${EXAMPLE_DIR} -B ${WORK_DIR}/example -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS} -Wall -Wextra -Werror" -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
run("building the example" ${CMAKE_COMMAND} --build ${WORK_DIR}/example)
set(library ${WORK_DIR}/example/my_cgilet${MODULE_SUFFIX})
if(NOT EXISTS ${library})
  message(FATAL_ERROR "the example build made no ${library}")
endif()

# Its factory and process_without_database, called as the daemon calls them.
run("serving a request with the example" ${DRIVER} ${library} make_my_cgilet
    "cgilet=my_cgilet&name=Ann+Lee%21")
if(NOT out STREQUAL "Hello from my_cgilet, Ann Lee!!\n")
  message(FATAL_ERROR "unexpected response from my_cgilet: [${out}]")
endif()
message(STATUS "installed, built and served: ${library}")
