// Process list on Windows: a Tool Help snapshot.
#include <windows.h>
// windows.h first: tlhelp32.h depends on its types.
#include <tlhelp32.h>

#include <cstring>

#include "brix/get_pid.h"

namespace brix {

// The ANSI entry that Process32First and Process32Next fill; they fail with
// ERROR_INSUFFICIENT_BUFFER when dwSize is smaller than this build's layout, which is 296 bytes
// in 32-bit programs and 304 in 64-bit ones.
static_assert(sizeof(PROCESSENTRY32) == (sizeof(void*) == 8 ? 304 : 296),
              "unexpected PROCESSENTRY32 layout");

int GetPID(const char* exe_name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32 entry;
    std::memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    int found = 0;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        if (std::strcmp(entry.szExeFile, exe_name) == 0) {
            found = static_cast<int>(entry.th32ProcessID);
            break;
        }
    }
    CloseHandle(snapshot);
    return found;
}

int current_process_id() { return static_cast<int>(GetCurrentProcessId()); }

}  // namespace brix
