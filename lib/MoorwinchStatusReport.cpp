// The status report: six sections, one per status block, each gated by the
// block's reporting flag.
#include <string>

#include "MoorwinchFormat.h"
#include "MoorwinchImpl.h"

namespace KORVANE {
namespace {

using Status = Moorwinch::systemStatus;
using report::CodeText;
using report::coded;
using report::field;
using Line = report::Line<Status>;

constexpr const char* kHeader = "Korvane Skyhold.Platform Ground Station - System Status\n";
constexpr const char* kDegreesCelsius = " \xF8"
                                        "C\n";

constexpr CodeText retractionLower[] = {
    {0, "disabled"},
    {1, "manual controlled"},
    {2, "automatic controlled via physical torque switch"},
    {16, "remote controlled via UART"},
    {32, "breaking"},
    {33, "locked"},
    {255, "automatic cable retraction is not available on this Korvane Skyhold.Platform system."},
};
constexpr CodeText tether[] = {
    {0, "OK"},
    {2, "maximum unwoundable length reached"},
    {3, "failure detected"},
};
constexpr CodeText guide[] = {
    {0, "OK"},
    {1, "motor failure detected"},
    {255, "Cable guide is not available on this Korvane Skyhold.Platform system."},
};
constexpr CodeText reel[] = {
    {0, "OK"},
    {1, "motor failure detected"},
    {255, "Cable reel is not available on this Korvane Skyhold.Platform system."},
};
// Sensor 1 has no "not available" text: it carries the system temperature.
constexpr CodeText sensor1[] = {
    {0, "OK"}, {1, "sensor failure"}, {2, "temperature failure"}, {3, "humidity failure"}, {4, "pressure failure"},
};
constexpr CodeText sensor[] = {
    {0, "OK"},           {1, "sensor failure"},   {2, "temperature failure"},
    {3, "humidity failure"}, {4, "pressure failure"}, {255, "not available"},
};
constexpr CodeText mains[] = {
    {0, "OK"},
    {2, "Parameters out of range"},
};
constexpr CodeText controlSupply[] = {
    {0, "OK"},
    {1, "Error"},
    {2, "Out of range"},
    {255, "Control Supply parameters are not available on this Korvane Skyhold.Platform system."},
};
constexpr CodeText battery[] = {
    {0, "Backup battery currently not in use. Backup battery status o.k."},
    {1, "Backup battery is currently charged."},
    {2, "Backup battery is currently in use."},
    {127, "Failure on backup battery!"},
    {255, "No backup battery in this Korvane Skyhold.Platform ground station configuration available!"},
};
constexpr CodeText supply[] = {
    {0, "disabled / ready for activation"},
    {1, "primary supply starting"},
    {2, "primary supply activated"},
    {4, "supply goes offline"},
    {8, "supply error"},
    {16, "no load detected"},
    {33, "secondary supply starting"},
    {34, "secondary supply activated"},
};
constexpr CodeText activation[] = {
    {0, "Deactivated"},
    {1, "Manual activated by power switch"},
    {16, "Remote activated via UART"},
};
constexpr CodeText systemError[] = {
    {0, "no error"},
    {1, "generic error"},
};
constexpr CodeText hardwareModule[] = {
    {0, "Disabled"}, {1, "Enabled"}, {128, "Hardware error"}, {129, "Communication error"}, {255, "Not available"},
};

std::string cellType(std::int32_t cells) { return cells == 40 ? "4S HV" : std::to_string(cells) + "S"; }

constexpr Line cableLines[] = {
    {"  Cable length unwound: ", field<&Status::cableLength, report::metres>},
    {"  Cable speed: ", field<&Status::cableSpeed, report::speed>},
    {"  Cable retraction start length: ", field<&Status::cableRetractionStartLength, report::metres>},
    {"  Cable retraction torque: ", field<&Status::cableRetractionTorque, report::percent>},
    {"  Cable retraction status: ", field<&Status::cableRetractionStatus, coded<retractionLower>>},
    {"  Tether Cable status: ", field<&Status::tetherStatus, coded<tether>>},
    {"  Cable guide status: ", field<&Status::cableGuideStatus, coded<guide>>},
    {"  Cable reel status: ", field<&Status::cableReelStatus, coded<reel>>},
};

constexpr Line uavLines[] = {
    {"  UAV battery type: ", field<&Status::uavCellCount, cellType>},
    {"  UAV supply voltage: ", field<&Status::uavSupplyVoltage, report::volts>},
    {"  UAV supply current: ", field<&Status::uavSupplyCurrent, report::amperes>},
    {"  UAV power consumption: ", field<&Status::uavPowerConsumption, report::watts>},
    {"  UAV external supply status: ", field<&Status::uavExtSupplyStatus, coded<supply>>},
};

constexpr Line stateLines[] = {
    {"  System activation status: ", field<&Status::activationStatus, coded<activation>>},
    {"  Cable retraction status: ", field<&Status::retractionStatus, coded<report::retractionCapitalised>>},
    {"  Backup battery status: ", field<&Status::batteryStatus, coded<battery>>},
    {"  Current flight time: ", field<&Status::flightTime, report::duration>},
    {"  Flight time sum during operation: ", field<&Status::flightTimeOpSum, report::duration>},
    {"  Number of flights during operation: ", field<&Status::flightCountOpSum, report::count>},
    {"  Current operation time: ", field<&Status::operationTime, report::duration>},
    {"  Current system usage time: ", field<&Status::systemTime, report::duration>},
    {"  System error: ", field<&Status::errorCode, coded<systemError>>},
};

constexpr Line moduleLines[] = {
    {"  Hardware Status Main Control: ", field<&Status::hwMainCtrl, coded<hardwareModule>>},
    {"  Hardware Status Reel Control: ", field<&Status::hwReelCtrl, coded<hardwareModule>>},
    {"  Hardware Status Low Power Control: ", field<&Status::hwLpwrCtrl, coded<hardwareModule>>},
    {"  Hardware Status High Power Control: ", field<&Status::hwHpwrCtrl, coded<hardwareModule>>},
    {"  Hardware Status Environment Control: ", field<&Status::hwEnvCtrl, coded<hardwareModule>>},
};

void cableSection(std::string& text, const Status& s) { report::appendLines(text, cableLines, s); }

// Only the sensor status decides between value and failure text; the values
// themselves are never compared against the "no reading" defaults.
void environmentSection(std::string& text, const Status& s) {
    struct Sensor {
        const char* label;
        std::int32_t Status::*status;
        std::string (*text)(std::int32_t);
    };
    static constexpr Sensor sensors[] = {
        {"  Environment Sensor 1: ", &Status::envSensor1Status, coded<sensor1>},
        {"  Environment Sensor 2: ", &Status::envSensor2Status, coded<sensor>},
        {"  Environment Sensor 3: ", &Status::envSensor3Status, coded<sensor>},
        {"  Environment Sensor 4: ", &Status::envSensor4Status, coded<sensor>},
    };
    for (const Sensor& row : sensors) text += row.label + row.text(s.*row.status) + "\n";

    const bool sensor1Ok = s.envSensor1Status == 0;
    text += "  Temperatur 1 (System/PCB): ";
    text += sensor1Ok ? report::rounded(s.temperature1) + kDegreesCelsius : std::string("failure\n");

    // Sensors 2 to 4 are optional: an absent one leaves no line at all.
    struct Temperature {
        const char* label;
        std::int32_t Status::*status;
        float Status::*value;
    };
    static constexpr Temperature temperatures[] = {
        {"  Temperatur 2: ", &Status::envSensor2Status, &Status::temperature2},
        {"  Temperatur 3: ", &Status::envSensor3Status, &Status::temperature3},
        {"  Temperatur 4: ", &Status::envSensor4Status, &Status::temperature4},
    };
    for (const Temperature& row : temperatures) {
        const std::int32_t status = s.*row.status;
        if (status == 255) continue;
        text += row.label;
        text += status == 0 ? report::rounded(s.*row.value) + kDegreesCelsius : std::string("failure\n");
    }

    text += "  Humidity 1: ";
    text += sensor1Ok ? report::rounded(s.humidity1) + " %\n" : std::string("failure\n");
    text += "  Pressure 1: ";
    text += sensor1Ok ? report::rounded(s.pressure1) + " hPa\n" : std::string("failure\n");

    struct Fan {
        const char* label;
        std::int32_t Status::*status;
        std::int32_t Status::*rpm;
    };
    static constexpr Fan fans[] = {
        {"  Fan 1: ", &Status::fan1Status, &Status::fan1Rpm},
        {"  Fan 2: ", &Status::fan2Status, &Status::fan2Rpm},
    };
    for (const Fan& row : fans) {
        const std::int32_t status = s.*row.status;
        if (status == 0) text += row.label + report::number(s.*row.rpm) + " 1/min\n";
        if (status == 1) text += row.label + std::string("failure\n");
    }
}

void groundStationEnergySection(std::string& text, const Status& s) {
    static constexpr Line mainsLines[] = {
        {"  Mains voltage: ", field<&Status::mainsVoltage, report::volts>},
        {"  Mains current: ", field<&Status::mainsCurrent, report::amperes>},
        {"  Mains frequency: ", field<&Status::mainsFrequency, report::hertz>},
        {"  Mains status: ", field<&Status::mainsStatus, coded<mains>>},
    };
    if (s.mainsStatus == 255)
        text += "  Mains parameters are not available on this Korvane Skyhold.Platform system.\n";
    else
        report::appendLines(text, mainsLines, s);

    text += "  Control Supply status: " + report::lookup(controlSupply, s.controlSupplyStatus) + "\n";
    text += "  Backup battery status: " + report::lookup(battery, s.backupBatteryStatus) + "\n";
    // The station's own tools print this value with a percent sign.
    if (s.backupBatteryStatus != 127 && s.backupBatteryStatus != 255)
        text += "  Backup battery voltage: " + report::truncated(s.backupBatteryVoltage) + " %\n";
}

void uavEnergySection(std::string& text, const Status& s) { report::appendLines(text, uavLines, s); }
void systemStatesSection(std::string& text, const Status& s) { report::appendLines(text, stateLines, s); }
void hardwareModuleSection(std::string& text, const Status& s) { report::appendLines(text, moduleLines, s); }

struct Section {
    std::int32_t Status::*flag;
    const char* disabled;
    const char* notAvailable;
    const char* heading;
    const char* fallback;
    void (*body)(std::string&, const Status&);
};

constexpr Section sections[] = {
    {&Status::cab, "Cable status data are disabled.\n",
     "Cable status data are not available on this Korvane Skyhold.Platform system.\n", "Cable status data:\n",
     "Cable status: ", cableSection},
    {&Status::env, "Envrionment status data are disabled.\n",
     "Envrionment status data are not available on this Korvane Skyhold.Platform system.\n",
     "Environment status data:\n", "Environment status: ", environmentSection},
    {&Status::energyGS, "Ground Station energy status data are disabled.\n",
     "Ground Station energy status data are not available on this Korvane Skyhold.Platform system.\n",
     "Ground Station energy status data:\n", "Ground Station energy status: ", groundStationEnergySection},
    {&Status::energyUAV, "UAV energy status data are disabled.\n",
     "UAV energy status data are not available on this Korvane Skyhold.Platform system.\n",
     "UAV energy status data:\n", "UAV energy status: ", uavEnergySection},
    {&Status::sysState, "Tether system states data are disabled.\n",
     "Tether system states data are not available on this Korvane Skyhold.Platform system.\n",
     "Tether System States Overview:\n", "Tether system states: ", systemStatesSection},
    {&Status::hwModuleStatus, "Hardware module status data are disabled.\n",
     "Hardware module status data are not available on this Korvane Skyhold.Platform system.\n",
     "Hardware Module Status:\n", "Hardware module status: ", hardwareModuleSection},
};

void appendSection(std::string& text, const Section& section, const Status& s) {
    const std::int32_t flag = s.*section.flag;
    if (flag == 0) {
        text += section.disabled;
    } else if (flag == 255) {
        text += section.notAvailable;
    } else if (flag == 1) {
        text += section.heading;
        section.body(text, s);
    } else {
        text += section.fallback + std::to_string(flag) + "\n";
    }
}

}  // namespace

void Moorwinch::MoorwinchImpl::print(systemStatus& status, std::ostream& out) {
    std::string text = kHeader;
    for (const Section& section : sections) {
        // An empty line between sections, none after the last.
        if (&section != &sections[0]) text += '\n';
        appendSection(text, section, status);
    }
    report::writeReport(out, text);
}

}  // namespace KORVANE
