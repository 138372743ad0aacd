// Where the operating system wants this user's application data.
//
// Thread-safety: implementations are immutable after construction and may be
// called from any thread.
#pragma once

#include <filesystem>

namespace sorvane {

class UserDirectories {
public:
    virtual ~UserDirectories() = default;

    // The per-user root for application data (the Application Support folder, or
    // $XDG_DATA_HOME). Not created by this call. Throws std::runtime_error when
    // the user has no home directory to derive it from.
    virtual std::filesystem::path applicationDataRoot() const = 0;
};

} // namespace sorvane
