// Setters and encoders on arbitrary texts and numbers. The input is a sequence
// of setter calls (format in SetterTable.h); afterwards every encoder writes
// its fragment into a buffer of the documented size plus room for escaping,
// followed by a guard; the fragment, enclosed by mw_complete_json, must parse
// as JSON, carry the values the tables hold, and stay inside the buffer. One
// status message (COM, delimiter, SYSTEM_STATUS) is composed the same way.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "FuzzCheck.h"
#include "MoorwinchProtocol.h"
#include "SetterTable.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define MOORWINCH_FUZZ_POISON 1
#endif
#endif

namespace {

using nlohmann::json;
using Encoder = void (*)(char*);

constexpr std::size_t textBytes = mw_text_size - 1;  // 31
constexpr std::size_t escapeGrowth = 5;              // a byte may be written as six ("\u00XX")
constexpr std::size_t guardBytes = 64;
constexpr unsigned char guardFill = 0xA5;

struct EncoderCase {
    const char* name;
    Encoder encode;
    const char* key;
    std::size_t documented;  // longest fragment the field widths allow, unescaped
    std::size_t texts;       // bytes of settable text the fragment may hold
};

constexpr std::size_t statusDocumented = 17 + 150 + 140 + 160 + 260 + (450 + 300) + (200 + 100) + (300 + 100) + 6 + 1;

const EncoderCase encoders[] = {
    {"hw_module_status", mw_hw_module_status_json, "HW_MODULE_STATUS", 140, 0},
    {"config_status", mw_config_status_json, "CONFIG_STATUS", 150, 0},
    {"config_product", mw_config_product_json, "CONFIG_PRODUCT", 640 + 140, 8 * textBytes},
    {"sw_version", mw_sw_version_json, "SW_VERSION", 360, 7 * textBytes},
    {"sys_details", mw_sys_details_json, "SYSTEM_DETAILS", 1210 + 360 + 90, 14 * textBytes},
    {"system_hw_version", mw_system_hw_version_json, "SYSTEM_DETAILS", 100, textBytes},
    {"system_sw_version", mw_system_sw_version_json, "SYSTEM_DETAILS", 410 + 360, 7 * textBytes},
    {"system_protocol", mw_system_protocol_json, "SYSTEM_DETAILS", 200, 0},
    {"sys_config", mw_sys_config_json, "SYSTEM_CONFIG", 150, 0},
    {"cab", mw_cab_json, "CAB", 160, 0},
    {"env", mw_env_json, "ENV", 260, 0},
    {"energy_gs", mw_energy_gs_json, "ENERGY_GS", 450 + 300, 0},
    {"energy_uav", mw_energy_uav_json, "ENERGY_UAV", 200 + 100, 0},
    {"sys_state", mw_sys_state_json, "SYS_STATE", 300 + 100, 0},
    {"sys_status", mw_sys_status_json, "SYSTEM_STATUS", statusDocumented, 0},
    {"communication", mw_communication_json, "COM", 335, 0},
    {"communication_debug", mw_communication_debug_json, "COM", 335, mw_status_msg_size - 1},
};

// A caller's buffer of a given capacity with a guard behind it that no write may reach.
class GuardedBuffer {
public:
    explicit GuardedBuffer(std::size_t capacity) : capacity_(capacity), bytes_(capacity + guardBytes, guardFill) {
        bytes_[0] = '\0';
#ifdef MOORWINCH_FUZZ_POISON
        ASAN_POISON_MEMORY_REGION(bytes_.data() + capacity_, guardBytes);
#endif
    }
    ~GuardedBuffer() { unpoison(); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    char* data() { return bytes_.data(); }

    // The text, after checking that it ends inside the buffer and the guard is whole.
    std::string finish(const char* what) {
        unpoison();
        for (std::size_t i = capacity_; i < bytes_.size(); ++i) FUZZ_REQUIRE(bytes_[i] == static_cast<char>(guardFill), what);
        const void* end = std::memchr(bytes_.data(), '\0', capacity_);
        FUZZ_REQUIRE(end != nullptr, what);
        return std::string(bytes_.data());
    }

private:
    void unpoison() {
#ifdef MOORWINCH_FUZZ_POISON
        ASAN_UNPOISON_MEMORY_REGION(bytes_.data() + capacity_, guardBytes);
#endif
    }
    std::size_t capacity_;
    std::vector<char> bytes_;
};

bool validUtf8(const char* text, std::size_t length) {
    std::size_t i = 0;
    while (i < length) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t extra;
        std::uint32_t point;
        if (c < 0x80) { ++i; continue; }
        if (c >= 0xC2 && c <= 0xDF) { extra = 1; point = c & 0x1Fu; }
        else if (c >= 0xE0 && c <= 0xEF) { extra = 2; point = c & 0x0Fu; }
        else if (c >= 0xF0 && c <= 0xF4) { extra = 3; point = c & 0x07u; }
        else return false;
        if (i + extra >= length) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned char n = static_cast<unsigned char>(text[i + k]);
            if ((n & 0xC0u) != 0x80u) return false;
            point = point << 6 | (n & 0x3Fu);
        }
        if ((extra == 2 && (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF))) ||
            (extra == 3 && (point < 0x10000 || point > 0x10FFFF)))
            return false;
        i += extra + 1;
    }
    return true;
}

