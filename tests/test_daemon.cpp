// moorwinchd as a subprocess against MoorwinchSim on its pty: the ops and their
// replies, many watchers on one poll, unplug and return, who may change the
// station, hostile input, slow readers, /metrics over HTTP, SIGTERM, the
// starts it must refuse, TCP slots and timeouts, changes back to back, the
// watchdog through a silent activation, and faults of its surroundings.
#include <gtest/gtest.h>

#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <Moorwinch.h>
#include <MoorwinchHistory.h>
#include <MoorwinchService.h>
#include <SQLiteCpp/SQLiteCpp.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "ServiceTest.h"

using namespace moorwinch_test;

namespace {

const std::string token = "s3cret-token-0123456789";

class Daemon : public ServiceTest {
protected:
    void SetUp() override {
        makeFolder(token);
        startSimulator();
    }

    std::string daemonLog() const { return slurp(dir + "/daemon.log"); }

    void startSimulator() { ServiceTest::startSimulator(scenario); }

    // Starts the service and waits until it serves a connected station.
    void startDaemon(std::vector<std::string> extra = {}, Spawn how = {}) {
        std::vector<std::string> args = {MOORWINCHD_PATH, "--port", link(), "--socket", socketPath(), "--foreground",
                                         "--interval", interval, "--timeout", timeoutMs, "--verbose",
                                         "--listen", listenAt, "--metrics", "0"};
        if (withToken) args.insert(args.end(), {"--token-file", dir + "/token"});
        args.insert(args.end(), extra.begin(), extra.end());
        std::filesystem::remove(dir + "/daemon.log");
        how.log = dir + "/daemon.log";
        daemon = std::make_unique<Process>(args, how);
        ASSERT_TRUE(eventually([&] { return daemonLog().find("poll 1 ok") != std::string::npos; })) << daemonLog();
        tcpPort = logPort("serving TCP on 127.0.0.1:");
        metricsPort = logPort("metrics on http://127.0.0.1:");
    }

    int logPort(const std::string& before) {
        const std::string log = daemonLog();
        const std::size_t at = log.find(before);
        return at == std::string::npos ? -1 : std::stoi(log.substr(at + before.size()));
    }

    std::unique_ptr<Connection> client() { return std::make_unique<Connection>(dialUnix(socketPath())); }

    // Request lines the simulator received that contain the text.
    int stationRequests(const std::string& text) {
        std::istringstream log(slurp(dir + "/sim.log"));
        int count = 0;
        for (std::string line; std::getline(log, line);)
            if (line.compare(0, 3, "<- ") == 0 && line.find(text) != std::string::npos) ++count;
        return count;
    }

