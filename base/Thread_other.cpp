#include "base/Thread.h"

namespace sorvane {

void setCurrentThreadName(std::string_view) {}
void setThreadName(std::thread&, std::string_view) {}

} // namespace sorvane
