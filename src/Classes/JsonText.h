// Optional text fields of the update journal's and the history's JSON documents.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace ovn::update {

// A text that may be missing: written as null.
inline nlohmann::json optionalText(const std::optional<std::string>& text) {
    return text ? nlohmann::json(*text) : nlohmann::json(nullptr);
}

// The text under key, or none when the key is missing or holds something else.
inline std::optional<std::string> textOf(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace ovn::update
