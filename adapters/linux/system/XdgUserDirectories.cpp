#include "adapters/linux/system/XdgUserDirectories.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <utility>
#include <vector>

namespace sorvane {
namespace {

std::optional<std::filesystem::path> absolutePath(const std::optional<std::string>& value) {
    if (!value || value->empty() || value->front() != '/')
        return std::nullopt;
    return std::filesystem::path(*value);
}

std::optional<std::filesystem::path> passwordDatabaseHome() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 || !result)
        return std::nullopt;
    return absolutePath(result->pw_dir ? std::optional<std::string>(result->pw_dir) : std::nullopt);
}

} // namespace

XdgUserDirectories::Environment XdgUserDirectories::processEnvironment() {
    return [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (!value)
            return std::nullopt;
        return std::string(value);
    };
}

XdgUserDirectories::XdgUserDirectories(Environment environment)
    : m_environment(std::move(environment)) {}

std::filesystem::path XdgUserDirectories::applicationDataRoot() const {
    if (auto dataHome = absolutePath(m_environment("XDG_DATA_HOME")))
        return *dataHome;
    auto home = absolutePath(m_environment("HOME"));
    if (!home)
        home = passwordDatabaseHome();
    if (!home)
        throw std::runtime_error("no home directory for the application data");
    return *home / ".local" / "share";
}

} // namespace sorvane