    int tcpPort = -1, metricsPort = -1;
    // The simulator's options besides its link, for the next startSimulator.
    std::vector<std::string> scenario;
    // The service's settings for the next startDaemon.
    std::string interval = "0.1", timeoutMs = "1000", listenAt = "0";
    bool withToken = true;
};

TEST_F(Daemon, EveryOpAnswersFromTheLatestPollOrTheStation) {
    startDaemon();
    auto c = client();
    ASSERT_TRUE(c->open());

    json r = c->ask({{"op", "status"}, {"id", "s1"}});
    EXPECT_EQ(r["id"], "s1");
    ASSERT_EQ(r["ok"], true) << r;
    EXPECT_EQ(r["data"]["cab"], 1);
    EXPECT_TRUE(r["data"]["cableLength"].is_number());
    EXPECT_EQ(r["stale"], false);
    EXPECT_LT(r["age"].get<double>(), 5.0);

    EXPECT_EQ(c->ask({{"op", "details"}, {"id", 7}})["data"]["serialNumber"], "KV-SGS-2303-0417");
    EXPECT_EQ(c->ask({{"op", "config"}})["data"]["cableRetractionTorque"], 40);
    EXPECT_EQ(c->ask({{"op", "reporting"}})["data"]["env"], 1);
    r = c->ask({{"op", "check"}});
    EXPECT_EQ(r["data"]["verdict"], "ok");
    EXPECT_EQ(r["data"]["conditions"], json::array());
    r = c->ask({{"op", "version"}});
    EXPECT_EQ(r["data"]["stationProtocol"], "1.36");
    EXPECT_FALSE(r["data"]["library"].get<std::string>().empty());
    r = c->ask({{"op", "state"}});
    EXPECT_EQ(r["data"]["state"], "connected");
    EXPECT_EQ(r["data"]["port"], link());
    EXPECT_EQ(r["data"]["clients"], 1);
    EXPECT_EQ(r["data"]["stale"], false);
    EXPECT_LT(r["data"]["age"].get<double>(), 5.0);

    // Commands reach the station and answer with what it reports afterwards.
    r = c->ask({{"op", "set"}, {"torque", 55}, {"startLength", 2.5}, {"id", 1}});
    ASSERT_EQ(r["ok"], true) << r;
    EXPECT_EQ(r["id"], 1);
    EXPECT_EQ(r["data"]["cableRetractionTorque"], 55);
    EXPECT_EQ(r["data"]["cableRetractionStartLength"], 2.5);
    EXPECT_EQ(c->ask({{"op", "set"}, {"activation", true}})["data"]["systemActivation"], true);
    EXPECT_EQ(c->ask({{"op", "config"}})["data"]["cableRetractionTorque"], 55);
    r = c->ask({{"op", "reporting"}, {"set", {{"env", 0}}}});
    ASSERT_EQ(r["ok"], true) << r;
    EXPECT_EQ(r["data"]["env"], 0);
    EXPECT_EQ(r["data"]["cab"], 1);
    EXPECT_TRUE(c->ask({{"op", "status"}})["data"]["temperature1"].is_null());
    EXPECT_EQ(stationRequests("SET_RET_TORQUE"), 1);

    // A value only the library refuses comes back as its ValueException, with
    // its kind and the field.
    r = c->ask({{"op", "set"}, {"startLength", 1e9}});
    EXPECT_EQ(r["error"]["type"], "ValueException") << r;
    EXPECT_EQ(r["error"]["kind"], "valueOutOfRange");
    EXPECT_EQ(r["error"]["field"], "cableRetractionStartLength");
    EXPECT_NE(r["error"]["message"].get<std::string>().find("setCableRetractionStartLength"), std::string::npos);
    // One the station refuses comes back with the station's own reason.
    r = c->ask({{"op", "set"}, {"startLength", 1000}});
    EXPECT_EQ(r["error"]["kind"], "stationRefused") << r;
    EXPECT_EQ(r["error"]["stationStatus"], 6);
    EXPECT_EQ(r["error"]["stationMessage"], "value refused");
    r = c->ask({{"op", "reporting"}, {"set", {{"cab", 2}}}});
    EXPECT_EQ(r["error"]["kind"], "valueOutOfRange") << r;
    EXPECT_EQ(r["error"]["field"], "cab");
    EXPECT_EQ(stationRequests("CONFIG_STATUS"), 1);

    // The watch reply says how often lines come and when data count as stale.
    r = c->ask({{"op", "watch"}});
    EXPECT_EQ(r["data"]["watching"], true);
    EXPECT_EQ(r["data"]["interval"], 0.1);
    EXPECT_NEAR(r["data"]["staleAfter"].get<double>(), KORVANE::MoorwinchService::staleAfterSeconds(0.1, 1000), 1e-9);
    const json e = c->event("status");
    EXPECT_GT(e["poll"].get<int>(), 0);
    EXPECT_EQ(e["data"]["cab"], 1);
    EXPECT_EQ(c->ask({{"op", "unwatch"}})["data"]["watching"], false);
}

TEST_F(Daemon, TwentyWatchersReceiveEveryPollAndCostTheStationNothing) {
    startDaemon();
    const int startup = stationRequests("") - stationRequests("GET_SYSTEM_STATUS");
    std::vector<std::unique_ptr<Connection>> watchers;
    for (int i = 0; i < 20; ++i) {
        watchers.push_back(client());
        ASSERT_EQ(watchers.back()->ask({{"op", "watch"}})["ok"], true);
    }
    // Every watcher sees an unbroken run of polls until five after the last one joined.
    std::vector<int> seen;
    for (auto& w : watchers) seen.push_back(w->event("status")["poll"]);
    const int last = *std::max_element(seen.begin(), seen.end()) + 5;
    for (std::size_t i = 0; i < watchers.size(); ++i) {
        auto& w = watchers[i];
        for (int expected = seen[i] + 1; expected <= last; ++expected) {
            const json e = w->event("status");
            ASSERT_FALSE(e.is_null());
            ASSERT_EQ(e["poll"], expected) << "a watcher missed a poll";
        }
        for (const char* op : {"status", "details", "config", "check", "reporting"})
            ASSERT_EQ(w->ask({{"op", op}})["ok"], true);
    }
    // One status request a poll, whatever the clients did; nothing else after the start.
    const int pollsBefore = watchers[0]->ask({{"op", "state"}})["data"]["polls"];
    const int statusRequests = stationRequests("GET_SYSTEM_STATUS");
    const int pollsAfter = watchers[0]->ask({{"op", "state"}})["data"]["polls"];
    EXPECT_GE(statusRequests, pollsBefore);
    EXPECT_LE(statusRequests, pollsAfter + 1);
    EXPECT_EQ(stationRequests("") - stationRequests("GET_SYSTEM_STATUS"), startup);
}

TEST_F(Daemon, UnplugAndReturnAreSeenWithoutClientsReconnecting) {
    startDaemon();
    auto watcher = client();
    auto reader = client();
    ASSERT_EQ(watcher->ask({{"op", "watch"}})["ok"], true);
    ASSERT_FALSE(watcher->event("status").is_null());

    simulator->signal(SIGTERM);
    ASSERT_EQ(simulator->wait(), 0);
    json e = watcher->event("state");
    EXPECT_EQ(e["state"], "disconnected") << e;
    EXPECT_TRUE(e["error"].is_string());
    // The stream goes on, a gap for every poll the absence costs.
    for (int i = 0; i < 2; ++i) {
        e = watcher->event("gap");
        EXPECT_EQ(e["state"], "disconnected") << e;
        EXPECT_FALSE(e["error"].get<std::string>().empty());
    }

    json r = reader->ask({{"op", "status"}});
    ASSERT_EQ(r["ok"], true) << r;
    EXPECT_EQ(r["stale"], true);
    EXPECT_TRUE(eventually([&] { return reader->ask({{"op", "status"}})["age"].get<double>() > 0.3; }));
    r = reader->ask({{"op", "set"}, {"torque", 10}});
    EXPECT_EQ(r["error"]["type"], "Unavailable");
    EXPECT_EQ(r["error"]["kind"], "unavailable");
    EXPECT_EQ(reader->ask({{"op", "state"}})["data"]["state"], "disconnected");
    EXPECT_NE(httpGet(metricsPort, "/metrics").find("moorwinch_up 0"), std::string::npos);

    startSimulator();
    e = watcher->event("state");
    EXPECT_EQ(e["state"], "connected") << e;
    EXPECT_FALSE(watcher->event("status").is_null());
    r = reader->ask({{"op", "status"}});
    EXPECT_EQ(r["stale"], false);
    EXPECT_LT(r["age"].get<double>(), 1.0);
    EXPECT_EQ(reader->ask({{"op", "state"}})["data"]["reconnects"], 1);
    EXPECT_EQ(stationRequests("SET_RET_TORQUE"), 0);
    const std::string metrics = httpGet(metricsPort, "/metrics");
    EXPECT_NE(metrics.find("moorwinch_up 1"), std::string::npos);
    EXPECT_NE(metrics.find("moorwinch_reconnects_total 1"), std::string::npos);
}

// In a child that has become `nobody` (with the extra group when given): a
// status read and a torque change; the two replies come back through a pipe.
std::vector<json> askAsNobody(const std::string& socket, gid_t extraGroup) {
    const passwd* nobody = getpwnam("nobody");
    int channel[2];
    if (!nobody || pipe(channel) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        const gid_t groups[] = {extraGroup};
        if (setgroups(extraGroup ? 1 : 0, groups) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
            _exit(3);
        Connection c(dialUnix(socket));
        std::string replies = c.ask({{"op", "status"}}).dump() + "\n";
        replies += c.ask({{"op", "set"}, {"torque", 12}}).dump() + "\n";
        if (write(channel[1], replies.data(), replies.size()) < 0) _exit(4);
        _exit(0);
    }
    close(channel[1]);
    Connection fromChild(channel[0]);
    std::vector<json> replies = {fromChild.next(), fromChild.next()};
    waitpid(child, nullptr, 0);
    return replies;
}

TEST_F(Daemon, ChangesFromStrangersAreRefusedAndNeverReachTheStation) {
    const group* control = getgrnam("dialout");
    startDaemon(control ? std::vector<std::string>{"--control-group", "dialout"} : std::vector<std::string>{});
    struct stat info;
    ASSERT_EQ(stat(socketPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);

    // TCP with a token file: nothing but the version before the token.
    Connection tcp(dialTcp(tcpPort));
    ASSERT_TRUE(tcp.open());
    for (const char* op : {"status", "watch", "state"}) {
        const json r = tcp.ask({{"op", op}});
        EXPECT_EQ(r["error"]["type"], "Forbidden") << r;
        EXPECT_EQ(r["error"]["kind"], "authRequired") << r;
    }
    EXPECT_EQ(tcp.ask({{"op", "version"}})["ok"], true);
    EXPECT_EQ(tcp.ask({{"op", "set"}, {"torque", 12}})["error"]["kind"], "authRequired");
    EXPECT_EQ(tcp.ask({{"op", "auth"}, {"token", "guess"}})["error"]["kind"], "forbidden");
    EXPECT_EQ(stationRequests("SET_RET_TORQUE"), 0);
    EXPECT_EQ(tcp.ask({{"op", "auth"}, {"token", token}})["ok"], true);
    EXPECT_EQ(tcp.ask({{"op", "status"}})["ok"], true);
    EXPECT_EQ(tcp.ask({{"op", "set"}, {"torque", 13}})["data"]["cableRetractionTorque"], 13);
    EXPECT_EQ(stationRequests("SET_RET_TORQUE"), 1);

    // Three wrong tokens end the connection.
    Connection guesser(dialTcp(tcpPort));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(guesser.ask({{"op", "auth"}, {"token", "x"}})["error"]["type"], "Forbidden");
    EXPECT_TRUE(guesser.closedByPeer());

    if (getuid() != 0 || !getpwnam("nobody")) {
        GTEST_SKIP() << "a second user needs root to become nobody; the Unix-socket half is not run";
    }
    // The socket's group lets nobody in to read; its credentials do not let it change anything.
    ASSERT_EQ(chown(socketPath().c_str(), static_cast<uid_t>(-1), getpwnam("nobody")->pw_gid), 0);
    std::vector<json> replies = askAsNobody(socketPath(), 0);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0]["ok"], true) << replies[0];
    EXPECT_EQ(replies[1]["error"]["type"], "Forbidden") << replies[1];
    // The refusal names the rule, with the control group only when there is one.
    EXPECT_EQ(replies[1]["error"]["message"].get<std::string>().find("group dialout") != std::string::npos,
              control != nullptr)
        << replies[1];
    EXPECT_EQ(stationRequests("SET_RET_TORQUE"), 1);
    if (control) {
        replies = askAsNobody(socketPath(), control->gr_gid);
        EXPECT_EQ(replies.at(1)["ok"], true) << "a member of the control group may change the station";
    }
}

TEST_F(Daemon, BadInputIsAnsweredAndBoundsEndOnlyTheOffender) {
    startDaemon();
    auto c = client();
    const std::vector<std::string> bad = {
        "not json",
        "[1,2]",
        R"({"id":1})",
        R"({"op":5})",
        R"({"op":"launch"})",
        R"({"op":"status","extra":1})",
        R"({"op":"status","id":{"a":1}})",
        R"({"op":"set"})",
        R"({"op":"set","torque":"40"})",
        R"({"op":"set","torque":-1})",
        R"({"op":"set","activation":"yes"})",
        R"({"op":"reporting","set":{"cab":"1"}})",
        R"({"op":"reporting","set":{"wings":1}})",
        R"({"op":"auth"})",
        R"({"op":"status","id":[[[[[[[[[[1]]]]]]]]]]})",
        "{\"op\":\"st\xff\"}",
    };
    for (const std::string& line : bad) {
        c->send(line + "\n");
        const json r = c->next();
        EXPECT_EQ(r["error"]["type"], "BadRequest") << line << " -> " << r;
        EXPECT_EQ(r["error"]["kind"], "badRequest") << line << " -> " << r;
    }
    // A value out of range is the library's to refuse, with its own text.
    const json torque = c->ask({{"op", "set"}, {"torque", 101}});
    EXPECT_EQ(torque["error"]["type"], "ValueException");
    EXPECT_EQ(torque["error"]["message"],
              "Value Exception: setCableRetractionTorque: Value out of range. Maximal valid torque: 100 %");
    EXPECT_EQ(c->ask({{"op", "set"}, {"startLength", 0.1}})["error"]["type"], "ValueException");
    EXPECT_EQ(c->ask({{"op", "status"}, {"id", 2}})["id"], 2);
    EXPECT_EQ(stationRequests("SET_"), 0);

    // A line over 64 KiB: an error, then the end of that connection only.
    auto other = client();
    c->send(std::string(70 * 1024, 'x'));
    EXPECT_EQ(c->next()["error"]["type"], "BadRequest");
    EXPECT_TRUE(c->closedByPeer());
    c.reset();
    EXPECT_TRUE(eventually([&] { return other->ask({{"op", "state"}})["data"]["clients"] == 1; }));

    // At most 64 clients; the next is told so and closed.
    std::vector<std::unique_ptr<Connection>> crowd;
    while (crowd.size() < 63) crowd.push_back(client());
    ASSERT_EQ(crowd.back()->ask({{"op", "state"}})["data"]["clients"], 64);
    auto extra = client();
    const json refusal = extra->next();
    EXPECT_EQ(refusal["error"]["type"], "Unavailable") << refusal;
    EXPECT_EQ(refusal["error"]["kind"], "tooManyClients") << refusal;
    EXPECT_TRUE(extra->closedByPeer());
    EXPECT_EQ(other->ask({{"op", "status"}})["ok"], true);
}

TEST_F(Daemon, ASlowReaderIsDroppedWhileOthersKeepTheirStream) {
    startDaemon();
    auto steady = client();
    auto slow = client();
    ASSERT_EQ(steady->ask({{"op", "watch"}})["ok"], true);
    ASSERT_EQ(slow->ask({{"op", "watch"}})["ok"], true);
    // The slow one asks for far more than its socket and its queue hold, and reads nothing.
    std::string flood;
    for (int i = 0; i < 2000; ++i) flood += "{\"op\":\"details\"}\n";
    const ssize_t sent = ::send(slow->fd, flood.data(), flood.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    EXPECT_GT(sent, 0);

    int last = steady->event("status")["poll"];
    const auto dropped = [&] { return daemonLog().find("not reading") != std::string::npos; };
    for (int events = 0; events < 10 || !dropped(); ++events) {
        const json e = steady->event("status");
        ASSERT_FALSE(e.is_null()) << "the steady watcher lost its stream";
        EXPECT_EQ(e["poll"].get<int>(), last + 1);
        last = e["poll"];
        ASSERT_LT(events, 200) << "the slow reader was never dropped";
    }
    EXPECT_TRUE(slow->closedByPeer());
    EXPECT_EQ(steady->ask({{"op", "state"}})["data"]["clientsDropped"], 1);
}

TEST_F(Daemon, MetricsAreServedOverHttpInBaseUnits) {
    startDaemon();
    auto c = client();
    ASSERT_EQ(c->ask({{"op", "status"}})["ok"], true);
    const std::string metrics = httpGet(metricsPort, "/metrics");
    for (const char* family :
         {"moorwinch_up 1", "moorwinch_exchanges_total{op=\"status\",result=\"ok\"}",
          "moorwinch_exchange_duration_seconds_bucket{op=\"status\"", "moorwinch_reconnects_total 0",
          "moorwinch_clients 1", "moorwinch_health_verdict 0", "moorwinch_cable_length_meters",
          "moorwinch_cable_speed_meters_per_second", "moorwinch_mains_voltage_volts 230",
          "moorwinch_mains_current_amperes", "moorwinch_mains_frequency_hertz 50", "moorwinch_uav_supply_voltage_volts",
          "moorwinch_uav_supply_current_amperes", "moorwinch_uav_power_watts", "moorwinch_backup_battery_voltage_volts",
          "moorwinch_temperature_celsius{sensor=\"1\"}", "moorwinch_humidity_ratio 0.41",
          "moorwinch_pressure_pascals", "moorwinch_fan_speed_rpm{fan=\"2\"}",
          "moorwinch_station_info{hw_version=\"2.1.0\"", "moorwinch_data_age_seconds 0"})
        EXPECT_NE(metrics.find(family), std::string::npos) << family << "\n" << metrics;
}

TEST_F(Daemon, SigtermClosesClientsSocketAndPort) {
    startDaemon();
    auto watcher = client();
    auto idle = client();
    ASSERT_EQ(watcher->ask({{"op", "watch"}})["ok"], true);
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 0);
    EXPECT_TRUE(watcher->closedByPeer());
    EXPECT_TRUE(idle->closedByPeer());
    EXPECT_NE(access(socketPath().c_str(), F_OK), 0);
    KORVANE::Moorwinch winch;  // the port is free again
    EXPECT_NO_THROW(winch.openConnection(link()));
}

TEST_F(Daemon, RefusesUnsafeOrTakenPlaces) {
    const auto refusal = [&](std::vector<std::string> args, const std::string& expected) {
        std::vector<std::string> all = {MOORWINCHD_PATH, "--port", link(), "--foreground"};
        all.insert(all.end(), args.begin(), args.end());
        std::filesystem::remove(dir + "/refusal.log");
        Process p(all, dir + "/refusal.log");
        EXPECT_EQ(p.wait(), 1) << expected;
        EXPECT_NE(slurp(dir + "/refusal.log").find(expected), std::string::npos) << slurp(dir + "/refusal.log");
    };
    std::ofstream(dir + "/open-token") << token << "\n";
    chmod((dir + "/open-token").c_str(), 0644);
    refusal({"--socket", socketPath(), "--token-file", dir + "/open-token"}, "others may read");
    std::ofstream(dir + "/file") << "x";
    refusal({"--socket", dir + "/file"}, "is not a socket");

    // A stale socket is replaced; a live one is not taken over.
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath().c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(stale);
    startDaemon();
    refusal({"--socket", socketPath()}, "another service is listening");
    EXPECT_EQ(client()->ask({{"op", "state"}})["ok"], true);
}

TEST_F(Daemon, TcpClientsCannotCrowdOutLocalOperatorsNorHoldSlotsForEver) {
    startDaemon({"--max-tcp-clients", "2", "--auth-timeout", "0.5", "--idle-timeout", "1"});
    const auto watcher = [&] {
        auto c = std::make_unique<Connection>(dialTcp(tcpPort));
        EXPECT_EQ(c->ask({{"op", "auth"}, {"token", token}})["ok"], true);
        EXPECT_EQ(c->ask({{"op", "watch"}})["ok"], true);
        return c;
    };
    auto a = watcher(), b = watcher();
    // A third TCP client is told why and closed; the Unix socket has slots of its own.
    Connection third(dialTcp(tcpPort));
    const json refusal = third.next();
    EXPECT_EQ(refusal["error"]["kind"], "tooManyClients") << refusal;
    EXPECT_TRUE(refusal["id"].is_null());
    EXPECT_TRUE(third.closedByPeer());
    std::vector<std::unique_ptr<Connection>> operators;
    for (int i = 0; i < 3; ++i) {
        operators.push_back(client());
        EXPECT_EQ(operators.back()->ask({{"op", "status"}})["ok"], true);
    }
    // A TCP client that neither watches nor waits for a change is closed once
    // silent for the idle time; a watcher is not, though it sent nothing since.
    EXPECT_EQ(b->ask({{"op", "unwatch"}})["ok"], true);
    const json idle = b->next();
    EXPECT_EQ(idle["error"]["kind"], "idle") << idle;
    EXPECT_TRUE(b->closedByPeer());
    b.reset();
    EXPECT_EQ(a->ask({{"op", "state"}})["ok"], true);
    // One that gives no token is closed after the time to give it.
    ASSERT_TRUE(eventually([&] { return a->ask({{"op", "state"}})["data"]["clients"] == 4; }));
    Connection silent(dialTcp(tcpPort));
    const json late = silent.next();
    EXPECT_EQ(late["error"]["kind"], "idle") << late;
    EXPECT_NE(late["error"]["message"].get<std::string>().find("token"), std::string::npos) << late;
    EXPECT_TRUE(silent.closedByPeer());

    // Without a token file TCP stays read-only and needs no auth.
    daemon.reset();
    withToken = false;
    startDaemon();
    Connection reader(dialTcp(tcpPort));
    EXPECT_EQ(reader.ask({{"op", "status"}})["ok"], true);
    const json refused = reader.ask({{"op", "set"}, {"torque", 20}});
    EXPECT_EQ(refused["error"]["kind"], "forbidden") << refused;
    EXPECT_NE(refused["error"]["message"].get<std::string>().find("no token file"), std::string::npos) << refused;
}

TEST_F(Daemon, ChangesBackToBackNeitherStarvePollsNorQueueUp) {
    startDaemon();
    // One change a client at a time: the rest are refused as Busy and never sent.
    auto eager = client();
    std::string three;
    for (int torque : {21, 22, 23}) three += json({{"op", "set"}, {"torque", torque}}).dump() + "\n";
    eager->send(three);
    std::map<std::string, int> outcomes;
    for (int i = 0; i < 3; ++i) {
        const json r = eager->next();
        ++outcomes[r.contains("error") ? r["error"].value("kind", "") : r.value("ok", false) ? "ok" : r.dump()];
    }
    EXPECT_EQ(outcomes["ok"], 1);
    EXPECT_EQ(outcomes["busy"], 2);
    EXPECT_EQ(stationRequests("SET_RET_TORQUE"), 1);

    // Clients that send the next change as soon as the last is answered keep a
    // change waiting all the time; the polls still get their turn.
    auto watcher = client();
    ASSERT_EQ(watcher->ask({{"op", "watch"}})["ok"], true);
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int i = 0; i < 6; ++i)
        senders.emplace_back([&, i] {
            Connection c(dialUnix(socketPath()));
            for (int n = 0; !stop && c.open(); ++n)
                if (c.ask({{"op", "set"}, {"torque", 30 + (n + i) % 10}}).is_null()) return;
        });
    EXPECT_TRUE(eventually([&] { return stationRequests("SET_RET_TORQUE") > 30; }));
    int polls = 0;
    while (polls < 10 && !watcher->event("status", std::chrono::seconds(5)).is_null()) ++polls;
    stop = true;
    for (std::thread& t : senders) t.join();
    EXPECT_EQ(polls, 10) << "the changes starved the polls";
}

