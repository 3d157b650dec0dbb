// System status query: one exchange, then the reply's blocks into systemStatus.
#include <cstdint>
#include <vector>

#include "MoorwinchImpl.h"
#include "MoorwinchReplyFields.h"

namespace KORVANE {
namespace {

using Status = Moorwinch::systemStatus;
using replyFields::json;

// One record field filled from one member of a status block. Exactly one of the
// three member pointers is set; float fields carry the wire unit's divisor.
struct StatusField {
    const char* key;
    std::int32_t Status::*asSigned;
    std::uint32_t Status::*asUnsigned;
    float Status::*asFloat;
    float divisor;

    void read(const json& block, Status& status) const {
        if (asSigned) replyFields::takeSigned(block, key, status.*asSigned);
        else if (asUnsigned) replyFields::takeUnsigned(block, key, status.*asUnsigned);
        else replyFields::takeScaled(block, key, divisor, status.*asFloat);
    }
};

StatusField signedField(const char* key, std::int32_t Status::*member) { return {key, member, nullptr, nullptr, 1.0f}; }
StatusField unsignedField(const char* key, std::uint32_t Status::*member) { return {key, nullptr, member, nullptr, 1.0f}; }
StatusField floatField(const char* key, float Status::*member, float divisor = 1.0f) {
    return {key, nullptr, nullptr, member, divisor};
}

struct StatusBlock {
    const char* key;
    std::vector<StatusField> fields;
    void (*afterRead)(Status&);  // derived values, run whenever the block was read
};

void computeUavPower(Status& s) { s.uavPowerConsumption = s.uavSupplyVoltage * s.uavSupplyCurrent; }

// In reading order; CONFIG_STATUS first, it is the one block the station must send.
const std::vector<StatusBlock>& statusBlocks() {
    static const std::vector<StatusBlock> blocks = {
        {mw_sys_status.config_status->key,
         {signedField(mw_config_status.cab.key, &Status::cab),
          signedField(mw_config_status.env.key, &Status::env),
          signedField(mw_config_status.energy_gs.key, &Status::energyGS),
          signedField(mw_config_status.energy_uav.key, &Status::energyUAV),
          signedField(mw_config_status.sys_state.key, &Status::sysState),
          signedField(mw_config_status.hw_module_status.key, &Status::hwModuleStatus)},
         nullptr},
        {mw_sys_status.hw_module_status->key,
         {signedField(mw_hw_module_status.main_ctrl.key, &Status::hwMainCtrl),
          signedField(mw_hw_module_status.reel_ctrl.key, &Status::hwReelCtrl),
          signedField(mw_hw_module_status.lpwr_ctrl.key, &Status::hwLpwrCtrl),
          signedField(mw_hw_module_status.hpwr_ctrl.key, &Status::hwHpwrCtrl),
          signedField(mw_hw_module_status.env_ctrl.key, &Status::hwEnvCtrl)},
         nullptr},
        {mw_sys_status.cab->key,
         {floatField(mw_cab.length.key, &Status::cableLength, 100.0f),
          floatField(mw_cab.speed.key, &Status::cableSpeed, 100.0f),
          signedField(mw_cab.ret_status.key, &Status::cableRetractionStatus),
          unsignedField(mw_cab.ret_torque.key, &Status::cableRetractionTorque),
          floatField(mw_cab.ret_start.key, &Status::cableRetractionStartLength, 100.0f),
          signedField(mw_cab.tether_status.key, &Status::tetherStatus),
          signedField(mw_cab.guide_status.key, &Status::cableGuideStatus),
          signedField(mw_cab.reel_status.key, &Status::cableReelStatus)},
         nullptr},
        {mw_sys_status.env->key,
         {floatField(mw_env.temp1.key, &Status::temperature1),
          floatField(mw_env.temp2.key, &Status::temperature2),
          floatField(mw_env.temp3.key, &Status::temperature3),
          floatField(mw_env.temp4.key, &Status::temperature4),
          floatField(mw_env.hum1.key, &Status::humidity1),
          floatField(mw_env.press1.key, &Status::pressure1),
          signedField(mw_env.envsensor1_status.key, &Status::envSensor1Status),
          signedField(mw_env.envsensor2_status.key, &Status::envSensor2Status),
          signedField(mw_env.envsensor3_status.key, &Status::envSensor3Status),
          signedField(mw_env.envsensor4_status.key, &Status::envSensor4Status),
          signedField(mw_env.fan1_rpm.key, &Status::fan1Rpm),
          signedField(mw_env.fan1_status.key, &Status::fan1Status),
          signedField(mw_env.fan2_rpm.key, &Status::fan2Rpm),
          signedField(mw_env.fan2_status.key, &Status::fan2Status)},
         nullptr},
        {mw_sys_status.energy_gs->key,
         {floatField(mw_energy_gs.mains_u.key, &Status::mainsVoltage),
          floatField(mw_energy_gs.mains_i.key, &Status::mainsCurrent, 1000.0f),
          floatField(mw_energy_gs.mains_f.key, &Status::mainsFrequency, 1000.0f),
          signedField(mw_energy_gs.mains_status.key, &Status::mainsStatus),
          signedField(mw_energy_gs.ctrl_supl_status.key, &Status::controlSupplyStatus),
          floatField(mw_energy_gs.bat_u.key, &Status::backupBatteryVoltage),
          signedField(mw_energy_gs.bat_status.key, &Status::backupBatteryStatus)},
         nullptr},
        {mw_sys_status.energy_uav->key,
         {signedField(mw_energy_uav.ext_supl_status.key, &Status::uavExtSupplyStatus),
          floatField(mw_energy_uav.uav_supl_u.key, &Status::uavSupplyVoltage, 1000.0f),
          floatField(mw_energy_uav.uav_supl_i.key, &Status::uavSupplyCurrent),
          signedField(mw_energy_uav.uav_cell_count.key, &Status::uavCellCount)},
         computeUavPower},
        {mw_sys_status.sys_state->key,
         {signedField(mw_sys_state.activation.key, &Status::activationStatus),
          signedField(mw_sys_state.ret_status.key, &Status::retractionStatus),
          signedField(mw_sys_state.bat_status.key, &Status::batteryStatus),
          unsignedField(mw_sys_state.system_time.key, &Status::systemTime),
          unsignedField(mw_sys_state.operation_time.key, &Status::operationTime),
          unsignedField(mw_sys_state.flight_time.key, &Status::flightTime),
          unsignedField(mw_sys_state.flight_time_op_sum.key, &Status::flightTimeOpSum),
          unsignedField(mw_sys_state.flight_count_op_sum.key, &Status::flightCountOpSum),
          signedField(mw_sys_state.error.key, &Status::errorCode)},
         nullptr},
    };
    return blocks;
}

}  // namespace

void Moorwinch::MoorwinchImpl::getSystemStatus(systemStatus& status) {
    processStatusData(exchange("getSystemStatus", queryPayload(mw_command.get_system_status), 1).document, status);
}

void Moorwinch::MoorwinchImpl::processStatusData(std::string& reply, systemStatus& status) {
    json document;
    if (!replyFields::parse(reply, document)) raise<DataException>("processStatusData", ": status data malformed", errorKind::malformedReply);
    processStatusData(document, status);
}

void Moorwinch::MoorwinchImpl::processStatusData(const json& document, systemStatus& status) {
    static const char* const operation = "processStatusData";
    if (!document.is_object()) raise<DataException>(operation, ": status data malformed", errorKind::malformedReply);
    const json* data = replyFields::object(document, mw_objects[2]);
    if (!data) raise<DataException>(operation, ": invalid status data format", errorKind::malformedReply);
    if (!replyFields::object(*data, mw_sys_status.config_status->key))
        raise<DataException>(operation, ": incomplete status data", errorKind::malformedReply);

    // Filled on a copy so that the caller's record changes all at once or not at all.
    systemStatus next = status;
    for (const StatusBlock& block : statusBlocks()) {
        const json* members = replyFields::object(*data, block.key);
        if (!members) continue;
        for (const StatusField& field : block.fields) field.read(*members, next);
        if (block.afterRead) block.afterRead(next);
    }
    status = next;
}

}  // namespace KORVANE
