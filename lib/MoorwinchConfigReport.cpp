// The configuration report, and the full report of status and details.
#include <iostream>
#include <string>

#include "MoorwinchFormat.h"
#include "MoorwinchImpl.h"

namespace KORVANE {
namespace {

using Config = Moorwinch::systemConfig;
using report::field;
using Line = report::Line<Config>;

std::string activation(bool active) { return active ? "Activated" : "Deactivated"; }

constexpr Line configLines[] = {
    {"System activation status: ", field<&Config::systemActivation, activation>},
    {"Cable retraction start length: ", field<&Config::cableRetractionStartLength, report::metres>},
    {"Cable retraction torque: ", field<&Config::cableRetractionTorque, report::percent>},
    {"Cable retraction status: ",
     field<&Config::cableRetractionStatus, report::coded<report::retractionCapitalised>>},
};

}  // namespace

void Moorwinch::MoorwinchImpl::print(systemConfig& config, std::ostream& out) {
    std::string text = "Korvane Skyhold.Platform Ground Station - System Configuration:\n";
    report::appendLines(text, configLines, config);
    report::writeReport(out, text);
}

// Both reads come first, so a failed read leaves nothing half printed.
void Moorwinch::MoorwinchImpl::print() {
    systemStatus status;
    systemDetails details;
    getSystemStatus(status);
    getSystemDetails(details);
    print(status, std::cout);
    std::cout << std::endl;
    print(details, std::cout);
}

}  // namespace KORVANE