// systemd's end of sd_notify: a datagram socket that notes when each watchdog
// ping arrives.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw std::runtime_error("bind");
        reader = std::thread([this] {
            while (!stopping) {
                pollfd p{fd, POLLIN, 0};
                char message[4096];
                if (poll(&p, 1, 50) <= 0) continue;
                const ssize_t n = recv(fd, message, sizeof message, 0);
                const std::string text(message, n > 0 ? static_cast<std::size_t>(n) : 0);
                if (text.find("WATCHDOG=1") != std::string::npos) {
                    std::lock_guard<std::mutex> lock(mutex);
                    times.push_back(Clock::now());
                }
            }
        });
    }
    ~NotifySocket() {
        stopping = true;
        reader.join();
        close(fd);
    }
    std::vector<Clock::time_point> pings() const {
        std::lock_guard<std::mutex> lock(mutex);
        return times;
    }

private:
    int fd = -1;
    std::atomic<bool> stopping{false};
    std::thread reader;
    mutable std::mutex mutex;
    std::vector<Clock::time_point> times;
};

// The service's standard error through a pipe of one page that the test
// copies to the log file until told to stop; then the service's writes block.
class LogPipe {
public:
    explicit LogPipe(const std::string& file) {
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        fcntl(fds[0], F_SETPIPE_SZ, 4096);
        copier = std::thread([this, file] {
            while (!stopping) {
                pollfd p{fds[0], POLLIN, 0};
                char chunk[4096];
                if (poll(&p, 1, 50) <= 0) continue;
                const ssize_t n = read(fds[0], chunk, sizeof chunk);
                if (n <= 0) return;
                std::ofstream(file, std::ios::app).write(chunk, n);
            }
        });
    }
    ~LogPipe() {
        stop();
        close(fds[0]);
        close(fds[1]);
    }
    int writeEnd() const { return fds[1]; }
    void stop() {
        stopping = true;
        if (copier.joinable()) copier.join();
    }

private:
    int fds[2] = {-1, -1};
    std::atomic<bool> stopping{false};
    std::thread copier;
};

