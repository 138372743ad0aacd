// The name this computer shows to people (for example "Anna's Laptop").
//
// Thread-safety: may be called from any thread; may block briefly on IPC.
#pragma once

#include <string>

namespace sorvane {

class HostInfo {
public:
    virtual ~HostInfo() = default;
    // The display name, or an empty string when the system has none.
    virtual std::string displayName() = 0;
};

} // namespace sorvane
