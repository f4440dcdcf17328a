# brix_add_cgilet(NAME SOURCES a.cpp ... [LIBS lib ...])
# Builds the cgilet library NAME (NAME.so on Linux, NAME.dll on Windows) from a few sources. It
# compiles against the cgilet SDK (brix/cgilet.h, brix/cgilet_export.h, brix/form_data.h,
# net_tools/tcp_stream.h, sql_client/connection.h) and carries its own copy of those classes, as
# the plug-in contract requires. List it in "cgi.csv" with the name of its exported factory.
function(brix_add_cgilet name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE brix::sdk ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES PREFIX "")
endfunction()
