// Process ids: looking a process up by executable name in the system's process list, and the
// calling process's own id. get_pid_posix.cpp (/proc) and get_pid_win32.cpp (Tool Help
// snapshot) implement it; CMake compiles one of them.
#pragma once

namespace brix {

// The id of the first process in the system's process list whose executable file name (the bare
// name, without directory) equals `exe_name` exactly (strcmp: case-sensitive), or 0 when there
// is none or the list cannot be read. With several processes of that name the first one wins,
// which need not be the caller. Thread safe.
// The list order is the platform's: the Tool Help snapshot's on Windows, ascending ids on POSIX.
// On POSIX the name is that of the file the process runs (the basename of /proc/<id>/exe);
// where that link cannot be read (another user's process), the kernel's process name
// (/proc/<id>/comm) stands in for it, and that name is cut to 15 characters, so a longer
// `exe_name` only matches processes whose link is readable.
int GetPID(const char* exe_name);

// The calling process's own id, as the process list shows it. Thread safe.
int current_process_id();

}  // namespace brix