// A text field that holds valid UTF-8 must come back byte for byte.
template <std::size_t N>
void requireText(const json& parsed, const mw_entry_text<N>& entry, const char* what) {
    const std::size_t length = strnlen(entry.value, N);
    if (!validUtf8(entry.value, length)) return;
    FUZZ_REQUIRE(parsed.is_string() && parsed.get<std::string>() == std::string(entry.value, length), what);
}

void requireNumber(const json& parsed, long long expected, const char* what) {
    FUZZ_REQUIRE(parsed.is_number_integer() && parsed.get<long long>() == expected, what);
}

// The fragment of one encoder, completed, checked for its buffer and for being
// one JSON object with the encoder's key. Full parse only when the values are wanted.
std::string encodeAlone(const EncoderCase& c) {
    GuardedBuffer buffer(c.documented + escapeGrowth * c.texts + 2 + 1);
    c.encode(buffer.data());
    mw_complete_json(buffer.data());
    std::string text = buffer.finish(c.name);
    const bool valid = json::accept(text, false);
    if (!valid) std::fprintf(stderr, "%s wrote: %s\n", c.name, text.c_str());
    FUZZ_REQUIRE(valid, "fragment is not JSON");
    FUZZ_REQUIRE(text.compare(0, std::strlen(c.key) + 5, std::string("{\"") + c.key + "\":{") == 0,
                 "fragment has another key");
    return text;
}

json parseAlone(const EncoderCase& c) {
    json document = json::parse(encodeAlone(c), nullptr, false, false);
    FUZZ_REQUIRE(document.is_object() && document.size() == 1 && document.contains(c.key), "fragment has another key");
    return document;
}

// Inputs replay one setter call after another; a truncated last call is dropped.
void applySetters(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    std::string text;
    while (at < size) {
        const fuzzing::Setter& setter = fuzzing::setters[data[at++] % fuzzing::setterCount];
        const std::size_t width = fuzzing::valueWidth(setter.arg);
        if (size - at < width) return;
        std::uint32_t number = 0;
        for (std::size_t k = 0; k < width; ++k) number |= static_cast<std::uint32_t>(data[at + k]) << (8 * k);
        at += width;
        if (setter.arg == fuzzing::Arg::text) {
            const std::size_t length = std::min<std::size_t>(number % (fuzzing::maxTextInput + 1), size - at);
            text.assign(reinterpret_cast<const char*>(data) + at, length);
            at += length;
        }
        fuzzing::call(setter, text.c_str(), number);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fuzzing::TableSnapshot defaults;
    defaults.restore();
    applySetters(data, size);

    // Values that must survive the trip: texts of each length class and numbers of each type.
    const json details = parseAlone(encoders[4]).at("SYSTEM_DETAILS");
    requireText(details.at("SN"), mw_sys_details.sn, "serial number");
    requireText(details.at("SW_VERSION").at("BBAT_CTRL"), mw_sw_version.bbat_ctrl, "software version");
    requireNumber(details.at("FLIGHT_TIME_SUM"), mw_sys_details.flight_time_sum.value, "flight time sum");
    const json product = parseAlone(encoders[2]).at("CONFIG_PRODUCT");
    requireText(product.at("AUTH_KEY"), mw_config_product.auth_key, "authentication key");
    FUZZ_REQUIRE(product.at("TTM") == std::to_string(mw_config_product.ttm.value), "quoted time to maintenance");
    for (std::size_t i = 0; i < sizeof encoders / sizeof encoders[0]; ++i)
        if (i != 2 && i != 4 && i != 10) encodeAlone(encoders[i]);
    const json env = parseAlone(encoders[10]).at("ENV");
    requireNumber(env.at("TEMP1"), mw_env.temp1.value, "temperature");
    requireNumber(env.at("PRESS1"), mw_env.press1.value, "pressure");

    // A whole status message, as a station writes it.
    const EncoderCase& com = encoders[16];
    GuardedBuffer message(com.documented + escapeGrowth * com.texts + 1 + statusDocumented + 2 + 1);
    mw_communication_debug_json(message.data());
    jsonDelimiter(message.data());
    mw_sys_status_json(message.data());
    mw_complete_json(message.data());
    const json parsed = json::parse(message.finish("status message"), nullptr, false, false);
    FUZZ_REQUIRE(!parsed.is_discarded() && parsed.size() == 2, "status message is not JSON");
    requireText(parsed.at("COM").at("COM_STATUS_MSG"), mw_communication.com_status_msg, "status message text");
    requireNumber(parsed.at("COM").at("MSG_ID"), mw_communication.msg_id.value, "message id");
    const json& status = parsed.at("SYSTEM_STATUS");
    FUZZ_REQUIRE(status.contains("CAB") == (mw_config_status.cab.value == 1), "CAB flag not followed");
    FUZZ_REQUIRE(status.contains("SYS_STATE") == (mw_config_status.sys_state.value == 1), "SYS_STATE flag not followed");
    if (status.contains("ENERGY_UAV"))
        FUZZ_REQUIRE(status.at("ENERGY_UAV").contains("EXT_SUPL_U") == (mw_sys_state.auth_enable.value != 0),
                     "tail not following AUTH_ENABLE");
    return 0;
}