double metricValue(const std::string& metrics, const std::string& name) {
    const std::size_t at = metrics.find("\n" + name + " ");
    return at == std::string::npos ? std::nan("") : std::stod(metrics.substr(at + name.size() + 2));
}

TEST_F(Daemon, ASilentActivationKeepsWatchdogAndWatchersFedAndTheDataHonest) {
    NotifySocket notify(dir + "/notify");
    LogPipe log(dir + "/daemon.log");
    interval = "0.2";
    timeoutMs = "200";
    const double staleAfter = KORVANE::MoorwinchService::staleAfterSeconds(0.2, 200);
    Spawn how;
    how.environment = {"NOTIFY_SOCKET=" + dir + "/notify", "WATCHDOG_USEC=2000000"};
    how.errorFd = log.writeEnd();
    startDaemon({"--trace"}, how);
    ASSERT_TRUE(eventually([&] { return !notify.pings().empty(); }));
    auto watcher = client(), reader = client(), changer = client();
    ASSERT_EQ(watcher->ask({{"op", "watch"}})["ok"], true);

    // The station stops answering; an activation waits 30 T for its reply.
    simulator->pause();
    const auto start = Clock::now();
    changer->send("{\"op\":\"set\",\"activation\":true}\n");
    json reply;
    int lines = 0;
    bool busyGap = false, staleWhileConnected = false;
    double scrapedAge = 0;
    while (reply.is_null() && Clock::now() - start < patience) {
        reply = changer->next(std::chrono::milliseconds(100));
        for (json e = watcher->next(std::chrono::milliseconds(20)); !e.is_null();
             e = watcher->next(std::chrono::milliseconds(20))) {
            ++lines;
            busyGap = busyGap || (e["event"] == "gap" && e["state"] == "connected" &&
                                  e["error"].get<std::string>().find("set_activation") != std::string::npos);
        }
        if (!staleWhileConnected && reply.is_null()) {
            const bool connected = reader->ask({{"op", "state"}})["data"]["state"] == "connected";
            const json status = reader->ask({{"op", "status"}});
            staleWhileConnected = connected && status["stale"] == true && status["age"].get<double>() > staleAfter &&
                                  reader->ask({{"op", "state"}})["data"]["state"] == "connected";
            if (staleWhileConnected)
                scrapedAge = metricValue(httpGet(metricsPort, "/metrics"), "moorwinch_data_age_seconds");
        }
    }
    const auto end = Clock::now();
    ASSERT_FALSE(reply.is_null());
    EXPECT_EQ(reply["error"]["kind"], "timeout") << reply;
    EXPECT_GT(end - start, std::chrono::seconds(5)) << "the activation did not wait for its reply";
    // Counted rather than timed, so that a loaded machine's late wake-ups do
    // not count against the service: a loop held up by the call would give
    // none, a free one a ping a second and a line a poll slot (half of them
    // are asked for).
    const double waited = std::chrono::duration<double>(end - start).count();
    const auto pings = notify.pings();
    const auto during = std::count_if(pings.begin(), pings.end(), [&](auto t) { return t > start && t <= end; });
    const double pingEvery = 1.0, pollEvery = 0.2;  // half of WATCHDOG_USEC; the interval
    EXPECT_GE(during, static_cast<long>(waited / pingEvery / 2)) << "systemd would have killed the service";
    EXPECT_GE(lines, static_cast<int>(waited / pollEvery / 2)) << "watchers heard too little while the call ran";
    EXPECT_TRUE(busyGap);
    EXPECT_TRUE(staleWhileConnected) << "old data served as current";
    EXPECT_GT(scrapedAge, staleAfter);
    // Told once as an event, and its end at the next poll.
    const auto told = [&](const std::string& text) {
        return eventually([&] { return daemonLog().find(text) != std::string::npos; });
    };
    EXPECT_TRUE(told("warning: no successful poll for ")) << daemonLog();

    // A thread stuck past the bound of its call (here its log cannot be
    // written) gets no more pings.
    simulator->signal(SIGCONT);
    ASSERT_FALSE(watcher->event("status").is_null());
    EXPECT_TRUE(told("s: the data are fresh")) << daemonLog();
    const std::string written = daemonLog();
    EXPECT_EQ(written.find("the data are stale"), written.rfind("the data are stale")) << "stale told more than once";
    log.stop();
    EXPECT_TRUE(eventually(
        [&] {
            const auto pings = notify.pings();
            return Clock::now() - pings.back() > std::chrono::seconds(3);
        },
        std::chrono::seconds(30)));
}

