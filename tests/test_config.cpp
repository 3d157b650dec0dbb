// Configuration and status-reporting configuration: reply parsing, range
// checks, the exact commands on the wire, their order and reply waits, and the
// exchange lock between threads.
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include "StationFixture.h"

using namespace KORVANE;
using namespace moorwinch_test;
using Config = Moorwinch::systemConfig;

namespace {

std::string payloadOf(const std::string& request) {
    std::size_t start = request.find("},") + 2;
    return request.substr(start, request.size() - start - 1);
}

Config parsed(const std::string& members, Config config = Config()) {
    Moorwinch::MoorwinchImpl impl;
    std::string reply = "{\"COM\":{\"MSG_ID\":1,\"COM_STATUS\":0},\"SYSTEM_CONFIG\":{" + members + "}}";
    impl.processSystemConfig(reply, config);
    return config;
}

TEST(ConfigParsing, ReadsAllFourSettings) {
    Config c = parsed("\"ACTIVATION\":16,\"RET_START\":150,\"RET_TORQUE\":40,\"RET_STATUS\":16");
    EXPECT_TRUE(c.systemActivation);
    EXPECT_FLOAT_EQ(c.cableRetractionStartLength, 1.5f);
    EXPECT_EQ(c.cableRetractionTorque, 40u);
    EXPECT_EQ(c.cableRetractionStatus, 16);
}

TEST(ConfigParsing, ActiveOnlyForManualOrRemoteActivation) {
    const std::pair<int, bool> cases[] = {{1, true}, {16, true}, {0, false}, {2, false}, {17, false}};
    for (const auto& c : cases) {
        Config active;
        active.systemActivation = !c.second;
        EXPECT_EQ(parsed("\"ACTIVATION\":" + std::to_string(c.first), active).systemActivation, c.second)
            << c.first;
    }
}

TEST(ConfigParsing, MembersThatAreNotIntegersLeaveTheRecord) {
    Config before;
    before.systemActivation = true;
    before.cableRetractionTorque = 30;
    before.cableRetractionStartLength = 2.0f;
    before.cableRetractionStatus = 2;
    Config after = parsed("\"RET_START\":150.0,\"ACTIVATION\":\"16\",\"RET_TORQUE\":null,\"RET_STATUS\":[1]", before);
    EXPECT_TRUE(after.systemActivation);
    EXPECT_EQ(after.cableRetractionTorque, 30u);
    EXPECT_EQ(after.cableRetractionStartLength, 2.0f);
    EXPECT_EQ(after.cableRetractionStatus, 2);
}

TEST(ConfigParsing, FrameErrorsAreReportedAsTheConfigurationQuery) {
    const std::pair<const char*, const char*> cases[] = {
        {"{", "getSystemConfig: system configuration data malformed"},
        {"[]", "getSystemConfig: system configuration data malformed"},
        {"{\"COM\":{}}", "getSystemConfig: invalid system configuration data format"},
        {"{\"SYSTEM_CONFIG\":5}", "getSystemConfig: invalid system configuration data format"},
    };
    Moorwinch::MoorwinchImpl impl;
    for (const auto& c : cases) {
        Config config;
        config.cableRetractionTorque = 77;
        std::string reply = c.first;
        try {
            impl.processSystemConfig(reply, config);
            ADD_FAILURE() << c.first << " accepted";
        } catch (const DataException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Data Exception: ") + c.second);
        }
        EXPECT_EQ(config.cableRetractionTorque, 77u);
    }
}

// A station that answers every command with success and records nothing else.
class ConfigCommands : public StationTest {
protected:
    void SetUp() override {
        connect(40);
        answerWith([](const std::string& line, PtyStation& s) { s.send(PtyStation::reply(line)); });
    }

    std::vector<std::string> payloads() {
        std::vector<std::string> out;
        for (const std::string& line : station.requests()) out.push_back(payloadOf(line));
        return out;
    }

