// Internal: reading the data members of a reply. Shared by the status, details
// and configuration parsers, which are strict about the frame and lenient per
// member: a number is taken only from a JSON integer, a text only from a JSON
// string; anything else leaves the field as it was.
#ifndef KORVANE_MOORWINCH_REPLY_FIELDS_H
#define KORVANE_MOORWINCH_REPLY_FIELDS_H

#include <cstdint>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

namespace KORVANE {
namespace replyFields {

using json = nlohmann::json;

// Parses a whole reply line (no comments). False for anything the parser
// rejects, also numbers it cannot hold such as 1e400.
inline bool parse(const std::string& text, json& document) {
    try {
        document = json::parse(text, nullptr, true, false);
        return true;
    } catch (const json::exception&) {
        return false;
    }
}

// The member if present and an object, else nullptr.
inline const json* object(const json& parent, const char* key) {
    auto it = parent.find(key);
    return it != parent.end() && it->is_object() ? &*it : nullptr;
}

// A JSON integer (signed or unsigned) reduced modulo 2^32: the station's values
// are 32 bits wide, a wider one wraps instead of overflowing the conversion.
inline bool word(const json& parent, const char* key, std::uint32_t& value) {
    auto it = parent.find(key);
    if (it == parent.end() || !it->is_number_integer()) return false;
    std::uint64_t wide = it->is_number_unsigned() ? it->get<std::uint64_t>()
                                                  : static_cast<std::uint64_t>(it->get<std::int64_t>());
    value = static_cast<std::uint32_t>(wide & 0xFFFFFFFFu);
    return true;
}

// Two's complement reading of a 32-bit word, without relying on the
// implementation-defined narrowing conversion.
inline std::int32_t asSigned(std::uint32_t w) {
    if (w <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) return static_cast<std::int32_t>(w);
    return static_cast<std::int32_t>(w - 0x80000000u) + std::numeric_limits<std::int32_t>::min();
}

inline bool takeSigned(const json& parent, const char* key, std::int32_t& field) {
    std::uint32_t w;
    if (!word(parent, key, w)) return false;
    field = asSigned(w);
    return true;
}

inline bool takeUnsigned(const json& parent, const char* key, std::uint32_t& field) {
    return word(parent, key, field);
}

// Integer on the wire in units of 1/divisor, e.g. centimetres for metres.
inline bool takeScaled(const json& parent, const char* key, float divisor, float& field) {
    std::uint32_t w;
    if (!word(parent, key, w)) return false;
    field = static_cast<float>(asSigned(w)) / divisor;
    return true;
}

inline bool takeText(const json& parent, const char* key, std::string& field) {
    auto it = parent.find(key);
    if (it == parent.end() || !it->is_string()) return false;
    field = it->get<std::string>();
    return true;
}

}  // namespace replyFields
}  // namespace KORVANE

#endif
