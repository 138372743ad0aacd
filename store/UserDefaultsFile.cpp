#include "store/UserDefaultsFile.h"

#include "base/Log.h"
#include "store/AtomicFile.h"

#include <system_error>

namespace sorvane {

UserDefaultsFile::UserDefaultsFile(std::filesystem::path path) : m_path(std::move(path)) {
    std::optional<std::string> content;
    try {
        // A dozen short settings; the file may be a link into someone's dotfiles.
        content = store::readFile(m_path, {.maxBytes = size_t{1} << 20, .followLinks = true});
    } catch (const std::exception& e) {
        logLine("Sorvane: preferences unreadable, using defaults: " + std::string(e.what()));
        m_keepAsideBeforeSave = true;
        return;
    }
    if (!content)
        return;
    nlohmann::json parsed;
    try {
        parsed = nlohmann::json::parse(*content, nullptr, /*allow_exceptions=*/false);
    } catch (const std::exception&) { // no memory for the parsed document
    }
    if (parsed.is_object()) {
        m_values = std::move(parsed);
        return;
    }
    logLine("Sorvane: preferences file " + m_path.string() +
            " is not a JSON object; kept as defaults.json.unreadable, using defaults");
    try {
        std::filesystem::path aside = m_path;
        aside += ".unreadable";
        store::writeFileAtomically(aside, *content);
    } catch (const std::system_error&) {
        // Keeping the copy is a courtesy; the defaults still work without it.
    }
}

std::optional<nlohmann::json> UserDefaultsFile::object(std::string_view key) const {
    auto it = m_values.find(key);
    if (it == m_values.end())
        return std::nullopt;
    return *it;
}

void UserDefaultsFile::set(std::string_view key, nlohmann::json value) {
    m_values[std::string(key)] = std::move(value);
    save();
}

void UserDefaultsFile::remove(std::string_view key) {
    if (m_values.erase(std::string(key)) > 0)
        save();
}

void UserDefaultsFile::save() {
    try {
        store::createPrivateDirectories(m_path.parent_path());
        if (m_keepAsideBeforeSave) {
            // What could not be read is not ours to destroy.
            if (store::keepAside(m_path))
                logLine("Sorvane: the preferences file that could not be read is kept as " +
                        m_path.string() + ".unreadable");
            m_keepAsideBeforeSave = false;
        }
        store::writeFileAtomically(m_path, m_values.dump(2) + "\n");
    } catch (const std::system_error& e) {
        logLine("Sorvane: preferences not saved: " + std::string(e.what()));
    }
}

} // namespace sorvane
