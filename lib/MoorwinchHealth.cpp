// Health check: condenses a status (and the maintenance flag of the details)
// into one verdict. Errors win over warnings.
#include <cstdint>
#include <vector>

#include "MoorwinchImpl.h"

namespace KORVANE {
namespace {

using Status = Moorwinch::systemStatus;

// A status code field and the codes of it that count, each with the text that
// names the condition.
struct CodeRule {
    struct Code {
        std::int32_t value;
        const char* condition;
    };
    std::int32_t Status::*field;
    std::vector<Code> codes;

    const char* holds(const Status& status) const {
        for (const Code& code : codes)
            if (status.*field == code.value) return code.condition;
        return nullptr;
    }
};

const std::vector<CodeRule>& errorRules() {
    static const std::vector<CodeRule> rules = {
        {&Status::hwMainCtrl, {{128, "main control hardware error"}, {129, "main control communication error"}}},
        {&Status::hwReelCtrl, {{128, "reel control hardware error"}, {129, "reel control communication error"}}},
        {&Status::hwLpwrCtrl,
         {{128, "low power control hardware error"}, {129, "low power control communication error"}}},
        {&Status::hwHpwrCtrl,
         {{128, "high power control hardware error"}, {129, "high power control communication error"}}},
        {&Status::hwEnvCtrl,
         {{128, "environment control hardware error"}, {129, "environment control communication error"}}},
        {&Status::errorCode, {{1, "generic system error"}}},
        {&Status::tetherStatus, {{3, "tether failure detected"}}},
        {&Status::cableGuideStatus, {{1, "cable guide motor failure"}}},
        {&Status::cableReelStatus, {{1, "cable reel motor failure"}}},
        {&Status::uavExtSupplyStatus, {{8, "UAV supply error"}, {16, "UAV supply: no load detected"}}},
        {&Status::controlSupplyStatus, {{1, "control supply error"}, {2, "control supply out of range"}}},
        {&Status::mainsStatus, {{1, "mains error"}, {2, "mains parameters out of range"}}},
        {&Status::fan1Status, {{1, "fan 1 failure"}}},
        {&Status::fan2Status, {{1, "fan 2 failure"}}},
    };
    return rules;
}

// Sensor code 4 (pressure failure) is deliberately not a warning.
const std::vector<CodeRule>& warningRules() {
    static const std::vector<CodeRule> rules = {
        {&Status::tetherStatus, {{1, "tether warning"}, {2, "maximum unwoundable cable length reached"}}},
        {&Status::errorCode, {{128, "system warning"}}},
        {&Status::envSensor1Status,
         {{1, "environment sensor 1 failure"},
          {2, "environment sensor 1 temperature failure"},
          {3, "environment sensor 1 humidity failure"}}},
        {&Status::envSensor2Status,
         {{1, "environment sensor 2 failure"},
          {2, "environment sensor 2 temperature failure"},
          {3, "environment sensor 2 humidity failure"}}},
        {&Status::envSensor3Status,
         {{1, "environment sensor 3 failure"},
          {2, "environment sensor 3 temperature failure"},
          {3, "environment sensor 3 humidity failure"}}},
        {&Status::envSensor4Status,
         {{1, "environment sensor 4 failure"},
          {2, "environment sensor 4 temperature failure"},
          {3, "environment sensor 4 humidity failure"}}},
    };
    return rules;
}

// Appends the text of every rule that holds; true if any did.
bool collect(const std::vector<CodeRule>& rules, const Status& status, std::vector<std::string>* found) {
    bool any = false;
    for (const CodeRule& rule : rules) {
        if (const char* condition = rule.holds(status)) {
            any = true;
            if (!found) return true;
            found->push_back(condition);
        }
    }
    return any;
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
    return judge(status, details, error, flag, nullptr);
}

bool Moorwinch::MoorwinchImpl::checkSystemStatus(const systemStatus& status, const systemDetails& details,
                                                 MoorwinchDefinitions::systemError& error, bool flag,
                                                 std::vector<std::string>& conditions) {
    return judge(status, details, error, flag, &conditions);
}

bool Moorwinch::MoorwinchImpl::judge(const systemStatus& status, const systemDetails& details,
                                     MoorwinchDefinitions::systemError& error, bool flag,
                                     std::vector<std::string>* conditions) {
    const bool errors = collect(errorRules(), status, conditions);
    bool warnings = collect(warningRules(), status, conditions);
    if (flag && details.maintenanceRequired == maintenanceDue) {
        warnings = true;
        if (conditions) conditions->push_back("maintenance required");
    }
    error = errors ? MoorwinchDefinitions::statusError
                   : warnings ? MoorwinchDefinitions::statusWarning : MoorwinchDefinitions::statusOk;
    return error != MoorwinchDefinitions::statusOk;
}

}  // namespace KORVANE
