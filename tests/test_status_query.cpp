// The status query: reply parsing (units, the lenient member rule, frame
// errors) and the exchange it runs.
#include <cstring>
#include <functional>
#include <limits>

#include "StationFixture.h"

using namespace KORVANE;
using namespace moorwinch_test;
using Status = Moorwinch::systemStatus;

namespace {

// A reply whose "SYSTEM_STATUS" holds an empty CONFIG_STATUS and the given blocks.
std::string statusReply(const std::string& blocks) {
    std::string body = "{\"CONFIG_STATUS\":{}";
    if (!blocks.empty()) body += "," + blocks;
    return "{\"COM\":{\"MSG_ID\":1,\"COM_STATUS\":0},\"SYSTEM_STATUS\":" + body + "}}";
}

Status parsed(const std::string& blocks, Status status = Status()) {
    Moorwinch::MoorwinchImpl impl;
    std::string reply = statusReply(blocks);
    impl.processStatusData(reply, status);
    return status;
}

bool same(const Status& a, const Status& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct Conversion {
    const char* blocks;
    std::function<double(const Status&)> field;
    double expected;
};

TEST(StatusParsing, ConvertsWireUnitsAndWidths) {
    const Conversion cases[] = {
        {"\"CAB\":{\"LENGTH\":1234}", [](const Status& s) { return s.cableLength; }, 12.34},
        {"\"CAB\":{\"SPEED\":-50}", [](const Status& s) { return s.cableSpeed; }, -0.5},
        {"\"CAB\":{\"RET_START\":150}", [](const Status& s) { return s.cableRetractionStartLength; }, 1.5},
        {"\"CAB\":{\"RET_TORQUE\":-1}", [](const Status& s) { return s.cableRetractionTorque; }, 4294967295.0},
        {"\"ENERGY_GS\":{\"MAINS_I\":2500}", [](const Status& s) { return s.mainsCurrent; }, 2.5},
        {"\"ENERGY_GS\":{\"MAINS_F\":50000}", [](const Status& s) { return s.mainsFrequency; }, 50.0},
        {"\"ENERGY_GS\":{\"MAINS_U\":230}", [](const Status& s) { return s.mainsVoltage; }, 230.0},
        {"\"ENERGY_GS\":{\"BAT_U\":24}", [](const Status& s) { return s.backupBatteryVoltage; }, 24.0},
        {"\"ENERGY_UAV\":{\"UAV_SUPL_U\":48000}", [](const Status& s) { return s.uavSupplyVoltage; }, 48.0},
        {"\"ENERGY_UAV\":{\"UAV_SUPL_I\":20}", [](const Status& s) { return s.uavSupplyCurrent; }, 20.0},
        {"\"ENV\":{\"TEMP1\":-12}", [](const Status& s) { return s.temperature1; }, -12.0},
        {"\"ENV\":{\"PRESS1\":1013}", [](const Status& s) { return s.pressure1; }, 1013.0},
        {"\"ENV\":{\"ENVSENSOR4_STATUS\":3}", [](const Status& s) { return s.envSensor4Status; }, 3},
        {"\"SYS_STATE\":{\"ERROR\":128}", [](const Status& s) { return s.errorCode; }, 128},
        {"\"SYS_STATE\":{\"FLIGHT_COUNT_OP_SUM\":7}", [](const Status& s) { return s.flightCountOpSum; }, 7},
        {"\"HW_MODULE_STATUS\":{\"ENV_CTRL\":129}", [](const Status& s) { return s.hwEnvCtrl; }, 129},
        // Beyond 32 bits the value wraps modulo 2^32.
        {"\"SYS_STATE\":{\"SYSTEM_TIME\":4294967301}", [](const Status& s) { return s.systemTime; }, 5},
        {"\"SYS_STATE\":{\"ACTIVATION\":4294967295}", [](const Status& s) { return s.activationStatus; }, -1},
        {"\"SYS_STATE\":{\"ERROR\":-4294967297}", [](const Status& s) { return s.errorCode; }, -1},
        {"\"CAB\":{\"LENGTH\":18446744073709551615}", [](const Status& s) { return s.cableLength; }, -0.01},
    };
    for (const Conversion& c : cases) {
        SCOPED_TRACE(c.blocks);
        EXPECT_FLOAT_EQ(static_cast<float>(c.field(parsed(c.blocks))), static_cast<float>(c.expected));
    }
}

TEST(StatusParsing, SkipsMembersThatAreNotIntegersAndStillReadsOtherBlocks) {
    Status before;
    before.cableLength = 7.0f;
    before.cableSpeed = 1.0f;
    before.tetherStatus = 2;
    before.cableGuideStatus = 1;
    before.cableReelStatus = 1;
    before.cableRetractionTorque = 40;
    Status after = parsed(
        "\"CAB\":{\"LENGTH\":12.0,\"SPEED\":\"1234\",\"TETHER_STATUS\":null,\"GUIDE_STATUS\":[0],"
        "\"REEL_STATUS\":true,\"RET_TORQUE\":{\"v\":0}},\"ENV\":{\"TEMP2\":21}",
        before);
    Status expected = before;
    expected.temperature2 = 21.0f;
    EXPECT_TRUE(same(after, expected));

    // A block of the wrong type is skipped as a whole.
    after = parsed("\"CAB\":[1,2],\"SYS_STATE\":{\"ERROR\":0}", before);
    EXPECT_EQ(after.cableLength, 7.0f);
    EXPECT_EQ(after.errorCode, 0);
}

TEST(StatusParsing, AbsentBlocksKeepEarlierValues) {
    Status before = parsed("\"CAB\":{\"LENGTH\":500},\"ENV\":{\"FAN1_RPM\":900}");
    Moorwinch::MoorwinchImpl impl;
    std::string reply = "{\"SYSTEM_STATUS\":{\"CONFIG_STATUS\":{\"CAB\":1}}}";
    Status after = before;
    impl.processStatusData(reply, after);
    Status expected = before;
    expected.cab = 1;
    EXPECT_TRUE(same(after, expected));
}

TEST(StatusParsing, PowerIsComputedWheneverTheUavEnergyBlockArrives) {
    EXPECT_FLOAT_EQ(parsed("\"ENERGY_UAV\":{\"UAV_SUPL_U\":48000,\"UAV_SUPL_I\":20}").uavPowerConsumption, 960.0f);

    Status held;
    held.uavSupplyVoltage = 10.0f;
    held.uavSupplyCurrent = 2.5f;
    EXPECT_FLOAT_EQ(parsed("\"ENERGY_UAV\":{}", held).uavPowerConsumption, 25.0f);
    EXPECT_FLOAT_EQ(parsed("\"ENV\":{}", held).uavPowerConsumption, 0.0f);
}

TEST(StatusParsing, FrameErrorsNameTheirCauseAndLeaveTheRecordUntouched) {
    const std::pair<const char*, const char*> cases[] = {
        {"not json", "processStatusData: status data malformed"},
        {"", "processStatusData: status data malformed"},
        {"[1,2]", "processStatusData: status data malformed"},
        {"{\"SYSTEM_STATUS\":{\"CONFIG_STATUS\":{\"CAB\":1e400}}}", "processStatusData: status data malformed"},
        {"{\"COM\":{}}", "processStatusData: invalid status data format"},
        {"{\"SYSTEM_STATUS\":null}", "processStatusData: invalid status data format"},
        {"{\"SYSTEM_STATUS\":[]}", "processStatusData: invalid status data format"},
        {"{\"SYSTEM_STATUS\":{\"CAB\":{\"LENGTH\":1},\"ENV\":{},\"ENERGY_GS\":{},\"ENERGY_UAV\":{},"
         "\"SYS_STATE\":{},\"HW_MODULE_STATUS\":{}}}",
         "processStatusData: incomplete status data"},
        {"{\"SYSTEM_STATUS\":{\"CONFIG_STATUS\":1,\"CAB\":{\"LENGTH\":1}}}", "processStatusData: incomplete status data"},
    };
    Moorwinch::MoorwinchImpl impl;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        Status status;
        status.cableLength = 3.0f;
        const Status before = status;
        std::string reply = c.first;
        try {
            impl.processStatusData(reply, status);
            ADD_FAILURE() << "accepted";
        } catch (const DataException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Data Exception: ") + c.second);
        }
        EXPECT_TRUE(same(status, before));
    }
}

class StatusQuery : public StationTest {};

TEST_F(StatusQuery, SendsTheQueryAndFillsTheRecord) {
    connect(50);
    answerWith([](const std::string& line, PtyStation& s) {
        s.send(PtyStation::reply(line, "\"SYSTEM_STATUS\":{\"CONFIG_STATUS\":{\"CAB\":1},\"CAB\":{\"LENGTH\":250}}"));
    });
    Status status;
    impl.getSystemStatus(status);
    EXPECT_EQ(status.cab, 1);
    EXPECT_FLOAT_EQ(status.cableLength, 2.5f);
    ASSERT_EQ(station.requestCount(), 1u);
    std::string line = station.requests()[0];
    EXPECT_EQ(line.substr(line.find("},") + 2), "\"COMMAND\":{\"GET_SYSTEM_STATUS\":1}}");
}

// The reply wait is one connection timeout: a reply 150 ms late misses a 40 ms wait.
TEST_F(StatusQuery, WaitsOneConnectionTimeoutForTheReply) {
    connect(40);
    answerWith([](const std::string& line, PtyStation& s) {
        if (!s.pause(std::chrono::milliseconds(150))) return;
        s.send(PtyStation::reply(line, "\"SYSTEM_STATUS\":{\"CONFIG_STATUS\":{}}"));
    });
    Status status;
    try {
        impl.getSystemStatus(status);
        FAIL() << "late reply accepted";
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "IO Exception: receiveData: Data Receiver Timeout!");
    }
}

}  // namespace
