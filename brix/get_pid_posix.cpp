// Process list on POSIX systems with a /proc file system (Linux).
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "brix/get_pid.h"

namespace brix {

namespace {

// The ids of every process now listed under /proc, in ascending order (readdir's order is not).
std::vector<int> process_ids() {
    std::vector<int> ids;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return ids;
    while (const dirent* entry = readdir(proc)) {
        const char* name = entry->d_name;
        if (name[0] < '1' || name[0] > '9') continue;
        char* end = nullptr;
        const long id = std::strtol(name, &end, 10);
        if (*end == '\0' && id > 0) ids.push_back(static_cast<int>(id));
    }
    closedir(proc);
    std::sort(ids.begin(), ids.end());
    return ids;
}

// The executable file name of process `id`, or "" when the process has gone meanwhile.
std::string executable_name(int id) {
    const std::string dir = "/proc/" + std::to_string(id);
    char target[4096];
    const ssize_t length = readlink((dir + "/exe").c_str(), target, sizeof target);
    if (length > 0 && static_cast<size_t>(length) < sizeof target) {
        const std::string path(target, static_cast<size_t>(length));
        return path.substr(path.rfind('/') + 1);
    }
    // Kernel threads have no executable and other users' processes hide theirs: the name the
    // kernel keeps for the process is the best that remains.
    std::ifstream comm(dir + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

int GetPID(const char* exe_name) {
    for (const int id : process_ids()) {
        const std::string name = executable_name(id);
        // A process that ended since the listing has no name, and matches nothing.
        if (!name.empty() && std::strcmp(name.c_str(), exe_name) == 0) return id;
    }
    return 0;
}

int current_process_id() { return static_cast<int>(getpid()); }

}  // namespace brix
