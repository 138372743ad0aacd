// The XDG base directories: application data lives in $XDG_DATA_HOME, or in
// ~/.local/share when that is unset, empty or not an absolute path.
//
// Thread-safety: immutable after construction; any thread. The environment is
// read through the function given at construction (the process environment by
// default) each time a directory is asked for.
#pragma once

#include "ports/UserDirectories.h"

#include <functional>
#include <optional>
#include <string>

namespace sorvane {

class XdgUserDirectories final : public UserDirectories {
public:
    using Environment = std::function<std::optional<std::string>(const char* name)>;

    static Environment processEnvironment();

    explicit XdgUserDirectories(Environment environment = processEnvironment());

    // $XDG_DATA_HOME, else $HOME/.local/share, else the password database's home
    // directory + "/.local/share". Throws std::runtime_error when none is known.
    std::filesystem::path applicationDataRoot() const override;

private:
    Environment m_environment;
};

} // namespace sorvane
