// Thread helpers the rest of the program needs from the operating system.
//
// Thread-safety: may be called from any thread.
#pragma once

#include <string_view>
#include <thread>

namespace sorvane {

// Names the calling thread for debuggers and `top -H` (the kernel keeps the first
// 15 bytes). Does nothing where the system has no thread names.
void setCurrentThreadName(std::string_view name);
// The same for `thread`, which must be running.
void setThreadName(std::thread& thread, std::string_view name);

} // namespace sorvane
