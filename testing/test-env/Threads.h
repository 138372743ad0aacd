#pragma once

#include <dirent.h>

#include <fstream>
#include <string>

namespace sorvane::testing {

// Threads of this process whose name is `name`.
inline int threadsNamed(const std::string& name) {
    int n = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string line;
        std::getline(comm, line);
        n += line == name;
    }
    closedir(dir);
    return n;
}

} // namespace sorvane::testing
