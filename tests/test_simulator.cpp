// The simulated ground station, driven through the library over a real
// pseudo-terminal: its model answers every request, remembers settings, moves
// the tether with time, gives each scenario its verdict and misbehaves on
// demand. The program itself is run once as a child process.
//
// The model writes the protocol tables, so nothing else here touches them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "StationFixture.h"
#include "StationModel.h"

using namespace KORVANE;
using namespace moorwinch_test;
using moorwinch_sim::Scenario;
using moorwinch_sim::StationFaults;
using moorwinch_sim::StationModel;
using Verdict = MoorwinchDefinitions::systemError;

namespace {

constexpr unsigned int timeoutMs = 200;

std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

const std::string timedOut = "IO Exception: receiveData: Data Receiver Timeout!";
const std::string refused = "Data Exception: checkReply: error during command execution";

// A model on a pty station, on a clock the test moves by hand, and a connected
// implementation object. Members are destroyed station before model.
class Simulator : public ::testing::Test {
protected:
    void start(Scenario scenario = Scenario::healthy) {
        model = std::make_unique<StationModel>(scenario);
        model->setClock([this] { return base + std::chrono::milliseconds(elapsedMs.load()); });
        model->attach(station);
        impl.setConnectionTimeout(timeoutMs);
        impl.openConnection(station.devicePath());
    }
    void wait(double seconds) { elapsedMs += static_cast<long long>(seconds * 1000); }
    // Replaces the station's faults by this one alone (none without arguments).
    void fault() { model->setFaults(StationFaults()); }
    template <class T> void fault(T StationFaults::*field, T value) {
        StationFaults faults;
        faults.*field = value;
        model->setFaults(faults);
    }

    // Sends a payload as it is, the way the library frames every request.
    std::string raw(const std::string& payload) {
        return failureOf([&] { impl.exchange("raw", payload, 1); });
    }

    Moorwinch::systemStatus status() {
        Moorwinch::systemStatus s;
        impl.getSystemStatus(s);
        return s;
    }
    Moorwinch::systemConfig config() {
        Moorwinch::systemConfig c;
        impl.getSystemConfig(c);
        return c;
    }
    Moorwinch::systemDetails details() {
        Moorwinch::systemDetails d;
        impl.getSystemDetails(d);
        return d;
    }

