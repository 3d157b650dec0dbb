// Health check: condenses a status (and the maintenance flag of the details)
// into one verdict. Errors win over warnings.
#include <cstdint>
#include <vector>

#include "MoorwinchImpl.h"

namespace KORVANE {
namespace {

using Status = Moorwinch::systemStatus;

// A status code field and the codes of it that count.
struct CodeRule {
    std::int32_t Status::*field;
    std::vector<std::int32_t> codes;

    bool holds(const Status& status) const {
        for (std::int32_t code : codes)
            if (status.*field == code) return true;
        return false;
    }
};

const std::vector<CodeRule>& errorRules() {
    static const std::vector<CodeRule> rules = {
        {&Status::hwMainCtrl, {128, 129}},  // hardware or communication error
        {&Status::hwReelCtrl, {128, 129}},
        {&Status::hwLpwrCtrl, {128, 129}},
        {&Status::hwHpwrCtrl, {128, 129}},
        {&Status::hwEnvCtrl, {128, 129}},
        {&Status::errorCode, {1}},
        {&Status::tetherStatus, {3}},
        {&Status::cableGuideStatus, {1}},
        {&Status::cableReelStatus, {1}},
        {&Status::uavExtSupplyStatus, {8, 16}},  // supply error, no load
        {&Status::controlSupplyStatus, {1, 2}},
        {&Status::mainsStatus, {1, 2}},
        {&Status::fan1Status, {1}},
        {&Status::fan2Status, {1}},
    };
    return rules;
}

// Sensor code 4 (pressure failure) is deliberately not a warning.
const std::vector<CodeRule>& warningRules() {
    static const std::vector<CodeRule> rules = {
        {&Status::tetherStatus, {1, 2}},
        {&Status::errorCode, {128}},
        {&Status::envSensor1Status, {1, 2, 3}},
        {&Status::envSensor2Status, {1, 2, 3}},
        {&Status::envSensor3Status, {1, 2, 3}},
        {&Status::envSensor4Status, {1, 2, 3}},
    };
    return rules;
}

bool anyHolds(const std::vector<CodeRule>& rules, const Status& status) {
    for (const CodeRule& rule : rules)
        if (rule.holds(status)) return true;
    return false;
}

constexpr std::int32_t maintenanceDue = 1;

}  // namespace

// Status first, then details; a failing status query skips the details, and
// any failure leaves error as it was.
bool Moorwinch::MoorwinchImpl::checkSystemStatus(MoorwinchDefinitions::systemError& error) {
    systemStatus status;
    systemDetails details;
    getSystemStatus(status);
    getSystemDetails(details);
    return checkSystemStatus(status, details, error, true);
}

bool Moorwinch::MoorwinchImpl::checkSystemStatus(systemStatus& status, MoorwinchDefinitions::systemError& error,
                                                 bool flag) {
    systemDetails details;
    if (flag) getSystemDetails(details);
    return checkSystemStatus(status, details, error, flag);
}

bool Moorwinch::MoorwinchImpl::checkSystemStatus(systemStatus& status, systemDetails& details,
                                                 MoorwinchDefinitions::systemError& error, bool flag) {
    error = MoorwinchDefinitions::statusOk;
    if (anyHolds(errorRules(), status))
        error = MoorwinchDefinitions::statusError;
    else if (anyHolds(warningRules(), status) || (flag && details.maintenanceRequired == maintenanceDue))
        error = MoorwinchDefinitions::statusWarning;
    return error != MoorwinchDefinitions::statusOk;
}

}  // namespace KORVANE
