// Dynamic libraries on POSIX: dlopen, dlsym, dlclose, dlerror.
#include "brix/dl.h"

#include <dlfcn.h>

void* load_library(const char* path) {
    // RTLD_NOW: a library with unresolved references fails here, where the failure can be
    // reported with its path, instead of at some later call. RTLD_LOCAL: the exports of one
    // plug-in never satisfy the references of another.
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* get_proc_address(void* module, const char* name) {
    // Clear any stale error so that a failure of this lookup is the one dlerror reports.
    dlerror();
    return dlsym(module, name);
}

void free_library(void* module) {
    // Ignore errors: the handle is gone either way and the caller has no remedy.
    dlclose(module);
}

std::string library_error() {
    // dlerror keeps its message per thread and clears it when read.
    const char* text = dlerror();
    return text != nullptr ? text : "unknown dynamic library error";
}
