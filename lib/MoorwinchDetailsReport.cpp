// The product details report and its date format.
#include <ctime>
#include <limits>
#include <string>

#include "MoorwinchFormat.h"
#include "MoorwinchImpl.h"

namespace KORVANE {
namespace {

using Details = Moorwinch::systemDetails;
using report::CodeText;
using report::coded;
using report::field;
using Line = report::Line<Details>;

constexpr CodeText network[] = {
    {1, "2-wire Power Line"},
    {2, "3-wire Power Line"},
    {3, "Fiber-optic"},
    {255, "Network support is not available on this Korvane Skyhold.Platform system."},
};

std::string text(const std::string& value) { return value; }
std::string watts(std::int32_t value) { return std::to_string(value) + " W"; }
std::string metres(std::int32_t value) { return std::to_string(value) + " m"; }
std::string maintenance(std::int32_t required) {
    return required != 0 ? "Maintenance necessary!" : "No maintenance necessary.";
}

constexpr Line identityLines[] = {
    {"Product type: ", field<&Details::productType, text>},
    {"Product model: ", field<&Details::model, text>},
    {"Serial number: ", field<&Details::serialNumber, text>},
    {"Day of production: ", field<&Details::dayOfProduction, text>},
    {"Hardware version: ", field<&Details::hwVersion, text>},
};

// A module the station does not have reports its version as "0.0.0".
struct Module {
    const char* label;
    std::string Details::*version;
};
constexpr Module modules[] = {
    {"  Main control: ", &Details::swVersionMainCtrl},
    {"  Low power management: ", &Details::swVersionLpwrCtrl},
    {"  High power management: ", &Details::swVersionHpwrCtrl},
    {"  Environment control: ", &Details::swVersionEnvCtrl},
    {"  Cable reel control: ", &Details::swVersionReelCtrl},
    {"  Backup battery management: ", &Details::swVersionBbatCtrl},
    {"  Network control: ", &Details::swVersionNetCtrl},
};

constexpr Line ratingLines[] = {
    {"Used Communication Protocol version: ", field<&Details::protocolVersion, text>},
    {"Supported UAV battery cell type: ", field<&Details::uavCellVoltages, text>},
    {"Maximum Power: ", field<&Details::maxPower, watts>},
    {"Tether cable type equiped: ", field<&Details::cableType, text>},
    {"Tether cable length: ", field<&Details::maxCableLength, metres>},
    {"Tether type: ", field<&Details::networkType, coded<network>>},
    {"Total system usage time: ", field<&Details::systemTimeSum, report::duration>},
    {"Total number of system usages: ", field<&Details::systemUseCount, report::count>},
    {"Total operation time: ", field<&Details::operationTimeSum, report::duration>},
    {"Total number of operations: ", field<&Details::operationCount, report::count>},
    {"Total flight time: ", field<&Details::flightTimeSum, report::duration>},
    {"Total number of flights: ", field<&Details::flightCount, report::count>},
};

constexpr Line maintenanceLines[] = {
    {"Usage time until next maintenance: ", field<&Details::timeToMaintenance, report::duration>},
    {"", field<&Details::maintenanceRequired, maintenance>},
};

}  // namespace

// Local date and time of a count of seconds since the epoch. A count that the
// host cannot convert prints as the number itself rather than a made-up date.
std::string Moorwinch::MoorwinchImpl::getTimeString(unsigned long time) {
    if (time > static_cast<unsigned long>(std::numeric_limits<std::time_t>::max())) return std::to_string(time);
    const std::time_t seconds = static_cast<std::time_t>(time);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return std::to_string(time);
    char buffer[64];
    if (std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local) == 0) return std::to_string(time);
    return buffer;
}

void Moorwinch::MoorwinchImpl::print(systemDetails& details, std::ostream& out) {
    std::string text = "Korvane Skyhold.Platform Ground Station - Product Details:\n";
    report::appendLines(text, identityLines, details);

    std::string versions;
    for (const Module& row : modules) {
        const std::string& version = details.*row.version;
        if (version != "0.0.0") versions += row.label + version + "\n";
    }
    if (!versions.empty()) text += "Software versions:\n" + versions;

    report::appendLines(text, ratingLines, details);
    text += "Date of last maintenance: ";
    text += details.lastMaintenance == 0 ? std::string("not available") : getTimeString(details.lastMaintenance);
    text += '\n';
    report::appendLines(text, maintenanceLines, details);
    report::writeReport(out, text);
}

}  // namespace KORVANE
