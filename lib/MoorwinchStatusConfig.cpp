// Status-reporting configuration: the six flags that say which status blocks
// the station reports. Read from a status reply, written with one command.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "MoorwinchImpl.h"

namespace KORVANE {
namespace {

using Status = Moorwinch::systemStatus;
using Flags = Moorwinch::systemStatusConfig;
using Change = Moorwinch::systemStatusConfigChange;

struct FlagRow {
    const mw_entry_u8& entry;  // key in "CONFIG_STATUS"
    const char* field;         // the member's name in the records
    std::int32_t Status::*inStatus;
    std::int32_t Flags::*inConfig;
    std::optional<std::int32_t> Change::*inChange;
};

// In the order of the "CONFIG_STATUS" table, which is also the order on the wire.
const FlagRow flagRows[] = {
    {mw_config_status.cab, "cab", &Status::cab, &Flags::cab, &Change::cab},
    {mw_config_status.env, "env", &Status::env, &Flags::env, &Change::env},
    {mw_config_status.energy_gs, "energyGS", &Status::energyGS, &Flags::energyGS, &Change::energyGS},
    {mw_config_status.energy_uav, "energyUAV", &Status::energyUAV, &Flags::energyUAV, &Change::energyUAV},
    {mw_config_status.sys_state, "sysState", &Status::sysState, &Flags::sysState, &Change::sysState},
    {mw_config_status.hw_module_status, "hwModuleStatus", &Status::hwModuleStatus, &Flags::hwModuleStatus,
     &Change::hwModuleStatus},
};

constexpr const char* changeOperation = "changeSystemStatusConfig";

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

void Moorwinch::MoorwinchImpl::checkStatusReportingFlag(const char* field, std::int32_t value) {
    if (value == 0 || value == 1) return;
    errorDetail detail;
    detail.kind = errorKind::valueOutOfRange;
    detail.field = field;
    raise<ValueException>(changeOperation,
                          std::string(": Value out of range. Valid reporting flag values: 0 and 1 (") + field + ")",
                          std::move(detail));
}

// Every named flag is judged before the status is read, so a refused change
// costs no traffic. A flag the station reports as neither 0 nor 1 is one it
// does not have or does not tell: sending its value back would assert a state
// nobody chose, so it has to be named.
void Moorwinch::MoorwinchImpl::changeSystemStatusConfig(const systemStatusConfigChange& change,
                                                        systemStatusConfig& sent) {
    for (const FlagRow& row : flagRows)
        if (change.*row.inChange) checkStatusReportingFlag(row.field, *(change.*row.inChange));
    systemStatusConfig flags;
    getSystemStatusConfig(flags);
    for (const FlagRow& row : flagRows) {
        if (change.*row.inChange) {
            flags.*row.inConfig = *(change.*row.inChange);
        } else if (flags.*row.inConfig != 0 && flags.*row.inConfig != 1) {
            errorDetail detail;
            detail.kind = errorKind::flagUnavailable;
            detail.field = row.field;
            raise<ValueException>(changeOperation,
                                  std::string(": reporting flag ") + row.field + " is not available on the station (" +
                                      std::to_string(flags.*row.inConfig) + ") and cannot be kept; name it (0 or 1)",
                                  std::move(detail));
        }
    }
    setSystemStatusConfig(flags);
    sent = flags;
}

}  // namespace KORVANE
