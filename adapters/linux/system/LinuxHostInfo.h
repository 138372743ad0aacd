// HostInfo on Linux: systemd-hostnamed's PrettyHostname (system bus), else the
// kernel host name. Thread-safety: see HostInfo.
#pragma once

#include "ports/HostInfo.h"

namespace sorvane {

class LinuxHostInfo final : public HostInfo {
public:
    std::string displayName() override;
};

} // namespace sorvane
