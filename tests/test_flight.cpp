// The simulator's flight scenario and its replay of recordings, driven through
// the library over a real pseudo-terminal on a clock the test moves by hand;
// the program itself as a child process for the refusals of bad input.
//
// The model writes the protocol tables, so nothing else here touches them.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "MoorwinchHistory.h"
#include "MoorwinchJson.h"
#include "Recording.h"
#include "StationFixture.h"
#include "StationModel.h"

using namespace KORVANE;
using namespace moorwinch_test;
using moorwinch_sim::FlightSettings;
using moorwinch_sim::Scenario;
using moorwinch_sim::StationFaults;
using moorwinch_sim::StationModel;
using Status = Moorwinch::systemStatus;

namespace {

const std::string statusRequest = R"({"COM":{"MSG_ID":7},"COMMAND":{"GET_SYSTEM_STATUS":1}})";

// A model on a pty station, on a clock the test sets, and a connected
// implementation object. Members are destroyed station before model.
class Sim : public ::testing::Test {
protected:
    void serve(std::unique_ptr<StationModel> next) {
        if (impl.isConnected()) impl.closeConnection();
        next->setClock([this] { return base + std::chrono::microseconds(elapsedUs.load()); });
        next->attach(station);
        model = std::move(next);
        impl.setConnectionTimeout(2000);
        impl.openConnection(station.devicePath());
    }
    void flight(double loopSeconds, std::uint64_t seed = 1) {
        serve(std::make_unique<StationModel>(Scenario::flight, StationFaults(), FlightSettings{seed, loopSeconds}));
    }
    void at(double seconds) { elapsedUs = static_cast<long long>(seconds * 1e6); }

    Status status() {
        Status s;
        impl.getSystemStatus(s);
        return s;
    }
    std::string verdict(Status s) {
        MoorwinchDefinitions::systemError v = MoorwinchDefinitions::statusOk;
        impl.checkSystemStatus(s, v, false);
        return MoorwinchJson::verdictName(v);
    }

    const Clock::time_point base = Clock::now();
    std::atomic<long long> elapsedUs{0};
    std::unique_ptr<StationModel> model;
    PtyStation station;
    Moorwinch::MoorwinchImpl impl;
};

class Flight : public Sim {};

TEST_F(Flight, OneScaledLoopClimbsHoversWarnsAndComesBackWithEveryValueAvailable) {
    flight(12);  // the 240 s loop in 12 s: one step of 0.1 s is 2 s of the flight
    double longest = 0, mostAmps = 0, groundAmps = 0, mostMains = 0, idleMains = 1e9, hottest = -100, coolest = 100;
    std::vector<std::string> verdicts;
    for (int step = 0; step < 120; ++step) {
        at(step * 0.1);
        const Status s = status();
        longest = std::max(longest, static_cast<double>(s.cableLength));
        if (s.cableLength == 0 && s.cableSpeed == 0)
            groundAmps = std::max(groundAmps, static_cast<double>(s.uavSupplyCurrent));
        mostAmps = std::max(mostAmps, static_cast<double>(s.uavSupplyCurrent));
        mostMains = std::max(mostMains, static_cast<double>(s.mainsCurrent));
        idleMains = std::min(idleMains, static_cast<double>(s.mainsCurrent));
        hottest = std::max(hottest, static_cast<double>(s.temperature1));
        coolest = std::min(coolest, static_cast<double>(s.temperature1));
        const std::string v = verdict(s);
        if (verdicts.empty() || verdicts.back() != v) verdicts.push_back(v);

        // Nothing reads as "not available" but the humidity of the failed sensor.
        const MoorwinchJson::json values = MoorwinchJson::toJson(s);
        for (auto member = values.begin(); member != values.end(); ++member) {
            const bool failedSensor = member.key() == "humidity1" && s.envSensor1Status == 3;
            EXPECT_EQ(member.value().is_null(), failedSensor) << member.key() << " at step " << step;
        }
    }
    EXPECT_GT(longest, 55.0);
    EXPECT_LT(longest, 65.0);
    EXPECT_EQ(status().cableLength, 0.0f);  // landed at the loop's end
    EXPECT_LE(groundAmps, 5.0);
    EXPECT_GE(mostAmps, 40.0);
    EXPECT_GT(mostMains, idleMains + 4);  // the mains carry the aircraft's load
    EXPECT_GE(hottest - coolest, 8.0);
    EXPECT_EQ(verdicts, (std::vector<std::string>{"ok", "warning", "ok"}));

    // The same seed flies the same flight; another seed other gusts.
    at(0);
    StationModel one(Scenario::flight, StationFaults(), FlightSettings{1, 12});
    StationModel same(Scenario::flight, StationFaults(), FlightSettings{1, 12});
    StationModel other(Scenario::flight, StationFaults(), FlightSettings{2, 12});
    for (StationModel* m : {&one, &same, &other})
        m->setClock([this] { return base + std::chrono::microseconds(elapsedUs.load()); });
    at(6);  // hovering
    const std::string reply = one.respond(statusRequest);
    EXPECT_EQ(same.respond(statusRequest), reply);
    EXPECT_NE(other.respond(statusRequest), reply);
}

TEST_F(Flight, DeactivationBringsTheAircraftDownAndKeepsItThereUntilActivated) {
    flight(240);
    at(100);  // hovering
    ASSERT_GT(status().cableLength, 50.0f);
    impl.setSystemActivation(false);
    Status s = status();
    EXPECT_EQ(s.activationStatus, 0);
    EXPECT_EQ(s.uavExtSupplyStatus, 0);
    EXPECT_EQ(s.uavSupplyCurrent, 0.0f);
    EXPECT_GT(s.cableLength, 50.0f);  // no jump: the descent goes on from here
    EXPECT_EQ(s.cableSpeed, -1.0f);

    at(200);
    EXPECT_EQ(status().cableLength, 0.0f);
    at(2000);  // far past where the loop would have flown again
    s = status();
    EXPECT_EQ(s.activationStatus, 0);
    EXPECT_EQ(s.cableLength, 0.0f);

    impl.setSystemActivation(true);
    s = status();
    EXPECT_EQ(s.activationStatus, 16);
    EXPECT_EQ(s.uavExtSupplyStatus, 1);  // the pre-flight: the supply comes up
    at(2020);
    s = status();
    EXPECT_GT(s.cableLength, 10.0f);
    EXPECT_EQ(s.cableSpeed, 1.5f);
    EXPECT_EQ(s.flightCountOpSum, 1u);
}

// ---------------------------------------------------------------------------
// Replay

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/moorwinch-replay-XXXXXX";
        if (::mkdtemp(name)) path = name;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string write(const std::string& name, const std::string& content) {
        const std::string file = path + "/" + name;
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }
    std::string path;
};

