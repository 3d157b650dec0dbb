// Status-reporting configuration: the six flags that say which status blocks
// the station reports. Read from a status reply, written with one command.
#include <cstdint>
#include <string>

#include "MoorwinchImpl.h"

namespace KORVANE {
namespace {

using Status = Moorwinch::systemStatus;
using Flags = Moorwinch::systemStatusConfig;

struct FlagRow {
    const mw_entry_u8& entry;  // key in "CONFIG_STATUS"
    std::int32_t Status::*inStatus;
    std::int32_t Flags::*inConfig;
};

// In the order of the "CONFIG_STATUS" table, which is also the order on the wire.
const FlagRow flagRows[] = {
    {mw_config_status.cab, &Status::cab, &Flags::cab},
    {mw_config_status.env, &Status::env, &Flags::env},
    {mw_config_status.energy_gs, &Status::energyGS, &Flags::energyGS},
    {mw_config_status.energy_uav, &Status::energyUAV, &Flags::energyUAV},
    {mw_config_status.sys_state, &Status::sysState, &Flags::sysState},
    {mw_config_status.hw_module_status, &Status::hwModuleStatus, &Flags::hwModuleStatus},
};

}  // namespace

// A full status query; flags the station leaves out keep their default 255.
void Moorwinch::MoorwinchImpl::getSystemStatusConfig(systemStatusConfig& config) {
    systemStatus status;
    getSystemStatus(status);
    for (const FlagRow& row : flagRows) config.*row.inConfig = status.*row.inStatus;
}

// "COMMAND":{"CONFIG_STATUS":{"CAB":a,...,"HW_MODULE_STATUS":f}}; flags are sent
// as they are, unchecked.
void Moorwinch::MoorwinchImpl::setSystemStatusConfig(systemStatusConfig& config) {
    std::string payload = std::string("\"") + mw_command.key + "\":{\"" + mw_command.config_status->key + "\":{";
    const char* separator = "";
    for (const FlagRow& row : flagRows) {
        payload += separator;
        payload += std::string("\"") + row.entry.key + "\":" + std::to_string(config.*row.inConfig);
        separator = ",";
    }
    payload += "}}";
    exchange("setSystemStatusConfig", payload, 30);
}

}  // namespace KORVANE