// In the service's child before exec: getsockopt(SO_PEERGROUPS) fails as on a
// kernel without it. (The filter reads the option's low word: little-endian.)
void withoutPeerGroups() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getsockopt, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SO_PEERGROUPS, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOPROTOOPT),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(125);
}

TEST_F(Daemon, WithoutKernelPeerGroupsTheGroupDatabaseDecides) {
    if (getuid() != 0 || !getpwnam("nobody")) GTEST_SKIP() << "a second user needs root to become nobody";
    Spawn how;
    how.prepare = withoutPeerGroups;
    startDaemon({"--control-group", "root"}, how);
    ASSERT_EQ(chown(socketPath().c_str(), static_cast<uid_t>(-1), getpwnam("nobody")->pw_gid), 0);
    const std::vector<json> replies = askAsNobody(socketPath(), 0);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0]["ok"], true) << replies[0];
    EXPECT_EQ(replies[1]["error"]["kind"], "forbidden") << "nobody passed for a member of root: " << replies[1];
    EXPECT_EQ(stationRequests("SET_RET_TORQUE"), 0);
}

// The process whose command line holds the text (a detached service is no
// child of the test); 0 when there is none.
pid_t processWith(const std::string& text) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string line = slurp(entry.path() / "cmdline");
        std::replace(line.begin(), line.end(), '\0', ' ');
        if (line.find(text) != std::string::npos) return std::stoi(name);
    }
    return 0;
}

TEST_F(Daemon, SighupIsIgnoredAndADetachedServiceRemovesItsRelativeSocket) {
    startDaemon();
    daemon->signal(SIGHUP);
    ASSERT_TRUE(eventually([&] { return daemonLog().find("SIGHUP ignored") != std::string::npos; })) << daemonLog();
    EXPECT_EQ(client()->ask({{"op", "status"}})["ok"], true);
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 0);

    // Detached, with the socket named relative to the directory it started in.
    Spawn how;
    how.log = dir + "/detached.log";
    how.directory = dir;
    const std::string commandLine = link() + " --socket rel.sock";
    struct KillAtEnd {
        std::string commandLine;
        ~KillAtEnd() {
            if (const pid_t left = processWith(commandLine)) kill(left, SIGKILL);
        }
    } guard{commandLine};
    Process starter({MOORWINCHD_PATH, "--port", link(), "--socket", "rel.sock"}, how);
    ASSERT_EQ(starter.wait(), 0) << slurp(how.log);
    const std::string socket = dir + "/rel.sock";
    const pid_t service = processWith(commandLine);
    ASSERT_GT(service, 0);
    Connection c(dialUnix(socket));
    EXPECT_EQ(c.ask({{"op", "state"}})["ok"], true);
    kill(service, SIGTERM);
    EXPECT_TRUE(eventually([&] { return slurp(how.log).find("stopping on SIGTERM") != std::string::npos; }));
    EXPECT_TRUE(eventually([&] { return access(socket.c_str(), F_OK) != 0; })) << "the socket was left behind";
}

TEST_F(Daemon, AListenAddressNotUpYetKeepsNoLocalClientOut) {
    listenAt = "192.0.2.1:0";  // a documentation address, on no interface here
    startDaemon();
    EXPECT_NE(daemonLog().find("is not there yet"), std::string::npos) << daemonLog();
    EXPECT_EQ(client()->ask({{"op", "status"}})["ok"], true);
}


// --- The history, the events and their commands ---------------------------

namespace H = KORVANE::MoorwinchHistory;

H::Time micros(const json& unixSeconds) { return std::llround(unixSeconds.get<double>() * 1e6); }

std::vector<H::Row> recordedPolls(const std::string& file) {
    return H::Reader(file).rows(H::minTime, H::maxTime, H::FieldSet({"cableLength"}));
}

// An executable shell script in the test's folder.
std::string script(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0755);
    return path;
}

int localPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

