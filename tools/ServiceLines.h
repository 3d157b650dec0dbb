// Members of the service's lines, read only when they have the expected type
// (anything else reads as absent), and its texts made safe for a terminal.
#ifndef MOORWINCH_TOOL_SERVICE_LINES_H
#define MOORWINCH_TOOL_SERVICE_LINES_H

#include <chrono>
#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

namespace moorwinch_tool {
namespace serviceLines {

using json = nlohmann::json;

// Texts from the service are shown on one line and cut at this length.
constexpr std::size_t maxShownBytes = 2048;

// A text from the socket, safe for a terminal line.
inline std::string shown(std::string text) {
    if (text.size() > maxShownBytes) text = text.substr(0, maxShownBytes) + "...";
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

inline std::string textOf(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

inline double numberOf(const json& object, const char* key, double fallback) {
    const auto it = object.find(key);
    return it != object.end() && it->is_number() ? it->get<double>() : fallback;
}

inline bool flagOf(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_boolean() && it->get<bool>();
}

inline json objectOf(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_object() ? *it : json::object();
}

inline std::chrono::system_clock::time_point timeOf(const json& object) {
    const double seconds = numberOf(object, "time", 0.0);
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e11) return std::chrono::system_clock::now();
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(seconds)));
}

}  // namespace serviceLines
}  // namespace moorwinch_tool

#endif
