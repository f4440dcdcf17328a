# brix_add_cgilet(NAME SOURCES a.cpp ... [LIBS lib ...])
# Builds the cgilet library NAME (NAME.so on Linux, NAME.dll on Windows, no "lib" prefix) from a
# few sources. It compiles against the cgilet SDK, the target brix::sdk (brix/cgilet.h,
# brix/cgilet_export.h, brix/form_data.h, brix/x2c.h, net_tools/tcp_stream.h,
# sql_client/connection.h), and carries its own copy of those classes, as the plug-in contract
# requires. List it in "cgi.csv" with the name of its exported factory.
#
# The same function serves this tree and, installed with the package, projects of their own:
#     find_package(Brix REQUIRED)
#     brix_add_cgilet(my_cgilet SOURCES my_cgilet.cpp)
function(brix_add_cgilet name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE brix::sdk ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES PREFIX "")
  if(WIN32)
    # The daemon links its runtime statically; so does each cgilet, so that a DLL needs nothing
    # beside it.
    target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()
