// The status, details and configuration reports, byte for byte, and the full
// report against a station on a pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>

#include "MoorwinchImpl.h"
#include "PtyStation.h"

using namespace KORVANE;
using moorwinch_sim::PtyStation;
using Status = Moorwinch::systemStatus;
using Details = Moorwinch::systemDetails;
using Config = Moorwinch::systemConfig;

namespace {

template <class Record>
std::string render(Record record) {
    Moorwinch::MoorwinchImpl impl;
    std::ostringstream out;
    impl.print(record, out);
    return out.str();
}

// A status with every block reported and every code at "OK".
Status reportedStatus() {
    Status s;
    s.cab = s.env = s.energyGS = s.energyUAV = s.sysState = s.hwModuleStatus = 1;
    s.envSensor1Status = s.envSensor2Status = s.envSensor3Status = s.envSensor4Status = 0;
    s.mainsStatus = s.controlSupplyStatus = s.backupBatteryStatus = 0;
    return s;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(StatusReport, DefaultRecordPrintsSixNotAvailableLines) {
    EXPECT_EQ(render(Status{}),
              "Korvane Skyhold.Platform Ground Station - System Status\n"
              "Cable status data are not available on this Korvane Skyhold.Platform system.\n\n"
              "Envrionment status data are not available on this Korvane Skyhold.Platform system.\n\n"
              "Ground Station energy status data are not available on this Korvane Skyhold.Platform system.\n\n"
              "UAV energy status data are not available on this Korvane Skyhold.Platform system.\n\n"
              "Tether system states data are not available on this Korvane Skyhold.Platform system.\n\n"
              "Hardware module status data are not available on this Korvane Skyhold.Platform system.\n");
}

TEST(StatusReport, AllFlagsZeroPrintSixDisabledLines) {
    Status s;
    s.cab = s.env = s.energyGS = s.energyUAV = s.sysState = s.hwModuleStatus = 0;
    EXPECT_EQ(render(s),
              "Korvane Skyhold.Platform Ground Station - System Status\n"
              "Cable status data are disabled.\n\n"
              "Envrionment status data are disabled.\n\n"
              "Ground Station energy status data are disabled.\n\n"
              "UAV energy status data are disabled.\n\n"
              "Tether system states data are disabled.\n\n"
              "Hardware module status data are disabled.\n");
}

// Every section reported, every other field at its default: each label once,
// and every "not available" default through its table.
TEST(StatusReport, ReportedDefaultsPrintEveryLabelAndDefaultText) {
    Status s;
    s.cab = s.env = s.energyGS = s.energyUAV = s.sysState = s.hwModuleStatus = 1;
    EXPECT_EQ(render(s),
              "Korvane Skyhold.Platform Ground Station - System Status\n"
              "Cable status data:\n"
              "  Cable length unwound: 0.00 m\n"
              "  Cable speed: 0.00 m/s\n"
              "  Cable retraction start length: 0.00 m\n"
              "  Cable retraction torque: 0 %\n"
              "  Cable retraction status: automatic cable retraction is not available on this Korvane "
              "Skyhold.Platform system.\n"
              "  Tether Cable status: failure detected\n"
              "  Cable guide status: Cable guide is not available on this Korvane Skyhold.Platform system.\n"
              "  Cable reel status: Cable reel is not available on this Korvane Skyhold.Platform system.\n"
              "\n"
              "Environment status data:\n"
              "  Environment Sensor 1: 255\n"
              "  Environment Sensor 2: not available\n"
              "  Environment Sensor 3: not available\n"
              "  Environment Sensor 4: not available\n"
              "  Temperatur 1 (System/PCB): failure\n"
              "  Humidity 1: failure\n"
              "  Pressure 1: failure\n"
              "\n"
              "Ground Station energy status data:\n"
              "  Mains parameters are not available on this Korvane Skyhold.Platform system.\n"
              "  Control Supply status: Control Supply parameters are not available on this Korvane "
              "Skyhold.Platform system.\n"
              "  Backup battery status: No backup battery in this Korvane Skyhold.Platform ground station "
              "configuration available!\n"
              "\n"
              "UAV energy status data:\n"
              "  UAV battery type: 0S\n"
              "  UAV supply voltage: 0.00 V\n"
              "  UAV supply current: 0.00 A\n"
              "  UAV power consumption: 0.00 W\n"
              "  UAV external supply status: supply error\n"
              "\n"
              "Tether System States Overview:\n"
              "  System activation status: Deactivated\n"
              "  Cable retraction status: Automatic cable retraction is not available on this Korvane "
              "Skyhold.Platform system.\n"
              "  Backup battery status: No backup battery in this Korvane Skyhold.Platform ground station "
              "configuration available!\n"
              "  Current flight time: 0:00:00\n"
              "  Flight time sum during operation: 0:00:00\n"
              "  Number of flights during operation: 0\n"
              "  Current operation time: 0:00:00\n"
              "  Current system usage time: 0:00:00\n"
              "  System error: generic error\n"
              "\n"
              "Hardware Module Status:\n"
              "  Hardware Status Main Control: Not available\n"
              "  Hardware Status Reel Control: Not available\n"
              "  Hardware Status Low Power Control: Not available\n"
              "  Hardware Status High Power Control: Not available\n"
              "  Hardware Status Environment Control: Not available\n");
}

struct FlagCase {
    std::int32_t Status::*flag;
    std::string line;
    std::string heading;
};

TEST(StatusReport, UnknownFlagPrintsTheSectionsFallbackLineOnly) {
    const FlagCase cases[] = {
        {&Status::cab, "\nCable status: 2\n\n", "Cable status data:"},
        {&Status::env, "\nEnvironment status: 2\n\n", "Environment status data:"},
        {&Status::energyGS, "\nGround Station energy status: 2\n\n", "Ground Station energy status data:"},
        {&Status::energyUAV, "\nUAV energy status: 2\n\n", "UAV energy status data:"},
        {&Status::sysState, "\nTether system states: 2\n\n", "Tether System States Overview:"},
        {&Status::hwModuleStatus, "\nHardware module status: 2\n", "Hardware Module Status:"},
    };
    for (const FlagCase& c : cases) {
        Status s = reportedStatus();
        s.*c.flag = 2;
        const std::string text = render(s);
        EXPECT_TRUE(contains(text, c.line)) << text;
        EXPECT_FALSE(contains(text, c.heading)) << text;
        EXPECT_TRUE(contains(render(reportedStatus()), c.heading));
    }
    Status s;
    s.hwModuleStatus = -3;
    EXPECT_TRUE(contains(render(s), "\nHardware module status: -3\n"));
}

// Each row changes a reported record and names a line (or run of lines) the
// report must then contain.
struct LineCase {
    void (*set)(Status&);
    std::string line;
};

const LineCase kStatusLines[] = {
    // codes without a text print as numbers
    {[](Status& s) { s.cableRetractionStatus = 77; }, "  Cable retraction status: 77\n"},
    {[](Status& s) { s.tetherStatus = 1; }, "  Tether Cable status: 1\n"},
    {[](Status& s) { s.cableGuideStatus = 77; }, "  Cable guide status: 77\n"},
    {[](Status& s) { s.cableReelStatus = -1; }, "  Cable reel status: -1\n"},
    {[](Status& s) { s.envSensor2Status = 77; }, "  Environment Sensor 2: 77\n"},
    {[](Status& s) { s.mainsStatus = 1; }, "  Mains frequency: 0.00 Hz\n  Mains status: 1\n"},
    {[](Status& s) { s.controlSupplyStatus = 77; }, "  Control Supply status: 77\n"},
    {[](Status& s) { s.backupBatteryStatus = 77; }, "  Backup battery status: 77\n"},
    {[](Status& s) { s.uavExtSupplyStatus = 3; }, "  UAV external supply status: 3\n"},
    {[](Status& s) { s.activationStatus = 2; }, "  System activation status: 2\n"},
    {[](Status& s) { s.retractionStatus = 32; }, "  Cable retraction status: 32\n"},
    {[](Status& s) { s.batteryStatus = 77; }, "  Backup battery status: 77\n"},
    {[](Status& s) { s.errorCode = 128; }, "  System error: 128\n"},
    {[](Status& s) { s.hwEnvCtrl = 2; }, "  Hardware Status Environment Control: 2\n"},
    // texts only the cable block has
    {[](Status& s) { s.cableRetractionStatus = 32; }, "  Cable retraction status: breaking\n"},
    {[](Status& s) { s.cableRetractionStatus = 33; }, "  Cable retraction status: locked\n"},
    // rounding halves away from zero, degree sign as the byte 0xF8
    {[](Status& s) { s.temperature1 = 21.5f; }, "  Temperatur 1 (System/PCB): 22 \xF8" "C\n"},
    {[](Status& s) { s.temperature1 = -0.5f; }, "  Temperatur 1 (System/PCB): -1 \xF8" "C\n"},
    {[](Status& s) { s.temperature1 = 21.49f; }, "  Temperatur 1 (System/PCB): 21 \xF8" "C\n"},
    {[](Status& s) { s.temperature1 = -0.4f; }, "  Temperatur 1 (System/PCB): 0 \xF8" "C\n"},
    {[](Status& s) { s.humidity1 = 45.5f; }, "  Humidity 1: 46 %\n"},
    // a marker value is printed when the sensor says OK
    {[](Status&) {}, "  Temperatur 2: -128 \xF8" "C\n"},
    // values no int can hold print as the float they are
    {[](Status& s) { s.temperature1 = 3.0e9f; }, "  Temperatur 1 (System/PCB): 3000000000 \xF8" "C\n"},
    {[](Status& s) { s.pressure1 = -std::numeric_limits<float>::infinity(); }, "  Pressure 1: -inf hPa\n"},
    {[](Status& s) { s.humidity1 = std::numeric_limits<float>::quiet_NaN(); }, "nan %\n"},
    {[](Status& s) { s.backupBatteryVoltage = -5.0e9f; }, "  Backup battery voltage: -5000000000 %\n"},
    // sensor 1 failing fails its three values; an absent sensor 3 prints nothing
    {[](Status& s) { s.envSensor1Status = 255, s.envSensor3Status = 255; },
     "  Environment Sensor 1: 255\n  Environment Sensor 2: OK\n  Environment Sensor 3: not available\n"
     "  Environment Sensor 4: OK\n  Temperatur 1 (System/PCB): failure\n  Temperatur 2: -128 \xF8" "C\n"
     "  Temperatur 4: -128 \xF8" "C\n  Humidity 1: failure\n  Pressure 1: failure\n\n"},
    {[](Status& s) { s.envSensor4Status = 2; }, "  Environment Sensor 4: temperature failure\n"},
    {[](Status& s) { s.envSensor4Status = 2; }, "  Temperatur 4: failure\n"},
    {[](Status& s) { s.fan1Status = 0, s.fan1Rpm = 2400; }, "  Fan 1: 2400 1/min\n"},
    {[](Status& s) { s.fan2Status = 1; }, "  Pressure 1: 0 hPa\n  Fan 2: failure\n\n"},
    // unit formats: 14 characters at most, the unit is cut first
    {[](Status& s) { s.cableLength = 1000000000.0f; }, "  Cable length unwound: 1000000000.00 \n"},
    {[](Status& s) { s.cableSpeed = 123456.0f; }, "  Cable speed: 123456.00 m/s\n"},
    {[](Status& s) { s.mainsFrequency = 99999999.0f; }, "  Mains frequency: 100000000.00 H\n"},
    {[](Status& s) { s.cableRetractionTorque = 4294967295u; }, "  Cable retraction torque: -1 %\n"},
    {[](Status& s) { s.cableRetractionTorque = 40; }, "  Cable retraction torque: 40 %\n"},
    // backup battery voltage: truncated, with " %"
    {[](Status& s) { s.backupBatteryVoltage = 12.9f; },
     "  Backup battery status: Backup battery currently not in use. Backup battery status o.k.\n"
     "  Backup battery voltage: 12 %\n\n"},
    {[](Status& s) { s.backupBatteryVoltage = -3.9f; }, "  Backup battery voltage: -3 %\n"},
    {[](Status& s) { s.backupBatteryStatus = 127; },
     "  Backup battery status: Failure on backup battery!\n\nUAV energy"},
    {[](Status& s) { s.uavCellCount = 40; }, "  UAV battery type: 4S HV\n"},
    {[](Status& s) { s.uavCellCount = 12; }, "  UAV battery type: 12S\n"},
    // durations: hours without limit
    {[](Status& s) { s.flightTime = 3725; }, "  Current flight time: 1:02:05\n"},
    {[](Status& s) { s.flightTimeOpSum = 360000; }, "  Flight time sum during operation: 100:00:00\n"},
    {[](Status& s) { s.systemTime = 4294967295u; }, "  Current system usage time: 1193046:28:15\n"},
    {[](Status& s) { s.flightCountOpSum = 4294967295u; }, "  Number of flights during operation: 4294967295\n"},
};

TEST(StatusReport, ValueLines) {
    for (const LineCase& c : kStatusLines) {
        Status s = reportedStatus();
        c.set(s);
        const std::string text = render(s);
        EXPECT_TRUE(contains(text, c.line)) << "missing:\n" << c.line << "in:\n" << text;
    }
}

TEST(StatusReport, LinesLeftOut) {
    const LineCase cases[] = {
        {[](Status& s) { s.mainsStatus = 255; }, "  Mains voltage"},
        {[](Status& s) { s.mainsStatus = 255; }, "  Mains status"},
        {[](Status& s) { s.backupBatteryStatus = 127; }, "Backup battery voltage"},
        {[](Status& s) { s.backupBatteryStatus = 255; }, "Backup battery voltage"},
        {[](Status& s) { s.envSensor3Status = 255; }, "Temperatur 3"},
        {[](Status& s) { s.fan2Status = 255; }, "Fan 2"},
        {[](Status& s) { s.fan1Status = 2; }, "Fan 1"},
    };
    for (const LineCase& c : cases) {
        Status s = reportedStatus();
        c.set(s);
        EXPECT_FALSE(contains(render(s), c.line)) << c.line;
    }
}

// Fixes the local time zone for date tests and restores it afterwards.
class UtcZone : public testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        hadZone = tz != nullptr;
        if (hadZone) zone = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (hadZone)
            setenv("TZ", zone.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    bool hadZone = false;
    std::string zone;
};

using DetailsReport = UtcZone;

// An empty version text is not "0.0.0", so a fresh record prints the group.
TEST_F(DetailsReport, DefaultRecordPrintsExactly) {
    EXPECT_EQ(render(Details{}),
              "Korvane Skyhold.Platform Ground Station - Product Details:\n"
              "Product type: \n"
              "Product model: \n"
              "Serial number: \n"
              "Day of production: \n"
              "Hardware version: \n"
              "Software versions:\n"
              "  Main control: \n"
              "  Low power management: \n"
              "  High power management: \n"
              "  Environment control: \n"
              "  Cable reel control: \n"
              "  Backup battery management: \n"
              "  Network control: \n"
              "Used Communication Protocol version: \n"
              "Supported UAV battery cell type: \n"
              "Maximum Power: 0 W\n"
              "Tether cable type equiped: \n"
              "Tether cable length: 0 m\n"
              "Tether type: Network support is not available on this Korvane Skyhold.Platform system.\n"
              "Total system usage time: 0:00:00\n"
              "Total number of system usages: 0\n"
              "Total operation time: 0:00:00\n"
              "Total number of operations: 0\n"
              "Total flight time: 0:00:00\n"
              "Total number of flights: 0\n"
              "Date of last maintenance: not available\n"
              "Usage time until next maintenance: 0:00:00\n"
              "No maintenance necessary.\n");
}

void noModules(Details& d) {
    d.swVersionMainCtrl = d.swVersionReelCtrl = d.swVersionLpwrCtrl = d.swVersionHpwrCtrl = d.swVersionEnvCtrl =
        d.swVersionNetCtrl = d.swVersionBbatCtrl = "0.0.0";
}

TEST_F(DetailsReport, ValueLines) {
    struct Case {
        void (*set)(Details&);
        std::string line;
    };
    const Case cases[] = {
        {[](Details& d) { noModules(d), d.swVersionReelCtrl = "2.0.1"; },
         "Hardware version: \nSoftware versions:\n  Cable reel control: 2.0.1\nUsed Communication"},
        {[](Details& d) { noModules(d); }, "Hardware version: \nUsed Communication Protocol version: \n"},
        {[](Details& d) { noModules(d), d.swVersionEnvCtrl = "0.0.0 "; },
         "Software versions:\n  Environment control: 0.0.0 \nUsed"},
        {[](Details& d) { noModules(d), d.swVersionMainCtrl = "1", d.swVersionNetCtrl = "3"; },
         "Software versions:\n  Main control: 1\n  Network control: 3\nUsed"},
        {[](Details& d) { d.cableType = "\"Type A\" "; }, "Tether cable type equiped: \"Type A\" \n"},
        {[](Details& d) { d.maxPower = 2500; }, "Maximum Power: 2500 W\n"},
        {[](Details& d) { d.maxCableLength = -1; }, "Tether cable length: -1 m\n"},
        {[](Details& d) { d.networkType = 1; }, "Tether type: 2-wire Power Line\n"},
        {[](Details& d) { d.networkType = 2; }, "Tether type: 3-wire Power Line\n"},
        {[](Details& d) { d.networkType = 3; }, "Tether type: Fiber-optic\n"},
        {[](Details& d) { d.networkType = 7; }, "Tether type: 7\n"},
        {[](Details& d) { d.systemUseCount = 4294967295u; }, "Total number of system usages: 4294967295\n"},
        {[](Details& d) { d.operationTimeSum = 3725; }, "Total operation time: 1:02:05\n"},
        {[](Details& d) { d.timeToMaintenance = 5999; }, "Usage time until next maintenance: 1:39:59\n"},
        {[](Details& d) { d.timeToMaintenance = 360000; }, "Usage time until next maintenance: 100:00:00\n"},
        {[](Details& d) { d.lastMaintenance = 86400; }, "Date of last maintenance: 1970-01-02 00:00:00\n"},
        {[](Details& d) { d.maintenanceRequired = 2; }, "0:00:00\nMaintenance necessary!\n"},
    };
    for (const Case& c : cases) {
        Details d;
        c.set(d);
        const std::string text = render(d);
        EXPECT_TRUE(contains(text, c.line)) << "missing:\n" << c.line << "in:\n" << text;
        EXPECT_EQ(text.back(), '\n');
    }
}

TEST_F(DetailsReport, TimeStringIsLocalTime) {
    Moorwinch::MoorwinchImpl impl;
    EXPECT_EQ(impl.getTimeString(0), "1970-01-01 00:00:00");
    EXPECT_EQ(impl.getTimeString(86400), "1970-01-02 00:00:00");
    EXPECT_EQ(impl.getTimeString(4294967295ul), "2106-02-07 06:28:15");
    setenv("TZ", "CET-1", 1);
    tzset();
    EXPECT_EQ(impl.getTimeString(86400), "1970-01-02 01:00:00");
}

TEST(ConfigReport, PrintsFiveLines) {
    Config c;
    c.systemActivation = true;
    c.cableRetractionStartLength = 1.5f;
    c.cableRetractionTorque = 40;
    c.cableRetractionStatus = 16;
    EXPECT_EQ(render(c),
              "Korvane Skyhold.Platform Ground Station - System Configuration:\n"
              "System activation status: Activated\n"
              "Cable retraction start length: 1.50 m\n"
              "Cable retraction torque: 40 %\n"
              "Cable retraction status: Remote controlled via UART\n");
}

TEST(ConfigReport, ValueFormats) {
    struct Case {
        std::function<void(Config&)> set;
        std::string line;
    };
    const Case cases[] = {
        {[](Config& c) { c.systemActivation = false; }, "System activation status: Deactivated\n"},
        {[](Config& c) { c.cableRetractionStatus = 32; }, "Cable retraction status: 32\n"},
        {[](Config& c) { c.cableRetractionStatus = 0; }, "Cable retraction status: Disabled\n"},
        {[](Config& c) { c.cableRetractionStatus = 255; },
         "Cable retraction status: Automatic cable retraction is not available on this Korvane "
         "Skyhold.Platform system.\n"},
        {[](Config& c) { c.cableRetractionTorque = 4294967295u; }, "Cable retraction torque: -1 %\n"},
        {[](Config& c) { c.cableRetractionTorque = 2147483648u; }, "Cable retraction torque: -2147483648 %\n"},
        {[](Config& c) { c.cableRetractionStartLength = 0.3f; }, "Cable retraction start length: 0.30 m\n"},
        {[](Config& c) { c.cableRetractionStartLength = 0.125f; }, "Cable retraction start length: 0.12 m\n"},
        {[](Config& c) { c.cableRetractionStartLength = 1.0e12f; },
         "Cable retraction start length: 999999995904.0\n"},
    };
    for (const Case& c : cases) {
        Config config;
        c.set(config);
        EXPECT_TRUE(contains(render(config), c.line)) << c.line;
    }
}

// The caller's width, fill, flags and precision neither pad the report nor get lost.
TEST(Reports, LeaveTheStreamFormattingAsFound) {
    Moorwinch::MoorwinchImpl impl;
    Status status;
    Details details;
    Config config;
    const std::function<void(std::ostream&)> reports[] = {
        [&](std::ostream& out) { impl.print(status, out); },
        [&](std::ostream& out) { impl.print(details, out); },
        [&](std::ostream& out) { impl.print(config, out); },
    };
    for (const auto& report : reports) {
        std::ostringstream plain;
        report(plain);

        // Wider than any report, so a padded report would show.
        std::ostringstream out;
        out << std::hex << std::showbase << std::setprecision(3) << std::setfill('*') << std::setw(4000);
        report(out);
        EXPECT_EQ(out.str(), plain.str());
        EXPECT_EQ(out.width(), 4000);
        EXPECT_EQ(out.fill(), '*');
        EXPECT_EQ(out.precision(), 3);
        EXPECT_TRUE(out.flags() & std::ios::hex);
        EXPECT_TRUE(out.flags() & std::ios::showbase);
        out << 255;
        EXPECT_EQ(out.str().substr(plain.str().size()), std::string(3996, '*') + "0xff");
    }
}

// The full report against a station that answers the handshake, then status and
// details as configured.
class FullReport : public testing::Test {
protected:
    void SetUp() override {
        station.setHandler([this](const std::string& line, PtyStation& s) {
            if (contains(line, "GET_PROTOCOL"))
                s.send(PtyStation::reply(line, "\"SYSTEM_DETAILS\":{\"PROTOCOL_VERSION\":\"1.36\"}"));
            else if (contains(line, "GET_SYSTEM_STATUS") && answerStatus)
                s.send(PtyStation::reply(line, "\"SYSTEM_STATUS\":{\"CONFIG_STATUS\":{\"CAB\":0,\"ENV\":0}}"));
            else if (contains(line, "GET_SYSTEM_DETAILS") && answerDetails)
                s.send(PtyStation::reply(line, "\"SYSTEM_DETAILS\":{\"MODEL\":\"GS-2\",\"NETWORK_TYPE\":3}"));
        });
        impl.setConnectionTimeout(50);
        impl.openConnection(station.devicePath());
    }

    std::string capture(std::string& error) {
        testing::internal::CaptureStdout();
        try {
            impl.print();
        } catch (const std::exception& e) {
            error = e.what();
        }
        return testing::internal::GetCapturedStdout();
    }

    PtyStation station;
    Moorwinch::MoorwinchImpl impl;
    std::atomic<bool> answerStatus{true};
    std::atomic<bool> answerDetails{true};
};

TEST_F(FullReport, PrintsStatusThenDetails) {
    std::string error;
    const std::string text = capture(error);
    EXPECT_EQ(error, "");
    Status status;
    status.cab = status.env = 0;
    Details details;
    details.model = "GS-2";
    details.networkType = 3;
    EXPECT_EQ(text, render(status) + "\n" + render(details));
}

TEST_F(FullReport, PrintsNothingWhenEitherReadFails) {
    answerDetails = false;
    std::string error;
    EXPECT_EQ(capture(error), "");
    EXPECT_TRUE(contains(error, "Data Receiver Timeout")) << error;

    answerStatus = false;
    error.clear();
    const std::size_t before = station.requestCount();
    EXPECT_EQ(capture(error), "");
    EXPECT_TRUE(contains(error, "Data Receiver Timeout")) << error;
    // The details are not asked for once the status read failed.
    ASSERT_TRUE(station.waitForRequests(before + 1, std::chrono::seconds(5)));
    EXPECT_FALSE(station.waitForRequests(before + 2, std::chrono::milliseconds(100)));
    EXPECT_TRUE(contains(station.requests().back(), "GET_SYSTEM_STATUS"));
}

}  // namespace
