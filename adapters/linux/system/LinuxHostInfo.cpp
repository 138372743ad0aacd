#include "adapters/linux/system/LinuxHostInfo.h"

#include <sdbus-c++/sdbus-c++.h>

#include <unistd.h>

#include <climits>

namespace sorvane {

std::string LinuxHostInfo::displayName() {
    try {
        auto connection = sdbus::createSystemBusConnection();
        auto proxy = sdbus::createProxy(*connection, "org.freedesktop.hostname1",
                                        "/org/freedesktop/hostname1");
        const std::string pretty =
            proxy->getProperty("PrettyHostname").onInterface("org.freedesktop.hostname1");
        if (!pretty.empty())
            return pretty;
    } catch (const sdbus::Error&) {
        // No system bus or no hostnamed (containers, minimal systems): fall through.
    }
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) == 0)
        return name;
    return {};
}

} // namespace sorvane