TEST_F(Daemon, TheHistoryHoldsEveryPollTheEventsAndWhoChangedWhat) {
    scenario = {"--scenario", "flight", "--flight-seconds", "4"};
    simulator.reset();
    startSimulator();
    const std::string file = dir + "/history.db";
    startDaemon({"--history", file});
    auto watcher = client();
    ASSERT_EQ(watcher->ask({{"op", "watch"}})["ok"], true);
    std::set<H::Time> seen;  // the polls the watcher saw
    const auto follow = [&](const std::string& until) {
        for (json e = watcher->next(); !e.is_null(); e = watcher->next()) {
            if (e["event"] == "status") seen.insert(micros(e["time"]));
            if (e["event"] == until || (e["event"] == "state" && e["state"] == until)) return e;
        }
        return json();
    };
    // Until the drone has climbed a little.
    for (int i = 0; follow("status")["data"].value("cableLength", 0.0) < 1; ++i) ASSERT_LT(i, 200);

    // A change over the Unix socket and one over TCP, each with its author.
    auto local = client();
    ASSERT_EQ(local->ask({{"op", "set"}, {"torque", 55}})["ok"], true);
    Connection tcp(dialTcp(tcpPort));
    ASSERT_EQ(tcp.ask({{"op", "auth"}, {"token", token}})["ok"], true);
    ASSERT_EQ(tcp.ask({{"op", "set"}, {"startLength", 2.5}})["ok"], true);
    const std::string tcpAuthor = "127.0.0.1:" + std::to_string(localPort(tcp.fd));
    const passwd* me = getpwuid(getuid());
    const std::string unixAuthor = "uid " + std::to_string(getuid()) + (me ? std::string(" (") + me->pw_name + ")" : "") +
                                   " pid " + std::to_string(getpid()) + " on the Unix socket";
    // The audit, at notice.
    EXPECT_NE(daemonLog().find("notice: " + unixAuthor + " changed the configuration: cableRetractionTorque 40 -> 55; ok"),
              std::string::npos)
        << daemonLog();
    EXPECT_NE(daemonLog().find("notice: " + tcpAuthor +
                               " over TCP changed the configuration: cableRetractionStartLength 1.5 -> 2.5; ok"),
              std::string::npos)
        << daemonLog();

    // Unplugged and back.
    simulator->signal(SIGTERM);
    ASSERT_EQ(simulator->wait(), 0);
    ASSERT_TRUE(follow("disconnected").is_object());
    startSimulator();
    ASSERT_TRUE(follow("connected").is_object());
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(follow("status").is_object());
    daemon->signal(SIGTERM);  // the writer writes what it holds before the service ends
    ASSERT_EQ(daemon->wait(), 0);

    // Every poll between the first and the last the watcher saw, and no other.
    std::set<H::Time> recorded;
    std::set<double> lengths;
    for (const H::Row& row : recordedPolls(file)) {
        if (row.time >= *seen.begin() && row.time <= *seen.rbegin()) recorded.insert(row.time);
        lengths.insert(row.values.at(0).value_or(-1));
    }
    EXPECT_EQ(recorded, seen);
    EXPECT_GT(lengths.size(), 2u) << "the flight's cable length did not move";

    std::vector<std::string> kinds;
    std::vector<json> changes;
    H::Time changed = 0;
    json verdict;
    for (const H::Event& e : H::Reader(file).events(H::minTime, H::maxTime)) {
        if (e.kind == "verdict") {
            const json now = {e.data["verdict"], e.data["conditions"]};
            EXPECT_NE(now, verdict) << "the same verdict told twice in a row";
            verdict = now;
            continue;
        }
        kinds.push_back(e.kind);
        if (e.kind == "config") changes.push_back(e.data), changed = e.time;
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"connected", "config", "config", "disconnected", "connected"}));
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0]["author"], json({{"transport", "unix"},
                                          {"uid", getuid()},
                                          {"pid", getpid()},
                                          {"user", me ? json(me->pw_name) : json(nullptr)}}));
    EXPECT_EQ(changes[0]["old"], json({{"cableRetractionTorque", 40}}));
    EXPECT_EQ(changes[0]["new"], json({{"cableRetractionTorque", 55}}));
    EXPECT_EQ(changes[0]["result"], "ok");
    EXPECT_EQ(changes[1]["author"], json({{"transport", "tcp"}, {"address", tcpAuthor}}));
    EXPECT_EQ(changes[1]["new"], json({{"cableRetractionStartLength", 2.5}}));
    // The configuration as read after the changes (the returned station starts afresh).
    const auto config = H::Reader(file).config(changed);
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->config.cableRetractionTorque, 55u);
    EXPECT_EQ(config->config.cableRetractionStartLength, 2.5f);
    EXPECT_EQ(H::Reader(file).config(H::maxTime)->config.cableRetractionTorque, 40u);
    EXPECT_TRUE(H::Reader(file).details(H::maxTime).has_value());
}

TEST_F(Daemon, HistoryAndEventsOpsAnswerRangesAndBucketsAndRefuseBadQuestions) {
    // More polls in one stretch than one answer may hold, and an event, two
    // hours ago (before the default range).
    const std::string file = dir + "/history.db";
    const H::Time start = H::now() - 7200 * H::microsecondsPerSecond;
    {
        H::WriterOptions options;
        options.queueLimit = H::answerLimit + 10;
        H::Writer writer(file, options);
        KORVANE::Moorwinch::systemStatus status;
        status.cab = 1;  // the cable's values are reported
        for (std::size_t i = 0; i <= H::answerLimit; ++i) {
            status.cableLength = static_cast<float>(i % 10);
            writer.appendPoll(start + static_cast<H::Time>(i) * 1000, KORVANE::MoorwinchDefinitions::statusOk, status);
        }
        writer.appendEvent(start, "disconnected", "disconnected from the test", {{"error", "gone"}});
    }
    startDaemon({"--history", file});
    auto c = client();
    const double from = H::toSeconds(start);
    json r = c->ask({{"op", "history"}, {"id", 1}, {"since", from}, {"until", from + 0.009}, {"fields", {"cableLength"}}});
    ASSERT_EQ(r["ok"], true) << r;
    EXPECT_EQ(r["id"], 1);
    ASSERT_EQ(r["data"]["rows"].size(), 10u);
    EXPECT_EQ(r["data"]["rows"][3], json({{"time", H::toSeconds(start + 3000)}, {"cableLength", 3.0}, {"verdict", "ok"}}));
    // Without since, the hour before until, however long ago that was.
    r = c->ask({{"op", "history"}, {"until", from + 0.009}, {"fields", {"cableLength"}}});
    ASSERT_EQ(r["ok"], true) << r;
    EXPECT_EQ(r["data"]["rows"].size(), 10u);
    r = c->ask({{"op", "history"}, {"since", H::formatTime(start)}, {"until", from + 0.0199}, {"fields", {"cableLength"}},
                {"step", 0.01}});
    ASSERT_EQ(r["ok"], true) << r;
    ASSERT_EQ(r["data"]["buckets"].size(), 2u);
    EXPECT_EQ(r["data"]["buckets"][1]["cableLength"], json({{"min", 0.0}, {"max", 9.0}, {"mean", 4.5}}));
    EXPECT_EQ(r["data"]["buckets"][1]["verdict"], "ok");
    r = c->ask({{"op", "history"}, {"since", from}, {"until", from + 200}, {"fields", {"cableLength"}}});
    EXPECT_EQ(r["error"]["type"], "BadRequest") << r;
    EXPECT_NE(r["error"]["message"].get<std::string>().find("100000"), std::string::npos) << r;
    r = c->ask({{"op", "history"}, {"since", from}, {"until", from + 200}, {"fields", {"cableLength"}}, {"step", 1}});
    EXPECT_EQ(r["data"]["buckets"].size(), 101u) << r.dump().substr(0, 300);
    // Without a range: the last hour, the service's own polls in it.
    EXPECT_TRUE(eventually([&] {
        r = c->ask({{"op", "history"}});
        return r["ok"] == true && !r["data"]["rows"].empty();
    })) << r;
    r = c->ask({{"op", "events"}, {"since", from - 1}, {"until", from + 1}});
    ASSERT_EQ(r["data"]["events"].size(), 1u) << r;
    EXPECT_EQ(r["data"]["events"][0]["kind"], "disconnected");
    EXPECT_EQ(r["data"]["events"][0]["data"]["error"], "gone");

    const std::vector<std::pair<json, std::string>> bad = {
        {{{"op", "history"}, {"since", "now"}, {"until", "1h"}}, "is after until"},
        {{{"op", "history"}, {"fields", {"cableLength", "wings"}}}, "'wings'"},
        {{{"op", "history"}, {"fields", "cableLength"}}, "\"fields\" must be a list"},
        {{{"op", "history"}, {"since", "yesterday"}}, "bad time 'yesterday'"},
        {{{"op", "history"}, {"since", std::string(100, '9')}}, "at most 64 bytes"},
        {{{"op", "history"}, {"until", true}}, "\"until\" must be"},
        {{{"op", "history"}, {"step", 0}}, "\"step\" must be"},
        {{{"op", "history"}, {"step", "5"}}, "\"step\" must be"},
        {{{"op", "events"}, {"step", 5}}, "unknown member \"step\""},
    };
    for (const auto& [request, expected] : bad) {
        r = c->ask(request);
        EXPECT_EQ(r["error"]["type"], "BadRequest") << request << " -> " << r;
        EXPECT_NE(r["error"].value("message", "").find(expected), std::string::npos) << request << " -> " << r;
    }

    daemon.reset();
    startDaemon();
    r = client()->ask({{"op", "events"}});
    EXPECT_EQ(r["error"]["type"], "Unavailable") << r;
    EXPECT_NE(r["error"]["message"].get<std::string>().find("--history"), std::string::npos) << r;
}