std::string jsonLine(const std::string& time, const Status& s) {
    return MoorwinchJson::json{{"time", time}, {"verdict", "ok"}, {"conditions", MoorwinchJson::json::array()},
                               {"status", MoorwinchJson::toJson(s)}}
               .dump() +
           "\n";
}

class Replay : public Sim {
protected:
    // Three statuses of a flight: climbing, hovering with the humidity
    // failure, descending with the environment block left out, as a station
    // does with its flag off.
    std::vector<Status> recordFlight() {
        flight(240);
        impl.setCableRetractionTorque(55);
        std::vector<Status> recorded;
        for (double t : {60.0, 120.0, 200.0}) {
            at(t);
            recorded.push_back(status());
        }
        Moorwinch::systemStatusConfig flags{1, 0, 1, 1, 1, 1};
        impl.setSystemStatusConfig(flags);
        recorded.back() = status();
        return recorded;
    }

    void replay(const moorwinch_sim::Recording& recording, double speed) {
        auto replaying = std::make_unique<StationModel>();
        replaying->setPlayback(std::make_unique<moorwinch_sim::Playback>(
            std::make_shared<const moorwinch_sim::Recording>(recording), speed, false));
        at(0);
        serve(std::move(replaying));
    }

    // Each status the station sends from `begin` on, `after` seconds later,
    // is the recorded one of that index.
    void expectServed(const std::vector<Status>& recorded, double begin,
                      const std::vector<std::pair<double, std::size_t>>& expected) {
        for (const auto& [after, index] : expected) {
            at(begin + after);
            EXPECT_EQ(MoorwinchJson::toJson(status()), MoorwinchJson::toJson(recorded[index])) << "at " << after;
        }
    }
};

TEST_F(Replay, ServesTheRecordedStatusesOfJsonLinesInTheirTimeOrderAtTheRequestedSpeed) {
    // As `moorwinch --json watch` writes them, out of order, with lines that
    // are no status.
    const std::vector<Status> recorded = recordFlight();
    TempDir dir;
    const std::string file = dir.write(
        "flight.jsonl", jsonLine("2024-05-01T12:00:02.000Z", recorded[2]) + "not json\n" +
                            jsonLine("2024-05-01T12:00:00.000Z", recorded[0]) +
                            R"({"time":"2024-05-01T12:00:00.500Z","verdict":"unknown","status":null,"error":"x"})" +
                            "\n" + jsonLine("2024-05-01T14:00:01.000+02:00", recorded[1]));

    const moorwinch_sim::Recording recording = moorwinch_sim::readRecording(file);
    EXPECT_EQ(recording.skipped, 2u);
    EXPECT_EQ(recording.firstSkipped, "line 2: not JSON");
    replay(recording, 2.0);

    // Twice as fast, from the first status request on (at 30 s of the clock).
    expectServed(recorded, 30, {{0, 0}, {0.49, 0}, {0.5, 1}, {0.99, 1}, {1.0, 2}, {100, 2}});
    // The configuration as the replayed status shows it; settings refused.
    Moorwinch::systemConfig c;
    impl.getSystemConfig(c);
    EXPECT_TRUE(c.systemActivation);
    EXPECT_EQ(c.cableRetractionTorque, recorded[2].cableRetractionTorque);
    EXPECT_THROW(impl.setCableRetractionTorque(60), DataException);

    // A loop lasts the span and one mean interval (2 s + 1 s), at speed 1.
    moorwinch_sim::Playback looped(std::make_shared<const moorwinch_sim::Recording>(recording), 1.0, true);
    looped.start(base);
    EXPECT_EQ(looped.at(base + std::chrono::milliseconds(2999)).status->cableLength, recorded[2].cableLength);
    EXPECT_EQ(looped.at(base + std::chrono::milliseconds(3000)).status->cableLength, recorded[0].cableLength);
}

