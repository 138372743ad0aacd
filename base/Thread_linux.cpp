#include "base/Thread.h"

#include <pthread.h>

#include <string>

namespace sorvane {

void setCurrentThreadName(std::string_view name) {
    const std::string truncated(name.substr(0, 15));
    pthread_setname_np(pthread_self(), truncated.c_str());
}

void setThreadName(std::thread& thread, std::string_view name) {
    const std::string truncated(name.substr(0, 15));
    pthread_setname_np(thread.native_handle(), truncated.c_str());
}

} // namespace sorvane
