// System details query: one exchange (the station answers it slowly, so the
// reply wait is ten connection timeouts), then "SYSTEM_DETAILS" into systemDetails.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "MoorwinchImpl.h"
#include "MoorwinchReplyFields.h"

namespace KORVANE {
namespace {

using Details = Moorwinch::systemDetails;
using replyFields::json;

// The station may report the cable length in metres or in centimetres; above
// this many it can only be centimetres.
constexpr std::int32_t maxCableLengthMetres = 400;

std::int32_t cableLengthMetres(std::int32_t value) {
    return value > maxCableLengthMetres ? value / 100 : value;
}

// One record field from one member. Exactly one member pointer is set.
struct DetailsField {
    const char* key;
    std::string Details::*asText;
    std::int32_t Details::*asSigned;
    std::uint32_t Details::*asUnsigned;
    std::int32_t (*normalise)(std::int32_t);

    void read(const json& block, Details& details) const {
        if (asText) {
            replyFields::takeText(block, key, details.*asText);
        } else if (asSigned) {
            if (replyFields::takeSigned(block, key, details.*asSigned) && normalise)
                details.*asSigned = normalise(details.*asSigned);
        } else {
            replyFields::takeUnsigned(block, key, details.*asUnsigned);
        }
    }
};

DetailsField textField(const char* key, std::string Details::*member) { return {key, member, nullptr, nullptr, nullptr}; }
DetailsField signedField(const char* key, std::int32_t Details::*member,
                         std::int32_t (*normalise)(std::int32_t) = nullptr) {
    return {key, nullptr, member, nullptr, normalise};
}
DetailsField unsignedField(const char* key, std::uint32_t Details::*member) {
    return {key, nullptr, nullptr, member, nullptr};
}

const std::vector<DetailsField>& detailsFields() {
    static const std::vector<DetailsField> fields = {
        textField(mw_sys_details.product_type.key, &Details::productType),
        textField(mw_sys_details.model.key, &Details::model),
        textField(mw_sys_details.sn.key, &Details::serialNumber),
        textField(mw_sys_details.dop.key, &Details::dayOfProduction),
        textField(mw_sys_details.hw_version.key, &Details::hwVersion),
        textField(mw_sys_details.protocol_version.key, &Details::protocolVersion),
        textField(mw_sys_details.uav_cell_voltages.key, &Details::uavCellVoltages),
        signedField(mw_sys_details.max_power.key, &Details::maxPower),
        textField(mw_sys_details.cable_type.key, &Details::cableType),
        signedField(mw_sys_details.max_cable_length.key, &Details::maxCableLength, cableLengthMetres),
        signedField(mw_sys_details.network_type.key, &Details::networkType),
        unsignedField(mw_sys_details.flight_time_sum.key, &Details::flightTimeSum),
        unsignedField(mw_sys_details.flight_count.key, &Details::flightCount),
        unsignedField(mw_sys_details.operation_time_sum.key, &Details::operationTimeSum),
        unsignedField(mw_sys_details.operation_count.key, &Details::operationCount),
        unsignedField(mw_sys_details.system_time_sum.key, &Details::systemTimeSum),
        unsignedField(mw_sys_details.system_use_count.key, &Details::systemUseCount),
        unsignedField(mw_sys_details.last_maintenance.key, &Details::lastMaintenance),
        unsignedField(mw_sys_details.ttm.key, &Details::timeToMaintenance),
        signedField(mw_sys_details.maintenance_required.key, &Details::maintenanceRequired),
    };
    return fields;
}

// Members of the nested "SW_VERSION" object, one version text per module.
const std::vector<DetailsField>& softwareVersionFields() {
    static const std::vector<DetailsField> fields = {
        textField(mw_sw_version.main_ctrl.key, &Details::swVersionMainCtrl),
        textField(mw_sw_version.reel_ctrl.key, &Details::swVersionReelCtrl),
        textField(mw_sw_version.lpwr_ctrl.key, &Details::swVersionLpwrCtrl),
        textField(mw_sw_version.hpwr_ctrl.key, &Details::swVersionHpwrCtrl),
        textField(mw_sw_version.env_ctrl.key, &Details::swVersionEnvCtrl),
        textField(mw_sw_version.net_ctrl.key, &Details::swVersionNetCtrl),
        textField(mw_sw_version.bbat_ctrl.key, &Details::swVersionBbatCtrl),
    };
    return fields;
}

}  // namespace

void Moorwinch::MoorwinchImpl::getSystemDetails(systemDetails& details) {
    processSystemDetails(exchange("getSystemDetails", queryPayload(mw_command.get_system_details), 10).document,
                         details);
}

void Moorwinch::MoorwinchImpl::processSystemDetails(std::string& reply, systemDetails& details) {
    json document;
    if (!replyFields::parse(reply, document)) raise<DataException>("processSystemDetails", ": system data malformed", errorKind::malformedReply);
    processSystemDetails(document, details);
}

void Moorwinch::MoorwinchImpl::processSystemDetails(const json& document, systemDetails& details) {
    static const char* const operation = "processSystemDetails";
    if (!document.is_object()) raise<DataException>(operation, ": status data malformed", errorKind::malformedReply);
    const json* data = replyFields::object(document, mw_objects[0]);
    if (!data) raise<DataException>(operation, ": invalid status data format", errorKind::malformedReply);

    // Filled on a copy so that the caller's record changes all at once or not at all.
    systemDetails next = details;
    for (const DetailsField& field : detailsFields()) field.read(*data, next);
    if (const json* versions = replyFields::object(*data, mw_sys_details.sw_version->key))
        for (const DetailsField& field : softwareVersionFields()) field.read(*versions, next);
    details = std::move(next);
}

}  // namespace KORVANE
