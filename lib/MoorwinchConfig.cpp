// System configuration: read it, change activation, retraction torque and
// retraction start length, and tell the fixed limits of the settings.
#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>

#include "MoorwinchImpl.h"
#include "MoorwinchReplyFields.h"

namespace KORVANE {
namespace {

using replyFields::json;

constexpr unsigned int minimalTorque = 0;    // %
constexpr unsigned int maximalTorque = 100;  // %
constexpr float minimalStartLength = 0.3f;   // m

// The start length travels as whole centimetres in a signed 32-bit number. This
// is the largest length (in metres) whose single-precision product with 100
// still converts; the next float above it rounds to 2^31 centimetres.
constexpr std::int32_t maximalStartLengthMetres = 21474834;
static_assert(static_cast<float>(maximalStartLengthMetres) * 100.0f < 2147483648.0f, "centimetres must fit");
static_assert(21474836.0f * 100.0f >= 2147483648.0f, "limit must be the largest that fits");

// Activation codes: sent 16 (remote) or 0; reported 1 (power switch) or 16 when active.
constexpr std::int32_t activationRemote = 16;
constexpr std::int32_t activationManual = 1;
constexpr std::int32_t deactivation = 0;

errorDetail outOfRange(const char* field) {
    errorDetail detail;
    detail.kind = errorKind::valueOutOfRange;
    detail.field = field;
    return detail;
}

// "COMMAND":{"<key>":<number>}
std::string commandPayload(const char* key, const std::string& number) {
    return std::string("\"") + mw_command.key + "\":{\"" + key + "\":" + number + "}";
}

}  // namespace

void Moorwinch::MoorwinchImpl::getSystemConfig(systemConfig& config) {
    processSystemConfig(exchange("getSystemConfig", queryPayload(mw_command.get_system_config), 1).document, config);
}

// Reports in the name of getSystemConfig, the operation the caller sees.
void Moorwinch::MoorwinchImpl::processSystemConfig(std::string& reply, systemConfig& config) {
    json document;
    if (!replyFields::parse(reply, document))
        raise<DataException>("getSystemConfig", ": system configuration data malformed", errorKind::malformedReply);
    processSystemConfig(document, config);
}

void Moorwinch::MoorwinchImpl::processSystemConfig(const json& document, systemConfig& config) {
    static const char* const operation = "getSystemConfig";
    if (!document.is_object()) raise<DataException>(operation, ": system configuration data malformed", errorKind::malformedReply);
    const json* data = replyFields::object(document, mw_objects[1]);
    if (!data) raise<DataException>(operation, ": invalid system configuration data format", errorKind::malformedReply);

    systemConfig next = config;
    std::int32_t activation;
    if (replyFields::takeSigned(*data, mw_sys_config.activation.key, activation))
        next.systemActivation = activation == activationManual || activation == activationRemote;
    replyFields::takeScaled(*data, mw_sys_config.ret_start.key, 100.0f, next.cableRetractionStartLength);
    replyFields::takeUnsigned(*data, mw_sys_config.ret_torque.key, next.cableRetractionTorque);
    replyFields::takeSigned(*data, mw_sys_config.ret_status.key, next.cableRetractionStatus);
    config = next;
}

// Deactivate before changing the settings, activate only after them. Steps
// already done stay done when a later one fails.
void Moorwinch::MoorwinchImpl::setSystemConfig(bool activation, unsigned int torque, float startLength) {
    if (!activation) setSystemActivation(false);
    setCableRetractionTorque(torque);
    setCableRetractionStartLength(startLength);
    if (activation) setSystemActivation(true);
}

void Moorwinch::MoorwinchImpl::setSystemConfig(const systemConfig& config) {
    setSystemConfig(config.systemActivation, config.cableRetractionTorque, config.cableRetractionStartLength);
}

void Moorwinch::MoorwinchImpl::setSystemActivation(bool activation) {
    std::string payload = commandPayload(mw_command.set_activation.key,
                                         std::to_string(activation ? activationRemote : deactivation));
    exchange("setSystemActivation", payload, 30);
}

void Moorwinch::MoorwinchImpl::checkCableRetractionTorque(unsigned int torque) {
    if (torque <= maximalTorque) return;
    std::ostringstream text;
    text << ": Value out of range. Maximal valid torque: " << maximalTorque << " %";
    raise<ValueException>("setCableRetractionTorque", text.str(), outOfRange("cableRetractionTorque"));
}

void Moorwinch::MoorwinchImpl::checkCableRetractionStartLength(float length) {
    static const char* const operation = "setCableRetractionStartLength";
    // NaN, infinity and lengths whose centimetres overflow have no defined conversion.
    if (std::isnan(length) || length > static_cast<float>(maximalStartLengthMetres)) {
        std::ostringstream text;
        text << ": Value out of range. Valid cable retraction start length: " << minimalStartLength << " m to "
             << maximalStartLengthMetres << " m";
        raise<ValueException>(operation, text.str(), outOfRange("cableRetractionStartLength"));
    }
    if (length < minimalStartLength) {
        std::ostringstream text;
        text << ": Value out of range. Minimal valid cable retraction start length: " << minimalStartLength << " m";
        raise<ValueException>(operation, text.str(), outOfRange("cableRetractionStartLength"));
    }
}

void Moorwinch::MoorwinchImpl::setCableRetractionTorque(unsigned int torque) {
    checkCableRetractionTorque(torque);
    exchange("setCableRetractionTorque", commandPayload(mw_command.set_ret_torque.key, std::to_string(torque)), 1);
}

void Moorwinch::MoorwinchImpl::setCableRetractionStartLength(float length) {
    checkCableRetractionStartLength(length);
    // The product is kept in single precision: 1.15f must give 115, not 114.
    float centimetres = length * 100.0f;
    std::int32_t wire = static_cast<std::int32_t>(centimetres);
    exchange("setCableRetractionStartLength", commandPayload(mw_command.set_ret_start.key, std::to_string(wire)),
             1);
}

unsigned int Moorwinch::MoorwinchImpl::getMinimalCableRetractionTorque() { return minimalTorque; }

unsigned int Moorwinch::MoorwinchImpl::getMaximalCableRetractionTorque() { return maximalTorque; }

float Moorwinch::MoorwinchImpl::getMinimalCableRetractionStartLength() { return minimalStartLength; }

}  // namespace KORVANE
