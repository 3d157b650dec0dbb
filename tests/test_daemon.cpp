// moorwinchd as a subprocess against MoorwinchSim on its pty: the ops and their
// replies, many watchers on one poll, unplug and return, who may change the
// station, hostile input, slow readers, /metrics over HTTP, SIGTERM, and the
// starts it must refuse.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <Moorwinch.h>

#include <filesystem>
#include <memory>

#include "DaemonHarness.h"

using namespace moorwinch_test;

namespace {

const std::string token = "s3cret-token-0123456789";

class Daemon : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/moorwinchd-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        chmod(dir.c_str(), 0755);  // the second user must reach the socket
        std::ofstream(dir + "/token") << token << "\n";
        chmod((dir + "/token").c_str(), 0600);
        startSimulator();
    }

    void TearDown() override {
        daemon.reset();
        simulator.reset();
        if (!getenv("KEEP_TEST_DIR")) std::filesystem::remove_all(dir);
    }

    std::string link() const { return dir + "/tty"; }
    std::string socketPath() const { return dir + "/d.sock"; }
    std::string daemonLog() const { return slurp(dir + "/daemon.log"); }

    void startSimulator() {
        simulator = std::make_unique<Process>(std::vector<std::string>{MOORWINCH_SIM_PATH, "--link", link(), "--verbose"},
                                              dir + "/sim.log");
        ASSERT_TRUE(eventually([&] { return access(link().c_str(), F_OK) == 0; }));
    }

    // Starts the service and waits until it serves a connected station.
    void startDaemon(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {MOORWINCHD_PATH, "--port", link(), "--socket", socketPath(), "--foreground",
                                         "--interval", "0.1", "--timeout", "1000", "--verbose",
                                         "--listen", "0", "--metrics", "0", "--token-file", dir + "/token"};
        args.insert(args.end(), extra.begin(), extra.end());
        daemon = std::make_unique<Process>(args, dir + "/daemon.log");
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

    std::string dir;
    std::unique_ptr<Process> simulator, daemon;
    int tcpPort = -1, metricsPort = -1;
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

    // A value only the library refuses comes back as its ValueException.
    r = c->ask({{"op", "set"}, {"startLength", 1e9}});
    EXPECT_EQ(r["error"]["type"], "ValueException") << r;
    EXPECT_NE(r["error"]["message"].get<std::string>().find("setCableRetractionStartLength"), std::string::npos);

    r = c->ask({{"op", "watch"}});
    EXPECT_EQ(r["data"]["watching"], true);
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

    json r = reader->ask({{"op", "status"}});
    ASSERT_EQ(r["ok"], true) << r;
    EXPECT_EQ(r["stale"], true);
    EXPECT_TRUE(eventually([&] { return reader->ask({{"op", "status"}})["age"].get<double>() > 0.3; }));
    r = reader->ask({{"op", "set"}, {"torque", 10}});
    EXPECT_EQ(r["error"]["type"], "Unavailable");
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

    // TCP: reads are open, changes only after the token.
    Connection tcp(dialTcp(tcpPort));
    ASSERT_TRUE(tcp.open());
    EXPECT_EQ(tcp.ask({{"op", "status"}})["ok"], true);
    EXPECT_EQ(tcp.ask({{"op", "set"}, {"torque", 12}})["error"]["type"], "Forbidden");
    EXPECT_EQ(tcp.ask({{"op", "auth"}, {"token", "guess"}})["error"]["type"], "Forbidden");
    EXPECT_EQ(tcp.ask({{"op", "set"}, {"torque", 12}})["error"]["type"], "Forbidden");
    EXPECT_EQ(stationRequests("SET_RET_TORQUE"), 0);
    EXPECT_EQ(tcp.ask({{"op", "auth"}, {"token", token}})["ok"], true);
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
        R"({"op":"reporting","set":{"cab":2}})",
        R"({"op":"reporting","set":{"wings":1}})",
        R"({"op":"auth"})",
        R"({"op":"status","id":[[[[[[[[[[1]]]]]]]]]]})",
        "{\"op\":\"st\xff\"}",
    };
    for (const std::string& line : bad) {
        c->send(line + "\n");
        const json r = c->next();
        EXPECT_EQ(r["error"]["type"], "BadRequest") << line << " -> " << r;
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
          "moorwinch_station_info{hw_version=\"2.1.0\""})
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
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("Forbidden"), std::string::npos) << r.err;
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