TEST_F(Daemon, AHistoryThatCannotBeWrittenCostsRowsButNeverThePolls) {
    // A directory where the file should be: nothing can be written until it goes.
    const std::string file = dir + "/history.db";
    ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
    startDaemon({"--history", file});
    auto watcher = client();
    ASSERT_EQ(watcher->ask({{"op", "watch"}})["ok"], true);
    int last = watcher->event("status")["poll"];
    const auto errors = [&] { return metricValue(httpGet(metricsPort, "/metrics"), "moorwinch_history_write_errors_total"); };
    ASSERT_TRUE(eventually([&] { return errors() >= 10; }));
    for (int i = 0; i < 5; ++i) {
        const json e = watcher->event("status");
        ASSERT_EQ(e["poll"], ++last) << "a poll was missed";
    }
    EXPECT_EQ(client()->ask({{"op", "history"}})["error"]["type"], "Unavailable");
    const std::string log = daemonLog();
    const std::size_t told = log.find("history: cannot write " + file);
    EXPECT_NE(told, std::string::npos) << log;
    EXPECT_EQ(log.find("history: cannot write", told + 1), std::string::npos) << "told more than once";

    // Once it can, it writes again.
    ASSERT_EQ(rmdir(file.c_str()), 0);
    ASSERT_TRUE(eventually([&] { return daemonLog().find("history: writing " + file + " again") != std::string::npos; }));
    EXPECT_TRUE(eventually([&] {
        const json r = client()->ask({{"op", "history"}, {"since", "5s"}});
        return r["ok"] == true && !r["data"]["rows"].empty();
    }));
}

TEST_F(Daemon, KilledWhileWritingTheHistoryLosesAtMostTheLastSecond) {
    interval = "0.05";
    const std::string file = dir + "/history.db";
    startDaemon({"--history", file});
    auto watcher = client();
    ASSERT_EQ(watcher->ask({{"op", "watch"}})["ok"], true);
    std::vector<H::Time> seen;
    while (seen.size() < 60) {
        const json e = watcher->event("status");
        ASSERT_FALSE(e.is_null());
        seen.push_back(micros(e["time"]));
    }
    daemon->signal(SIGKILL);
    ASSERT_EQ(daemon->wait(), 128 + SIGKILL);

    {
        SQLite::Database db(file, SQLite::OPEN_READWRITE);
        EXPECT_EQ(db.execAndGet("PRAGMA integrity_check").getString(), "ok");
    }
    std::set<H::Time> recorded;
    for (const H::Row& row : recordedPolls(file)) recorded.insert(row.time);
    for (const H::Time t : seen) {
        if (t >= seen.back() - H::microsecondsPerSecond) break;
        EXPECT_EQ(recorded.count(t), 1u) << "lost a poll " << (seen.back() - t) / 1000 << " ms before the kill";
    }
}

TEST_F(Daemon, EventCommandsHearOfEachChangeOnceAndOfTroubleOnlyWhenItLasts) {
    const std::string told = dir + "/told";
    const std::string recorder = script(dir + "/record", "{ echo \"$MOORWINCH_EVENT $1\"; cat; } >> " + told + "\n");
    const auto lines = [&] {
        std::vector<std::string> all;
        std::istringstream in(slurp(told));
        for (std::string line; std::getline(in, line);) all.push_back(line);
        return all;
    };
    // The delay outlasts the reconnect attempts of a short absence (0, 0.5, 1.5 and 3.5 s after it).
    startDaemon({"--on-event", recorder + " tag", "--event-delay", "5"});
    ASSERT_TRUE(eventually([&] { return lines().size() == 2; }));
    EXPECT_EQ(lines()[0], "connected tag");
    const json connected = json::parse(lines()[1]);
    EXPECT_EQ(connected["event"], "connected");
    EXPECT_EQ(connected["port"], link());
    EXPECT_EQ(connected["serialNumber"], "KV-SGS-2303-0417");

    // Away for less than the delay: nobody hears of it.
    auto watcher = client();
    ASSERT_EQ(watcher->ask({{"op", "watch"}})["ok"], true);
    simulator->signal(SIGTERM);
    ASSERT_EQ(simulator->wait(), 0);
    const json down = watcher->event("state");
    ASSERT_EQ(down["state"], "disconnected");
    startSimulator();
    const json up = watcher->event("state");
    ASSERT_EQ(up["state"], "connected");
    ASSERT_LT(up["time"].get<double>() - down["time"].get<double>(), 5.0) << "the flap lasted the delay";

    // Away for longer: told once it has lasted the delay, and its end once.
    simulator->signal(SIGTERM);
    ASSERT_EQ(simulator->wait(), 0);
    ASSERT_EQ(watcher->event("state")["state"], "disconnected");
    const auto away = Clock::now();
    ASSERT_TRUE(eventually([&] { return lines().size() >= 4; }));
    EXPECT_GE(Clock::now() - away, std::chrono::milliseconds(4900)) << "told before the delay";
    EXPECT_EQ(lines()[2], "disconnected tag");
    EXPECT_FALSE(json::parse(lines()[3])["error"].get<std::string>().empty());
    startSimulator();
    ASSERT_TRUE(eventually([&] { return lines().size() >= 6; }));
    EXPECT_EQ(lines()[4], "connected tag");
    ASSERT_TRUE(watcher->event("status").is_object());
    EXPECT_EQ(lines().size(), 6u) << slurp(told);
}

