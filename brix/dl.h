// Platform seam for dynamic libraries: load one by path, find an export by name, unload it, and
// read the system's text for the last failure. dl_posix.cpp (dlopen family) and dl_win32.cpp
// (LoadLibraryA family) implement it; CMake compiles one of them.
// Internal header of the daemon core: plug-ins never see it.
#pragma once

#include <string>

// A module handle is the platform's own library handle (dlopen's handle or an HMODULE) carried
// as an untyped pointer, so that this header and its users stay free of platform headers.

// Loads the library at `path` (a relative path goes through the platform's library search) and
// returns its handle, or null on failure; then library_error() tells why. Every successful call
// counts one load that free_library must release. Thread safe.
void* load_library(const char* path);

// Forwards to dlsym / GetProcAddress: the address of the export `name` of `module`, or null when
// there is none (then library_error() tells why). `module` must be a live handle from
// load_library: a null module means something else to each platform (the whole process on POSIX,
// the main program on Windows), so callers test for it first. Thread safe.
void* get_proc_address(void* module, const char* name);

// Releases one load of `module` (a live handle from load_library); the library is unloaded, and
// its static destructors run, when its last load is released. Thread safe.
void free_library(void* module);

// The system's text for the last failed load_library or get_proc_address on the calling thread
// (dlerror; FormatMessageA of GetLastError with the error number). Call it right after the
// failure, before other system calls on the same thread. Never empty.
std::string library_error();
