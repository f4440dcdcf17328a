# Builds the Windows package into OUT_DIR from the build in BUILD_DIR (with the cpack at CPACK) and
# checks that the zip holds exactly the files users need, and that its catalog names each cgilet
# by a bare file name the zip holds. Run by ctest: cmake -D... -P check_package.cmake
foreach(var BUILD_DIR OUT_DIR CPACK PACKAGE_NAME)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_package: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${OUT_DIR})
file(MAKE_DIRECTORY ${OUT_DIR})
execute_process(COMMAND ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${OUT_DIR}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
set(zip ${OUT_DIR}/${PACKAGE_NAME}.zip)
if(NOT result EQUAL 0 OR NOT EXISTS ${zip})
  message(FATAL_ERROR "check_package: cpack failed (${result}):\n${output}")
endif()

set(unpacked ${OUT_DIR}/unpacked)
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${unpacked})
file(GLOB_RECURSE files RELATIVE ${unpacked} ${unpacked}/*)
list(SORT files)
set(expected INSTALL.txt brix-call.exe brix.exe brixsvc.exe cgi.csv echo.dll guestbook.dll
             hello.dll warden-fg.exe warden.exe)
list(TRANSFORM expected PREPEND "${PACKAGE_NAME}/")
list(SORT expected)
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "check_package: the zip holds\n  ${files}\nexpected\n  ${expected}")
endif()

# Every catalog row: "name","library","factory","catalog"; the library a bare name in the zip.
file(STRINGS ${unpacked}/${PACKAGE_NAME}/cgi.csv rows)
list(LENGTH rows row_count)
if(row_count LESS 1)
  message(FATAL_ERROR "check_package: the catalog is empty")
endif()
foreach(row IN LISTS rows)
  if(NOT row MATCHES "^\"[^\"]+\",\"([^\"]+)\",\"[^\"]+\",\"[^\"]+\"$")
    message(FATAL_ERROR "check_package: catalog row not understood: ${row}")
  endif()
  set(library ${CMAKE_MATCH_1})
  if(library MATCHES "[/\\\\:]" OR NOT EXISTS ${unpacked}/${PACKAGE_NAME}/${library})
    message(FATAL_ERROR "check_package: catalog library not a bare name in the zip: ${library}")
  endif()
endforeach()

file(READ ${unpacked}/${PACKAGE_NAME}/INSTALL.txt text)
foreach(command "brixsvc install" "brixsvc uninstall" "sc start BRIx" "sc stop BRIx" "warden /i")
  string(FIND "${text}" "${command}" at)
  if(at LESS 0)
    message(FATAL_ERROR "check_package: INSTALL.txt does not explain \"${command}\"")
  endif()
endforeach()
message(STATUS "check_package: ${zip} holds ${files}")