    // Runs call while this thread holds the exchange lock: a refused value must
    // fail on its range, not on the lock, and send nothing.
    void expectRefused(const std::function<void()>& call, const std::string& text) {
        std::unique_lock<std::timed_mutex> hold(impl.exchangeLock);
        try {
            call();
            ADD_FAILURE() << "value accepted";
        } catch (const ValueException& e) {
            EXPECT_EQ(std::string(e.what()), "Value Exception: " + text);
        }
        EXPECT_EQ(station.requestCount(), 0u);
    }
};

TEST_F(ConfigCommands, StartLengthIsSentAsTruncatedSinglePrecisionCentimetres) {
    const std::pair<float, const char*> cases[] = {
        {1.15f, "115"}, {2.01f, "201"}, {4.21f, "421"}, {1.999f, "199"}, {5.67f, "567"},
        {0.3f, "30"},   {21474834.0f, "2147483392"},
    };
    for (const auto& c : cases) {
        station.clearRequests();
        impl.setCableRetractionStartLength(c.first);
        ASSERT_EQ(station.requestCount(), 1u);
        EXPECT_EQ(payloads()[0], std::string("\"COMMAND\":{\"SET_RET_START\":") + c.second + "}") << c.first;
    }
}

TEST_F(ConfigCommands, StartLengthOutsideTheConvertibleRangeIsRefused) {
    const std::string below =
        "setCableRetractionStartLength: Value out of range. Minimal valid cable retraction start length: 0.3 m";
    const std::string outside =
        "setCableRetractionStartLength: Value out of range. Valid cable retraction start length: 0.3 m to 21474834 m";
    const std::pair<float, std::string> cases[] = {
        {0.01f, below},
        {std::nextafter(0.3f, 0.0f), below},
        {-std::numeric_limits<float>::infinity(), below},
        {std::numeric_limits<float>::quiet_NaN(), outside},
        {std::numeric_limits<float>::infinity(), outside},
        {21474836.0f, outside},
        {3e38f, outside},
    };
    for (const auto& c : cases)
        expectRefused([&] { impl.setCableRetractionStartLength(c.first); }, c.second);
}

TEST_F(ConfigCommands, TorqueUpToHundredIsSentUnsigned) {
    impl.setCableRetractionTorque(100);
    impl.setCableRetractionTorque(0);
    EXPECT_EQ(payloads(), (std::vector<std::string>{"\"COMMAND\":{\"SET_RET_TORQUE\":100}",
                                                    "\"COMMAND\":{\"SET_RET_TORQUE\":0}"}));
    station.clearRequests();
    for (unsigned int torque : {101u, 120u, 4294967295u})
        expectRefused([&] { impl.setCableRetractionTorque(torque); },
                      "setCableRetractionTorque: Value out of range. Maximal valid torque: 100 %");
}

TEST_F(ConfigCommands, ActivationSendsSixteenOrZero) {
    impl.setSystemActivation(true);
    impl.setSystemActivation(false);
    EXPECT_EQ(payloads(), (std::vector<std::string>{"\"COMMAND\":{\"SET_ACTIVATION\":16}",
                                                    "\"COMMAND\":{\"SET_ACTIVATION\":0}"}));
}

TEST_F(ConfigCommands, DeactivatesFirstOrActivatesLast) {
    impl.setSystemConfig(false, 50, 5.67f);
    EXPECT_EQ(payloads(), (std::vector<std::string>{"\"COMMAND\":{\"SET_ACTIVATION\":0}",
                                                    "\"COMMAND\":{\"SET_RET_TORQUE\":50}",
                                                    "\"COMMAND\":{\"SET_RET_START\":567}"}));
    station.clearRequests();
    Config config;
    config.systemActivation = true;
    config.cableRetractionTorque = 50;
    config.cableRetractionStartLength = 5.67f;
    impl.setSystemConfig(config);
    EXPECT_EQ(payloads(), (std::vector<std::string>{"\"COMMAND\":{\"SET_RET_TORQUE\":50}",
                                                    "\"COMMAND\":{\"SET_RET_START\":567}",
                                                    "\"COMMAND\":{\"SET_ACTIVATION\":16}"}));
}

TEST_F(ConfigCommands, FirstFailureEndsTheSequenceAndEarlierStepsStaySent) {
    EXPECT_THROW(impl.setSystemConfig(true, 120, 1.0f), ValueException);
    EXPECT_EQ(station.requestCount(), 0u);

    try {
        impl.setSystemConfig(false, 50, 0.1f);
        FAIL() << "accepted";
    } catch (const ValueException& e) {
        EXPECT_STREQ(e.what(), "Value Exception: setCableRetractionStartLength: Value out of range. "
                               "Minimal valid cable retraction start length: 0.3 m");
    }
    EXPECT_EQ(payloads(), (std::vector<std::string>{"\"COMMAND\":{\"SET_ACTIVATION\":0}",
                                                    "\"COMMAND\":{\"SET_RET_TORQUE\":50}"}));

    station.clearRequests();
    answerWith([](const std::string& line, PtyStation& s) {
        s.send(PtyStation::reply(line, "", isRequestFor(line, "SET_RET_TORQUE") ? 6 : 0));
    });
    try {
        impl.setSystemConfig(false, 50, 1.0f);
        FAIL() << "accepted";
    } catch (const DataException& e) {
        EXPECT_STREQ(e.what(), "Data Exception: checkReply: error during command execution");
    }
    EXPECT_EQ(station.requestCount(), 2u);
}

// With T = 40 ms, 30 T is 1200 ms: a reply after 600 ms would miss 10 T.
TEST_F(ConfigCommands, ActivationAndReportingFlagsWaitThirtyConnectionTimeouts) {
    answerWith([](const std::string& line, PtyStation& s) {
        if (s.pause(std::chrono::milliseconds(600))) s.send(PtyStation::reply(line));
    });
    EXPECT_NO_THROW(impl.setSystemActivation(true));
    Moorwinch::systemStatusConfig flags;
    EXPECT_NO_THROW(impl.setSystemStatusConfig(flags));
}

TEST_F(ConfigCommands, ConfigurationQueryWaitsOneConnectionTimeout) {
    answerWith([](const std::string& line, PtyStation& s) {
        if (s.pause(std::chrono::milliseconds(150)))
            s.send(PtyStation::reply(line, "\"SYSTEM_CONFIG\":{\"RET_TORQUE\":40}"));
    });
    Config config;
    EXPECT_THROW(impl.getSystemConfig(config), IOException);
    EXPECT_EQ(payloadOf(station.requests().at(0)), "\"COMMAND\":{\"GET_SYSTEM_CONFIG\":1}");
}

// While one thread's activation waits for a silent station, another thread's
// command fails on the lock under its own name and sends nothing; the first
// still gets its reply.
TEST_F(ConfigCommands, BusyExchangeLockFailsTheOtherThreadOnly) {
    std::atomic<bool> secondDone{false};
    answerWith([&secondDone](const std::string& line, PtyStation& s) {
        while (!secondDone && s.pause(std::chrono::milliseconds(5))) {
        }
        s.send(PtyStation::reply(line));
    });
    std::string firstError = "not run";
    std::thread first([&] {
        try {
            impl.setSystemActivation(true);
            firstError.clear();
        } catch (const std::exception& e) {
            firstError = e.what();
        }
    });
    // The station records the line before its handler starts holding the reply.
    const auto start = Clock::now();
    while (station.requestCount() == 0 && msSince(start) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(station.requestCount(), 1u);
    try {
        impl.setCableRetractionTorque(40);
        ADD_FAILURE() << "second exchange ran";
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "IO Exception: setCableRetractionTorque: Communication timeout");
    }
    EXPECT_EQ(station.requestCount(), 1u);
    secondDone = true;
    first.join();
    EXPECT_EQ(firstError, "");
    EXPECT_EQ(payloads(), std::vector<std::string>{"\"COMMAND\":{\"SET_ACTIVATION\":16}"});
}

class StatusReporting : public StationTest {
protected:
    void SetUp() override { connect(40); }
};

TEST_F(StatusReporting, FlagsAreSentAsTheyAreInOneNestedObject) {
    answerWith([](const std::string& line, PtyStation& s) { s.send(PtyStation::reply(line)); });
    Moorwinch::systemStatusConfig flags{1, 1, 0, 1, 1, 0};
    impl.setSystemStatusConfig(flags);
    Moorwinch::systemStatusConfig odd{-1, 255, 2, 0, 0, -2147483647 - 1};
    impl.setSystemStatusConfig(odd);
    EXPECT_EQ(payloadOf(station.requests().at(0)),
              "\"COMMAND\":{\"CONFIG_STATUS\":{\"CAB\":1,\"ENV\":1,\"ENERGY_GS\":0,\"ENERGY_UAV\":1,"
              "\"SYS_STATE\":1,\"HW_MODULE_STATUS\":0}}");
    EXPECT_EQ(payloadOf(station.requests().at(1)),
              "\"COMMAND\":{\"CONFIG_STATUS\":{\"CAB\":-1,\"ENV\":255,\"ENERGY_GS\":2,\"ENERGY_UAV\":0,"
              "\"SYS_STATE\":0,\"HW_MODULE_STATUS\":-2147483648}}");
}

TEST_F(StatusReporting, FlagsAreReadFromAFullStatusQuery) {
    auto answerStatus = [this](const std::string& configStatus) {
        answerWith([configStatus](const std::string& line, PtyStation& s) {
            s.send(PtyStation::reply(line, "\"SYSTEM_STATUS\":{" + configStatus + "\"CAB\":{\"LENGTH\":5}}"));
        });
    };
    Moorwinch::systemStatusConfig flags{0, 0, 0, 0, 0, 0};
    answerStatus("\"CONFIG_STATUS\":{\"CAB\":0,\"ENV\":\"0\",\"SYS_STATE\":0.0},");
    impl.getSystemStatusConfig(flags);
    EXPECT_EQ(flags.cab, 0);
    for (int flag : {flags.env, flags.energyGS, flags.energyUAV, flags.sysState, flags.hwModuleStatus})
        EXPECT_EQ(flag, 255);
    EXPECT_EQ(payloadOf(station.requests().at(0)), "\"COMMAND\":{\"GET_SYSTEM_STATUS\":1}");

    Moorwinch::systemStatusConfig kept{1, 1, 1, 1, 1, 1};
    answerStatus("");
    try {
        impl.getSystemStatusConfig(kept);
        FAIL() << "accepted";
    } catch (const DataException& e) {
        EXPECT_STREQ(e.what(), "Data Exception: processStatusData: incomplete status data");
    }
    EXPECT_EQ(kept.cab, 1);
    EXPECT_EQ(kept.hwModuleStatus, 1);
}

}  // namespace