TEST_F(Daemon, AHangingOrFailingEventCommandNeitherHoldsUpPollsNorGoesUnlogged) {
    const std::string hang = script(dir + "/hang", "echo waiting\nsleep 60 &\necho $! > " + dir + "/sleeper\nwait\n");
    const std::string fail = script(dir + "/fail", "echo 'no route to the pager' >&2\nexit 3\n");
    startDaemon({"--on-event", hang, "--on-event", fail, "--event-timeout", "1"});
    auto watcher = client();
    ASSERT_EQ(watcher->ask({{"op", "watch"}})["ok"], true);
    int last = watcher->event("status")["poll"];
    const auto killed = [&] { return daemonLog().find(hang + " for connected did not end within 1 s; killed"); };
    for (int after = 0; after < 10; after += killed() != std::string::npos) {
        const json e = watcher->event("status");
        ASSERT_EQ(e["poll"], ++last) << "a poll was missed";
        ASSERT_LT(last, 500) << "the hanging command was never killed";
    }
    EXPECT_EQ(watcher->ask({{"op", "state"}})["data"]["pollsMissed"], 0);
    const std::string log = daemonLog();
    EXPECT_NE(log.find("(connected): waiting"), std::string::npos) << log;
    EXPECT_NE(log.find("warning: event command " + fail + " for connected failed: it exited with status 3"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("(connected): no route to the pager"), std::string::npos) << log;
    // What the hanging command started went with it.
    const std::string sleeper = "/proc/" + slurp(dir + "/sleeper").substr(0, slurp(dir + "/sleeper").find('\n'));
    EXPECT_TRUE(eventually([&] {
        const std::string stat = slurp(sleeper + "/stat");
        return stat.empty() || stat.find(") Z") != std::string::npos;
    }));
    const std::string metrics = httpGet(metricsPort, "/metrics");
    EXPECT_NE(metrics.find("moorwinch_event_commands_total{result=\"timeout\"} 1"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("moorwinch_event_commands_total{result=\"failed\"} 1"), std::string::npos) << metrics;
}

TEST_F(Daemon, AStopEndsAHangingEventCommandInsteadOfWaitingOutItsTimeout) {
    // SIGTERM ignored by the command and what it starts: only SIGKILL ends them.
    const std::string hang = script(dir + "/hang", "trap '' TERM\necho waiting\nsleep 600 &\nwait\n");
    startDaemon({"--on-event", hang, "--event-timeout", "3600"});
    ASSERT_TRUE(eventually([&] { return daemonLog().find("(connected): waiting") != std::string::npos; }))
        << daemonLog();
    daemon->signal(SIGTERM);
    // Well within systemd's 30 s stop timeout, which would kill the service.
    EXPECT_EQ(daemon->wait(std::chrono::seconds(20)), 0);
    EXPECT_NE(daemonLog().find(hang + " for connected did not end within 2 s of SIGTERM at the stop; killed"),
              std::string::npos)
        << daemonLog();
}

// The receiving end of a webhook: the first request it gets, answered 204.
class HookReceiver {
public:
    HookReceiver() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0)
            throw std::runtime_error("listen");
        port = localPort(fd);
        server = std::thread([this] {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(patience.count())) <= 0) return;
            Connection peer(accept(fd, nullptr, nullptr));
            std::string text;
            for (std::size_t body; (body = text.find("\r\n\r\n")) == std::string::npos ||
                                   text.size() < body + 4 + contentLength(text);) {
                char chunk[4096];
                pollfd q{peer.fd, POLLIN, 0};
                if (poll(&q, 1, static_cast<int>(patience.count())) <= 0) break;
                const ssize_t n = recv(peer.fd, chunk, sizeof chunk, 0);
                if (n <= 0) break;
                text.append(chunk, static_cast<std::size_t>(n));
            }
            peer.send("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            std::lock_guard<std::mutex> lock(mutex);
            request = text;
        });
    }
    ~HookReceiver() {
        server.join();
        close(fd);
    }
    std::string received() {
        std::lock_guard<std::mutex> lock(mutex);
        return request;
    }
    int port = 0;

private:
    static std::size_t contentLength(const std::string& text) {
        const std::size_t at = text.find("Content-Length: ");
        return at == std::string::npos ? 0 : std::stoul(text.substr(at + 16));
    }
    int fd = -1;
    std::thread server;
    std::mutex mutex;
    std::string request;
};

TEST_F(Daemon, TheExampleEventCommandsReachTheSystemLogAndAUrl) {
    if (access("/usr/bin/curl", X_OK) != 0) GTEST_SKIP() << "curl is not installed (scripts/setup installs it)";
    const std::string examples = std::string(MOORWINCH_SOURCE_DIR) + "/daemon/examples/";
    HookReceiver hook;
    // The system log's socket, stood in for by one of the test.
    const std::string devLog = dir + "/log";
    const int syslog = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, devLog.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(syslog, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    Connection logged(syslog);

    startDaemon({"--on-event", examples + "moorwinch-event-post http://127.0.0.1:" + std::to_string(hook.port) + "/hook",
                 "--on-event", examples + "moorwinch-event-syslog --socket " + devLog});
    ASSERT_TRUE(eventually([&] { return !hook.received().empty(); })) << daemonLog();
    const std::string request = hook.received();
    EXPECT_EQ(request.rfind("POST /hook HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("Content-Type: application/json"), std::string::npos) << request;
    const json body = json::parse(request.substr(request.find("\r\n\r\n") + 4));
    EXPECT_EQ(body["event"], "connected");
    EXPECT_EQ(body["port"], link());

    const auto datagram = [&] {
        pollfd p{syslog, POLLIN, 0};
        char text[2048];
        const ssize_t n = poll(&p, 1, static_cast<int>(patience.count())) > 0 ? recv(syslog, text, sizeof text, 0) : 0;
        return std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    };
    std::string line = datagram();
    EXPECT_EQ(line.rfind("<29>", 0), 0u) << "not daemon.notice: " << line;
    EXPECT_NE(line.find("moorwinch-event"), std::string::npos) << line;
    EXPECT_NE(line.find(link() + " KV-SGS-2303-0417: connected to " + link()), std::string::npos) << line;
    simulator->signal(SIGTERM);
    line = datagram();
    EXPECT_EQ(line.rfind("<28>", 0), 0u) << "not daemon.warning: " << line;
    EXPECT_NE(line.find("disconnected from " + link()), std::string::npos) << line;
    EXPECT_EQ(daemonLog().find(" failed: it "), std::string::npos) << daemonLog();
}

}  // namespace

#ifdef MOORWINCH_TOOL_PATH
// moorwinch --daemon: the same output and exit codes as on the port itself.
TEST_F(Daemon, ToolThroughTheServicePrintsWhatItPrintsOnThePort) {
    struct Run {
        int code;
        std::string out, err;
    };
    int runs = 0;
    const auto tool = [&](std::vector<std::string> args) {
        args.insert(args.begin(), MOORWINCH_TOOL_PATH);
        const std::string base = dir + "/tool" + std::to_string(++runs);
        Process p(args, base + ".out", base + ".err");
        const int code = p.wait();
        return Run{code, slurp(base + ".out"), slurp(base + ".err")};
    };
    const std::vector<std::vector<std::string>> same = {
        {"details"}, {"config", "--json"}, {"check"}, {"set", "torque", "101"}, {"reporting"}};
    std::vector<Run> direct;
    for (auto args : same) {
        args.insert(args.begin(), {"--port", link()});
        direct.push_back(tool(args));
    }
    startDaemon();
    for (std::size_t i = 0; i < same.size(); ++i) {
        auto args = same[i];
        args.insert(args.begin(), {"--daemon", socketPath()});
        const Run served = tool(args);
        EXPECT_EQ(served.code, direct[i].code) << same[i][0];
        EXPECT_EQ(served.out, direct[i].out) << same[i][0];
        EXPECT_EQ(served.err, direct[i].err) << same[i][0];
    }
    EXPECT_EQ(direct[3].code, 4);

    Run r = tool({"--daemon", socketPath(), "set", "torque", "60"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("torque: 60 %"), std::string::npos) << r.out;
    r = tool({"--daemon", std::to_string(tcpPort), "set", "torque", "20"});
    EXPECT_EQ(r.code, 4);  // a refused change, like a refused value
    EXPECT_NE(r.err.find("(give --token-file)"), std::string::npos) << r.err;
    r = tool({"--daemon", "127.0.0.1:" + std::to_string(tcpPort), "--token-file", dir + "/token", "set", "torque", "20"});
    EXPECT_EQ(r.code, 0) << r.err;
    r = tool({"--daemon", socketPath(), "watch", "--count", "3", "--json"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;

    // A watch is a subscription: it rides out the station's absence on the service's events.
    Process watch({MOORWINCH_TOOL_PATH, "--daemon", socketPath(), "watch", "--interval", "0.1"}, dir + "/watch.out",
                  dir + "/watch.err");
    ASSERT_TRUE(eventually([&] { return !slurp(dir + "/watch.out").empty(); }));
    simulator->signal(SIGTERM);
    ASSERT_EQ(simulator->wait(), 0);
    ASSERT_TRUE(eventually([&] { return slurp(dir + "/watch.err").find("does not answer") != std::string::npos; }));
    r = tool({"--daemon", socketPath(), "status"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("disconnected"), std::string::npos) << r.err;
    r = tool({"--daemon", socketPath(), "check"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out.rfind("MOORWINCH UNKNOWN", 0), 0u) << r.out;
    startSimulator();
    ASSERT_TRUE(eventually([&] { return slurp(dir + "/watch.err").find("answers again") != std::string::npos; }));
    watch.signal(SIGINT);
    EXPECT_EQ(watch.wait(), 0) << slurp(dir + "/watch.err");
}
#endif