TEST_F(Replay, ServesAHistoryDatabaseWithTheDetailsAndConfigurationItRecorded) {
    namespace history = KORVANE::MoorwinchHistory;
    std::vector<Status> recorded = recordFlight();
    recorded[1].cab = recorded[1].sysState = 0;  // the configuration has to come from its own record
    TempDir dir;
    const std::string file = dir.path + "/history.db";
    {
        history::Writer writer(file);
        const history::Time start = history::now();  // within the writer's retention
        Moorwinch::systemDetails details;
        details.serialNumber = "KV-REPLAYED-0001";
        details.flightCount = 4242;
        writer.appendDetails(start - 1000, details);
        const Moorwinch::systemConfig config{true, 77, 2.5f, 16};
        writer.appendConfig(start - 1000, config);
        for (std::size_t i = 0; i < recorded.size(); ++i)
            writer.appendPoll(start + static_cast<history::Time>(i) * history::microsecondsPerSecond,
                              MoorwinchDefinitions::statusOk, recorded[i]);
        writer.flush();
    }
    const moorwinch_sim::Recording recording = moorwinch_sim::readRecording(file);
    EXPECT_EQ(recording.kind, "history database");
    ASSERT_EQ(recording.statuses.size(), 3u);
    replay(recording, 1.0);

    expectServed(recorded, 10, {{0, 0}, {1, 1}});
    Moorwinch::systemConfig c;
    impl.getSystemConfig(c);
    EXPECT_TRUE(c.systemActivation);
    EXPECT_EQ(c.cableRetractionTorque, 77u);
    Moorwinch::systemDetails d;
    impl.getSystemDetails(d);
    EXPECT_EQ(d.serialNumber, "KV-REPLAYED-0001");
    EXPECT_EQ(d.flightCount, 4242u);
    expectServed(recorded, 10, {{2, 2}, {60, 2}});
}

TEST(ReplayProgram, RefusesInputItCannotReplayWithTheFileAndTheReason) {
    TempDir dir;
    Status bad;
    bad.cab = 1;
    bad.cableLength = 500;  // beyond the 327 m the station's field holds
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    } cases[] = {
        {{"--replay", dir.path + "/missing"}, 1, dir.path + "/missing: No such file or directory"},
        {{"--replay", dir.path}, 1, dir.path + ": not a regular file"},
        {{"--replay", dir.write("empty", "")}, 1, "empty: no status record to replay\n"},
        {{"--replay", dir.write("bad", "[1]\n" + jsonLine("2024-05-01T12:00:00Z", bad))},
         1,
         "bad: no status record to replay (2 entries unusable; the first at line 1: not a JSON object)"},
        {{"--replay", dir.write("long", std::string(moorwinch_sim::maxRecordingLineBytes + 1, ' '))},
         1,
         "long: line 1 is longer than 1024 KiB"},
        {{"--replay", dir.write("other.db", std::string("SQLite format 3\0", 16) + std::string(200, 'x'))},
         1,
         "other.db: not a moorwinch history file"},
        {{"--speed", "2"}, 2, "--speed goes with --replay"},
        {{"--replay", dir.write("one", jsonLine("2024-05-01T12:00:00Z", Status())), "--speed", "0"},
         2,
         "--speed needs a number from 0.01 to 100000, not '0'"},
        {{"--replay", dir.path + "/one", "--scenario", "flight"}, 2, "exclude each other"},
        {{"--seed", "3"}, 2, "--seed goes with --scenario flight"},
    };
    for (const auto& c : cases) {
        ChildOptions options;
        options.captureStderr = true;
        Child child(MOORWINCH_SIM_PATH, c.args, options);
        ASSERT_TRUE(child.finish()) << c.args[0];
        EXPECT_EQ(child.exitCode, c.exitCode) << child.errors;
        EXPECT_NE(child.errors.find(c.message), std::string::npos) << child.errors;
        EXPECT_EQ(child.output, "");
    }
}

}  // namespace
