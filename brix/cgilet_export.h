// Public SDK header: the export macro for a cgilet library's factory function.
//
//     BRIX_CGILET_EXPORT brix::Cgilet* make_hello() { return new Hello; }
//
// The factory is exported with C linkage under its plain name, which the catalog "cgi.csv" gives
// in its third column.
#pragma once

#include "brix/cgilet.h"

#if defined(_WIN32)
#define BRIX_CGILET_EXPORT extern "C" __declspec(dllexport)
#else
#define BRIX_CGILET_EXPORT extern "C" __attribute__((visibility("default")))
#endif
