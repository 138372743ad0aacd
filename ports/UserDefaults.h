// The user's preferences: a small key/value store that keeps each value's type.
//
// Thread-safety: main thread only. Writes are persisted before set() returns;
// a failed write is logged and the value is kept in memory.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace sorvane {

class UserDefaults {
public:
    virtual ~UserDefaults() = default;

    // The stored value, absent when the key is missing.
    virtual std::optional<nlohmann::json> object(std::string_view key) const = 0;
    virtual void set(std::string_view key, nlohmann::json value) = 0;
    virtual void remove(std::string_view key) = 0;

    // A Bool stored under `key`; absent when the key is missing or holds another type.
    std::optional<bool> boolIfPresent(std::string_view key) const {
        auto v = object(key);
        if (v && v->is_boolean())
            return v->get<bool>();
        return std::nullopt;
    }
    // Missing or non-Bool reads as false.
    bool boolValue(std::string_view key) const { return boolIfPresent(key).value_or(false); }
    std::optional<std::string> string(std::string_view key) const {
        auto v = object(key);
        if (v && v->is_string())
            return v->get<std::string>();
        return std::nullopt;
    }
    std::optional<int64_t> integer(std::string_view key) const {
        auto v = object(key);
        if (v && v->is_number_integer())
            return v->get<int64_t>();
        return std::nullopt;
    }
};

} // namespace sorvane
