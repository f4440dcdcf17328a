// Dynamic libraries on Windows: LoadLibraryA, GetProcAddress, FreeLibrary, and FormatMessageA for
// the text of GetLastError.
#include "brix/dl.h"

#include <windows.h>

void* load_library(const char* path) {
    // The daemon has no window and may run as a service: a library that fails to load must fail
    // the call, never raise a "missing component" or "bad image" dialog that nobody can answer.
    DWORD previous_mode = 0;
    const BOOL mode_set =
        SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous_mode);
    HMODULE module = LoadLibraryA(path);
    const DWORD error = GetLastError();
    if (mode_set) SetThreadErrorMode(previous_mode, nullptr);
    SetLastError(error);
    return reinterpret_cast<void*>(module);
}

void* get_proc_address(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void free_library(void* module) {
    // Ignore errors: the handle is gone either way and the caller has no remedy.
    FreeLibrary(static_cast<HMODULE>(module));
}

std::string library_error() {
    const DWORD error = GetLastError();
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    // The system's messages end with a line break; the caller puts the text inside a line.
    while (length > 0 &&
           (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) {
        --length;
    }
    std::string result(text, length);
    if (!result.empty()) result += ' ';
    result += "(error " + std::to_string(error) + ")";
    return result;
}
