// UserDefaults kept as one JSON object in a file ("defaults.json"), rewritten
// atomically (mode 0600) on every change.
//
// A file that is not a JSON object is logged, kept beside as
// "defaults.json.unreadable" so nothing the user had is lost, and replaced by
// the next change. One that cannot be read at all (not a regular file, over
// 1 MiB, an I/O error) is logged and moved to that name before the next change
// is saved. Thread-safety: main thread only.
#pragma once

#include "ports/UserDefaults.h"

#include <filesystem>

namespace sorvane {

class UserDefaultsFile final : public UserDefaults {
public:
    // Reads `path` if it exists; its directory is created (0700) on first write.
    explicit UserDefaultsFile(std::filesystem::path path);

    std::optional<nlohmann::json> object(std::string_view key) const override;
    void set(std::string_view key, nlohmann::json value) override;
    void remove(std::string_view key) override;

    const std::filesystem::path& path() const { return m_path; }

private:
    void save();

    std::filesystem::path m_path;
    nlohmann::json m_values = nlohmann::json::object();
    // Set when a file stood at m_path but could not be read (not a regular
    // file, over 1 MiB, an I/O error): it is moved aside before the first save.
    bool m_keepAsideBeforeSave = false;
};

} // namespace sorvane