    const Clock::time_point base = Clock::now();
    std::atomic<long long> elapsedMs{0};
    std::unique_ptr<StationModel> model;
    PtyStation station;
    Moorwinch::MoorwinchImpl impl;
};

TEST_F(Simulator, EveryQueryAndCommandRoundTrips) {
    start();
    EXPECT_EQ(impl.deviceProtocolMajor, 1);
    EXPECT_EQ(impl.deviceProtocolMinor, 36);

    Moorwinch::systemDetails d = details();
    EXPECT_EQ(d.protocolVersion, "1.36");
    EXPECT_FALSE(d.productType.empty());
    EXPECT_FALSE(d.swVersionMainCtrl.empty());
    EXPECT_EQ(d.maxCableLength, 100);  // sent in centimetres
    EXPECT_EQ(d.networkType, 1);
    EXPECT_GT(d.timeToMaintenance, 0u);

    Moorwinch::systemConfig c = config();
    EXPECT_FALSE(c.systemActivation);
    EXPECT_EQ(c.cableRetractionTorque, 40u);
    EXPECT_FLOAT_EQ(c.cableRetractionStartLength, 1.5f);
    EXPECT_EQ(c.cableRetractionStatus, 16);

    impl.setCableRetractionTorque(73);
    impl.setCableRetractionStartLength(4.21f);
    impl.setSystemActivation(true);
    c = config();
    EXPECT_TRUE(c.systemActivation);
    EXPECT_EQ(c.cableRetractionTorque, 73u);
    EXPECT_FLOAT_EQ(c.cableRetractionStartLength, 4.21f);
    Moorwinch::systemStatus s = status();
    EXPECT_EQ(s.activationStatus, 16);
    EXPECT_EQ(s.cableRetractionTorque, 73u);
    EXPECT_FLOAT_EQ(s.cableRetractionStartLength, 4.21f);
    EXPECT_EQ(s.retractionStatus, 16);

    impl.setSystemConfig(false, 100, 0.3f);
    c = config();
    EXPECT_FALSE(c.systemActivation);
    EXPECT_EQ(c.cableRetractionTorque, 100u);
    EXPECT_FLOAT_EQ(c.cableRetractionStartLength, 0.3f);
    EXPECT_EQ(status().activationStatus, 0);

    Moorwinch::systemStatusConfig flags{1, 0, 1, 0, 1, 1};
    impl.setSystemStatusConfig(flags);
    Moorwinch::systemStatusConfig read;
    impl.getSystemStatusConfig(read);
    EXPECT_EQ(read.cab, 1);
    EXPECT_EQ(read.env, 0);
    EXPECT_EQ(read.energyGS, 1);
    EXPECT_EQ(read.energyUAV, 0);
    EXPECT_EQ(read.sysState, 1);
    EXPECT_EQ(read.hwModuleStatus, 1);
}

TEST_F(Simulator, DisabledBlocksAreNotSentAndReportAsDisabled) {
    start();
    Moorwinch::systemStatus kept = status();
    EXPECT_EQ(kept.hwMainCtrl, 1);
    EXPECT_EQ(kept.cableRetractionTorque, 40u);

    Moorwinch::systemStatusConfig flags{0, 1, 1, 1, 1, 0};
    impl.setSystemStatusConfig(flags);
    impl.setCableRetractionTorque(90);

    // A reused record keeps the older values of the blocks no longer sent.
    impl.getSystemStatus(kept);
    EXPECT_EQ(kept.cab, 0);
    EXPECT_EQ(kept.hwModuleStatus, 0);
    EXPECT_EQ(kept.cableRetractionTorque, 40u);
    EXPECT_EQ(kept.hwMainCtrl, 1);

    Moorwinch::systemStatus fresh = status();
    EXPECT_EQ(fresh.tetherStatus, 3);  // defaults
    EXPECT_EQ(fresh.hwMainCtrl, 255);
    EXPECT_FLOAT_EQ(fresh.temperature1, 34.0f);  // still reported
    std::ostringstream report;
    impl.print(fresh, report);
    EXPECT_NE(report.str().find("Cable status data are disabled."), std::string::npos) << report.str();
    EXPECT_NE(report.str().find("Hardware module status data are disabled."), std::string::npos);
    EXPECT_EQ(report.str().find("Envrionment status data are disabled."), std::string::npos);

    flags = {1, 1, 1, 1, 1, 1};
    impl.setSystemStatusConfig(flags);
    fresh = status();
    EXPECT_EQ(fresh.cableRetractionTorque, 90u);
    EXPECT_EQ(fresh.hwMainCtrl, 1);
}

TEST_F(Simulator, TetherPaysOutWhileActivatedAndCountersFollowTheClock) {
    start();
    const Moorwinch::systemDetails before = details();
    impl.setSystemActivation(true);

    wait(0.5);
    Moorwinch::systemStatus s = status();
    EXPECT_FLOAT_EQ(s.cableLength, 0.5f);
    EXPECT_EQ(s.uavExtSupplyStatus, 1);  // supply still starting

    wait(9.5);
    s = status();
    EXPECT_FLOAT_EQ(s.cableLength, 10.0f);
    EXPECT_FLOAT_EQ(s.cableSpeed, 1.0f);
    EXPECT_EQ(s.uavExtSupplyStatus, 2);
    EXPECT_GT(s.uavPowerConsumption, 100.0f);
    EXPECT_EQ(s.operationTime, 10u);
    EXPECT_EQ(s.flightTime, 9u);  // airborne from 1 m of tether on
    EXPECT_EQ(s.flightCountOpSum, 1u);
    EXPECT_EQ(s.systemTime, 10u);

    wait(60);  // holds position at 50 m
    s = status();
    EXPECT_FLOAT_EQ(s.cableLength, 50.0f);
    EXPECT_FLOAT_EQ(s.cableSpeed, 0.0f);
    EXPECT_EQ(s.flightTime, 69u);

    impl.setSystemActivation(false);
    wait(20);
    s = status();
    EXPECT_FLOAT_EQ(s.cableLength, 30.0f);
    EXPECT_FLOAT_EQ(s.cableSpeed, -1.0f);
    EXPECT_EQ(s.activationStatus, 0);
    EXPECT_EQ(s.uavExtSupplyStatus, 0);

    wait(60);
    s = status();
    EXPECT_FLOAT_EQ(s.cableLength, 0.0f);
    EXPECT_FLOAT_EQ(s.cableSpeed, 0.0f);
    EXPECT_EQ(s.flightTime, 0u);

    // 70 s activated; airborne from 1 s until the tether was under 1 m again at 119 s.
    const Moorwinch::systemDetails after = details();
    EXPECT_EQ(after.operationCount - before.operationCount, 1u);
    EXPECT_EQ(after.operationTimeSum - before.operationTimeSum, 70u);
    EXPECT_EQ(after.flightCount - before.flightCount, 1u);
    EXPECT_EQ(after.flightTimeSum - before.flightTimeSum, 118u);
    EXPECT_EQ(after.systemTimeSum - before.systemTimeSum, 150u);
    EXPECT_EQ(before.timeToMaintenance - after.timeToMaintenance, 70u);
}

TEST_F(Simulator, RefusedMalformedAndUnknownRequestsGetTheirStatusAndChangeNothing) {
    start();
    EXPECT_EQ(raw(R"("COMMAND":{"SET_RET_TORQUE":120})"), refused);
    EXPECT_EQ(raw(R"("COMMAND":{"SET_RET_START":29})"), refused);
    EXPECT_EQ(raw(R"("COMMAND":{"SET_RET_START":65536})"), refused);
    EXPECT_EQ(raw(R"("COMMAND":{"SET_ACTIVATION":1})"), refused);
    EXPECT_EQ(raw(R"("COMMAND":{"CONFIG_STATUS":{"CAB":0,"ENV":2}})"), refused);
    EXPECT_EQ(raw(R"("COMMAND":{"SET_RET_TORQUE":"40"})"),
              "Data Exception: checkReply: data does not fit to sent command");
    EXPECT_EQ(raw(R"("COMMAND":{"GET_WEATHER":1})"), "Data Exception: checkReply: wrong command sent");
    EXPECT_EQ(raw(R"("COMMAND":{"SET_RET_TORQUE":})"), "Data Exception: checkReply: sent request malformed");
    EXPECT_EQ(raw(R"("COMMAND":{})"), "Data Exception: checkReply: sent request malformed");
    EXPECT_EQ(raw(R"("COMMAND":{"GET_SWVERSION":1})"), "");

    const Moorwinch::systemConfig c = config();
    EXPECT_FALSE(c.systemActivation);
    EXPECT_EQ(c.cableRetractionTorque, 40u);
    EXPECT_FLOAT_EQ(c.cableRetractionStartLength, 1.5f);
    EXPECT_EQ(status().cab, 1);  // the refused flags were not half applied
}

TEST_F(Simulator, SilenceWrongIdsAndForeignStatusesReachTheCallerAsTheLibrarysErrors) {
    start();
    fault(&StationFaults::silent, true);
    EXPECT_EQ(failureOf([&] { status(); }), timedOut);

    fault(&StationFaults::wrongId, true);
    EXPECT_EQ(failureOf([&] { status(); }), "Data Exception: checkReply: wrong message handler");

    fault(&StationFaults::comStatus, 4);
    EXPECT_EQ(failureOf([&] { impl.setCableRetractionTorque(55); }),
              "Data Exception: checkReply: wrong command sent");
    fault();
    EXPECT_EQ(config().cableRetractionTorque, 40u);  // not carried out
}

TEST_F(Simulator, NoiseIsToleratedAndDroppedRequestsTimeOut) {
    start();
    fault(&StationFaults::noise, true);
    const std::string reply = model->respond(R"({"COM":{"MSG_ID":4242},"COMMAND":{"GET_SYSTEM_CONFIG":1}})");
    EXPECT_EQ(reply.rfind(StationModel::noiseBytes() + "{\"COM\":{\"MSG_ID\":4242,\"COM_STATUS\":0}", 0), 0u);
    EXPECT_EQ(status().tetherStatus, 0);
    EXPECT_EQ(details().protocolVersion, "1.36");

    fault(&StationFaults::dropEvery, 2u);
    EXPECT_EQ(failureOf([&] { status(); }), "");
    EXPECT_EQ(failureOf([&] { status(); }), timedOut);
    EXPECT_EQ(failureOf([&] { status(); }), "");
    EXPECT_EQ(failureOf([&] { status(); }), timedOut);
}

TEST_F(Simulator, DelayAndLineSpeedHoldRepliesBack) {
    start();
    fault(&StationFaults::delayMs, 60u);
    auto begin = Clock::now();
    EXPECT_EQ(failureOf([&] { config(); }), "");
    EXPECT_GE(msSince(begin), 60);

    // At 9600 baud the configuration reply (over 100 bytes) takes over 100 ms.
    impl.setConnectionTimeout(1000);
    fault(&StationFaults::baud, 9600u);
    begin = Clock::now();
    EXPECT_EQ(failureOf([&] { config(); }), "");
    EXPECT_GE(msSince(begin), 100);
    EXPECT_LT(msSince(begin), 3000);

    impl.setConnectionTimeout(timeoutMs);
    fault(&StationFaults::delayMs, 3 * timeoutMs);
    EXPECT_EQ(failureOf([&] { config(); }), timedOut);
}

struct ScenarioCase {
    Scenario scenario;
    Verdict verdict;
};

std::string nameOf(Scenario scenario) {
    for (const auto& info : moorwinch_sim::scenarios())
        if (info.scenario == scenario) return info.name;
    return "?";
}
void PrintTo(const ScenarioCase& c, std::ostream* out) { *out << nameOf(c.scenario); }

class Scenarios : public Simulator, public ::testing::WithParamInterface<ScenarioCase> {};

TEST_P(Scenarios, HealthCheckGivesTheNamedVerdict) {
    start(GetParam().scenario);
    Verdict verdict = MoorwinchDefinitions::statusOk;
    EXPECT_EQ(impl.checkSystemStatus(verdict), GetParam().verdict != MoorwinchDefinitions::statusOk);
    EXPECT_EQ(verdict, GetParam().verdict);

    // Maintenance counts only where the caller asks for the details.
    Moorwinch::systemStatus s = status();
    Moorwinch::systemDetails d = details();
    impl.checkSystemStatus(s, d, verdict, false);
    EXPECT_EQ(verdict, GetParam().scenario == Scenario::maintenance ? MoorwinchDefinitions::statusOk
                                                                    : GetParam().verdict);
}

INSTANTIATE_TEST_SUITE_P(Simulator, Scenarios,
                         ::testing::Values(ScenarioCase{Scenario::healthy, MoorwinchDefinitions::statusOk},
                                           ScenarioCase{Scenario::warning, MoorwinchDefinitions::statusWarning},
                                           ScenarioCase{Scenario::error, MoorwinchDefinitions::statusError},
                                           ScenarioCase{Scenario::maintenance,
                                                        MoorwinchDefinitions::statusWarning}),
                         [](const ::testing::TestParamInfo<ScenarioCase>& info) { return nameOf(info.param.scenario); });

TEST_F(Simulator, HealthyStationStaysHealthyInFlight) {
    start();
    impl.setSystemActivation(true);
    wait(30);
    Moorwinch::systemStatus s = status();
    EXPECT_EQ(s.uavExtSupplyStatus, 2);
    EXPECT_EQ(s.errorCode, 0);
    EXPECT_EQ(s.fan1Status, 0);
    EXPECT_GT(s.fan1Rpm, 0);
    Verdict verdict = MoorwinchDefinitions::statusError;
    EXPECT_FALSE(impl.checkSystemStatus(s, verdict, true));
}

// ---------------------------------------------------------------------------
// The program, as a child process.

class Program : public ::testing::Test {
protected:
    void TearDown() override {
        if (child > 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        if (out >= 0) ::close(out);
        if (!link.empty()) ::unlink(link.c_str());
    }

    // Starts the program with stdout (and, if wanted, stderr) on a pipe.
    void run(const std::vector<std::string>& args, bool withStderr = false) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(fds[1], 1);
            if (withStderr) ::dup2(fds[1], 2);
            ::close(fds[0]);
            ::close(fds[1]);
            std::vector<char*> argv{const_cast<char*>(MOORWINCH_SIM_PATH)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out = fds[0];
    }

    // Reads until a line feed (or everything, when untilEnd) or until the bound.
    std::string read(bool untilEnd, int boundMs = 10000) {
        std::string text;
        const auto start = Clock::now();
        while (msSince(start) < boundMs) {
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char c[256];
            ssize_t n = ::read(out, c, untilEnd ? sizeof c : 1);
            if (n <= 0) break;
            text.append(c, static_cast<std::size_t>(n));
            if (!untilEnd && text.back() == '\n') break;
        }
        return text;
    }

    // The exit code, or -1 when the child did not exit normally within the bound.
    int exitCode(int boundMs = 10000) {
        const auto start = Clock::now();
        while (msSince(start) < boundMs) {
            int status = 0;
            if (::waitpid(child, &status, WNOHANG) == child) {
                child = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            ::usleep(10000);
        }
        return -1;
    }

    pid_t child = -1;
    int out = -1;
    std::string link;
};

TEST_F(Program, ServesThroughItsLinkAndCleansUpOnSigterm) {
    char dir[] = "/tmp/moorwinch-sim-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    link = std::string(dir) + "/station";
    run({"--scenario", "warning", "--link", link});

    std::string path = read(false);
    ASSERT_FALSE(path.empty());
    path.pop_back();
    EXPECT_EQ(path.rfind("/dev/", 0), 0u) << path;
    {
        Moorwinch::MoorwinchImpl host;
        host.setConnectionTimeout(timeoutMs);
        host.openConnection(link);
        Moorwinch::systemStatus s;
        host.getSystemStatus(s);
        EXPECT_EQ(s.envSensor1Status, 3);
        host.closeConnection();
    }

    ASSERT_EQ(::kill(child, SIGTERM), 0);
    EXPECT_EQ(exitCode(), 0);
    struct stat st;
    EXPECT_NE(::lstat(link.c_str(), &st), 0);
    ::rmdir(dir);
}

TEST_F(Program, RefusesBadUsageWithExitCode2AndExplainsItself) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"}, {"--delay", "abc"}, {"--delay", "-5"}, {"--scenario", "stormy"},
        {"--drop-every", "0"}, {"--baud"}, {"--silent=1"}, {"--com-status", "70000"},
    };
    for (const auto& args : bad) {
        run(args, true);
        const std::string text = read(true);
        EXPECT_EQ(exitCode(), 2) << args[0];
        EXPECT_EQ(text.rfind("MoorwinchSim: ", 0), 0u) << text;
        ::close(out);
        out = -1;
    }

    run({"--help"});
    const std::string help = read(true);
    EXPECT_EQ(exitCode(), 0);
    for (const char* option : {"--scenario", "healthy", "warning", "error", "maintenance", "flight",
                               "--flight-seconds", "--seed", "--replay", "--speed", "--loop", "--link", "--verbose",
                               "--silent", "--delay", "--noise", "--wrong-id", "--com-status", "--drop-every",
                               "--baud"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

}  // namespace
