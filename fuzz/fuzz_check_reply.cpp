// The reply envelope check. The first two input bytes are the request's message
// id (high byte first), the rest is the reply line. A DataException is the
// documented way to refuse a reply; anything else escaping is a finding. A
// refusal carries its kind, and a station's message that the service and the
// tool can show as it is: bounded, valid UTF-8, no control characters.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "FuzzCheck.h"
#include "MoorwinchImpl.h"

namespace {

// Accepted exactly when the reply carries an object "COM" whose integer "MSG_ID" equals
// the id and whose integer "COM_STATUS" is 0, both taken modulo 2^16.
bool envelopeMatches(const std::string& reply, unsigned short msgId) {
    nlohmann::json document = nlohmann::json::parse(reply, nullptr, false, false);
    if (document.is_discarded() || !document.is_object()) return false;
    auto com = document.find("COM");
    if (com == document.end() || !com->is_object()) return false;
    auto low16 = [&](const char* key, std::uint16_t& value) {
        auto it = com->find(key);
        if (it == com->end() || !it->is_number_integer()) return false;
        value = static_cast<std::uint16_t>(it->is_number_unsigned() ? it->get<std::uint64_t>()
                                                                    : static_cast<std::uint64_t>(it->get<std::int64_t>()));
        return true;
    };
    std::uint16_t id = 0, status = 0;
    return low16("MSG_ID", id) && low16("COM_STATUS", status) && id == msgId && status == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static KORVANE::Moorwinch::MoorwinchImpl impl;
    const unsigned short msgId = static_cast<unsigned short>(data[0] << 8 | data[1]);
    const std::string original(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::string reply = original;
    bool accepted = false;
    try {
        impl.checkReply(reply, msgId);
        accepted = true;
    } catch (const KORVANE::DataException& e) {
        using KORVANE::errorKind;
        const KORVANE::errorDetail& detail = e.detail();
        FUZZ_REQUIRE(detail.kind == errorKind::malformedReply || detail.kind == errorKind::wrongMessage ||
                         detail.kind == errorKind::stationRefused,
                     "a refusal without its kind");
        FUZZ_REQUIRE((detail.kind == errorKind::stationRefused) == (detail.stationStatus > 0),
                     "a station status without a refusal");
        FUZZ_REQUIRE(detail.stationMessage.size() <= 255, "station message not bounded");
        for (char c : detail.stationMessage)
            FUZZ_REQUIRE(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "control character in the station message");
        try {
            (void)nlohmann::json(detail.stationMessage).dump();
        } catch (const nlohmann::json::exception&) {
            FUZZ_REQUIRE(false, "station message cut inside a character");
        }
    }
    FUZZ_REQUIRE(reply == original, "checkReply changed the reply");
    FUZZ_REQUIRE(accepted == envelopeMatches(original, msgId), "checkReply decided against the envelope");
    return 0;
}
