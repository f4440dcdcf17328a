#include "brix/dll_file.h"

#include "brix/dl.h"

dll_file::dll_file(const char* path) : module(nullptr) {
    if (path == nullptr || path[0] == '\0') {
        error = "no library path given";
        return;
    }
    module = load_library(path);
    if (module == nullptr) error = library_error();
}

dll_file::~dll_file() { close(); }

void* dll_file::get_symbol(const char* name) {
    // Never ask the platform with a null module: dlsym would search the whole process (and
    // GetProcAddress the main program), so a failed load could "find" an unrelated function.
    if (module == nullptr) {
        error = "library not loaded";
        return nullptr;
    }
    void* symbol = get_proc_address(module, name);
    if (symbol == nullptr) {
        error = library_error();
    } else {
        error.clear();
    }
    return symbol;
}

void dll_file::close() {
    if (module == nullptr) return;
    free_library(module);
    module = nullptr;
}
