// The moorwinch tool as a subprocess against the simulator program on its pty:
// usage and exit codes, every command in both output forms, check per scenario,
// setters read back, a refused value that reaches nothing, watch through an
// unplug, a recording the simulator replays, and a history file's flight log.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "ChildProcess.h"
#include "MoorwinchJson.h"

using namespace moorwinch_test;
using json = nlohmann::json;

namespace {

struct Result {
    int code;
    std::string out, err;
};

// One run of the tool to its end; $MOORWINCH_PORT only when given.
Result moorwinch(const std::vector<std::string>& args, const std::string& envPort = "") {
    ChildOptions options;
    options.captureStderr = true;
    options.environment = {{"MOORWINCH_PORT", envPort}};
    Child run(MOORWINCH_TOOL_PATH, args, options);
    EXPECT_TRUE(run.finish()) << args.at(0);
    return {run.exitCode, run.output, run.errors};
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<json> jsonLines(const std::string& text) {
    std::vector<json> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(json::parse(text.substr(start, end - start)));
    return lines;
}

// The simulator program and the device path it serves.
struct Station {
    static ChildOptions logged(bool log) {
        ChildOptions options;
        options.captureStderr = log;
        return options;
    }
    explicit Station(std::vector<std::string> args, bool log = false)
        : child(MOORWINCH_SIM_PATH, std::move(args), logged(log)), port(child.firstLine()) {
        EXPECT_FALSE(port.empty()) << "the simulator named no device";
    }
    Child child;
    std::string port;
};

TEST(Tool, UsageVersionAndExitCodes) {
    const Result help = moorwinch({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* command : {"ports", "status", "details", "config", "reporting", "report", "check", "set", "watch",
                                "record", "history", "events"})
        EXPECT_NE(help.out.find(command), std::string::npos) << command;

    KORVANE::Moorwinch library;
    const Result version = moorwinch({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "moorwinch " MOORWINCH_VERSION "\nlibrary build " + library.getLibBuild() +
                               "\nprotocol version " + library.getLibProtocolVersion() + "\n");

    // Usage errors: exit 4, a message on standard error that says what was
    // wrong, nothing on standard output.
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"status"}, "no port: give --port PORT"},
        {{"--port", "/dev/null", "--bogus", "status"}, "--bogus"},
        {{"--port", "/dev/null", "--timeout", "0", "status"}, "outside 1 to 60000"},
        {{"--port", "/dev/null", "set", "torque", "4o"}, "not a whole number"},
        {{"--port", "/dev/null", "set", "torque", "-5"}, "'-5' is out of range (0 to 100 %)"},
        {{"--port", "/dev/null", "set", "start-length", "nan"}, "not a finite decimal number"},
        {{"--port", "/dev/null", "set", "activation", "maybe"}, "maybe"},
        {{"--port", "/dev/null", "set", "speed", "3"},
         "unknown command 'set speed'; the commands of set are torque, start-length, activation"},
        {{"--port", "/dev/null", "reporting", "set", "cab=2"}, "Valid reporting flag values: 0 and 1 (cab)"},
        {{"--port", "/dev/null", "watch", "--interval", "0.01"}, "outside 0.1 to 86400"},
        {{"--port", "/dev/null", "watch", "--count", "0"}, "outside 1 to"},
        {{"--daemon", "::1:7420", "status"}, "write an IPv6 address in brackets"},
        {{"--port", "/dev/null", "stauts"},
         "unknown command 'stauts'; the commands are ports, status, details, config, report, check, reporting, set, "
         "watch"},
        {{"--port", "/dev/null"}, "a command is needed"},
    };
    for (const auto& item : bad) {
        const Result run = moorwinch(item.first);
        EXPECT_EQ(run.code, 4) << item.second;
        EXPECT_EQ(run.err.rfind("moorwinch: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(item.second), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << item.second;
    }

    // A command's own help names the options every command takes.
    const Result commandHelp = moorwinch({"watch", "--help"});
    EXPECT_EQ(commandHelp.code, 0);
    EXPECT_NE(commandHelp.out.find("Global options, before or after the command: --port PORT, --daemon"),
              std::string::npos)
        << commandHelp.out;

    // ports are this machine's whatever --daemon says; the service is not asked.
    const Result ports = moorwinch({"--daemon", "/nonexistent/moorwinchd.sock", "ports", "--json"});
    EXPECT_EQ(ports.code, 0) << ports.err;
    EXPECT_TRUE(json::parse(ports.out).is_array());
    EXPECT_NE(ports.err.find("this machine's serial ports"), std::string::npos) << ports.err;

    // check speaks the monitoring convention: UNKNOWN on standard output, exit 3.
    const Result check = moorwinch({"check"});
    EXPECT_EQ(check.code, 3);
    EXPECT_EQ(check.out.rfind("MOORWINCH UNKNOWN - ", 0), 0u) << check.out;
}

// Each failure names its subject (the port), keeps the library's text and adds
// what a user needs next: the wait, the station's own reason, who holds the port.
TEST(Tool, FailuresNameThePortAndTheNextStep) {
    const Result missing = moorwinch({"--port", "/dev/moorwinch-no-such-port", "status"});
    EXPECT_EQ(missing.code, 3);
    EXPECT_EQ(missing.err, "moorwinch: /dev/moorwinch-no-such-port: IO Exception: openConnection: No such file or "
                           "directory (no such device; 'moorwinch ports' lists the serial ports)\n");

    Station station({});
    const Result refused = moorwinch({"--port", station.port, "set", "start-length", "100000"});
    EXPECT_EQ(refused.code, 3);
    EXPECT_EQ(refused.err, "moorwinch: " + station.port +
                               ": Data Exception: checkReply: error during command execution: value refused\n");

    ChildOptions options;
    options.captureStderr = true;
    Child holder(MOORWINCH_TOOL_PATH, {"--port", station.port, "watch", "--interval", "5"}, options);
    ASSERT_FALSE(holder.firstLine().empty()) << holder.errors;
    const Result taken = moorwinch({"--port", station.port, "status"});
    EXPECT_EQ(taken.code, 3);
    EXPECT_NE(taken.err.find("is in use by another connection (is moorwinchd running on it? try --daemon)\n"),
              std::string::npos)
        << taken.err;
}

TEST(Tool, EveryQueryInBothFormsWithTheJsonMapping) {
    Station station({"--scenario", "healthy"});
    const std::string& port = station.port;

    // Options after the command, and the port from the environment.
    const Result status = moorwinch({"status", "--trace"}, port);
    ASSERT_EQ(status.code, 0) << status.err;
    EXPECT_NE(status.out.find("Temperatur 1 (System/PCB): 34 \xC2\xB0" "C\n"), std::string::npos) << status.out;
    EXPECT_EQ(status.out.find('\xF8'), std::string::npos);
    EXPECT_NE(status.err.find(" -> {\"COM\":{\"MSG_ID\":"), std::string::npos) << status.err;
    EXPECT_NE(status.err.find("\"GET_SYSTEM_STATUS\":1}}\n"), std::string::npos);
    EXPECT_NE(status.err.find(" <- {\"COM\":"), std::string::npos);

    const json s = json::parse(moorwinch({"status", "--json"}, port).out);
    KORVANE::Moorwinch::systemStatus back;
    KORVANE::MoorwinchJson::fromJson(s, back);
    EXPECT_EQ(KORVANE::MoorwinchJson::toJson(back), s);
    EXPECT_EQ(s.at("cab"), 1);
    EXPECT_EQ(s.at("temperature1"), 34.0);
    EXPECT_EQ(s.at("mainsVoltage"), 230.0);

    const Result details = moorwinch({"--port", port, "details"});
    EXPECT_EQ(details.code, 0);
    EXPECT_NE(details.out.find("KV-SGS-2303-0417"), std::string::npos) << details.out;
    EXPECT_EQ(json::parse(moorwinch({"--port", port, "--json", "details"}).out).at("protocolVersion"), "1.36");

    const Result config = moorwinch({"--port", port, "config"});
    EXPECT_NE(config.out.find("Cable retraction torque: 40 %\n"), std::string::npos) << config.out;
    EXPECT_EQ(json::parse(moorwinch({"--port", port, "config", "--json"}).out).at("cableRetractionTorque"), 40);

    const Result reporting = moorwinch({"--port", port, "reporting"});
    EXPECT_EQ(count(reporting.out, ": reported ("), 6u) << reporting.out;
    EXPECT_EQ(json::parse(moorwinch({"--port", port, "reporting", "--json"}).out),
              json::parse(R"({"cab":1,"env":1,"energyGS":1,"energyUAV":1,"sysState":1,"hwModuleStatus":1})"));

    const Result report = moorwinch({"--port", port, "report"});
    for (const char* header : {"- System Status\n", "- Product Details:\n", "- System Configuration:\n"})
        EXPECT_EQ(count(report.out, header), 1u) << header;
    const json all = json::parse(moorwinch({"--port", port, "report", "--json"}).out);
    EXPECT_EQ(all.at("details").at("model"), "SGS-100");
    EXPECT_EQ(all.at("config").at("systemActivation"), false);
    EXPECT_EQ(all.at("status").at("cab"), 1);

    const Result ports = moorwinch({"ports"});
    EXPECT_EQ(ports.code, 0);
    EXPECT_TRUE(json::parse(moorwinch({"ports", "--json"}).out).is_array());

    const Result once = moorwinch({"--port", port, "watch", "--count", "1"});
    EXPECT_EQ(once.code, 0);
    EXPECT_TRUE(std::regex_search(once.out, std::regex(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  cable 0 m 0 m/s  mains 230 V 0.45 A  UAV 0 V 0 A  ok\n$)")))
        << once.out;
    EXPECT_NE(once.err.find("moorwinch: 1 exchange, 1 answered, 0 failed"), std::string::npos) << once.err;
}

struct CheckCase {
    const char* scenario;
    int code;
    const char* line;  // the start of the line
};

void PrintTo(const CheckCase& c, std::ostream* out) { *out << c.scenario; }

class ToolCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ToolCheck, ExitCodeLineAndJsonFollowTheVerdict) {
    const CheckCase& c = GetParam();
    Station station(c.code == 3 ? std::vector<std::string>{"--silent"}
                                : std::vector<std::string>{"--scenario", c.scenario});
    const Result text = moorwinch({"--port", station.port, "--timeout", "100", "check"});
    EXPECT_EQ(text.code, c.code) << text.out << text.err;
    EXPECT_EQ(text.out.rfind(c.line, 0), 0u) << text.out;
    EXPECT_EQ(count(text.out, "\n"), 1u);
    if (c.code == 3) {
        EXPECT_EQ(text.out, "MOORWINCH UNKNOWN - " + station.port +
                                ": IO Exception: receiveData: Data Receiver Timeout! (no reply within 100 ms)\n");
    } else {
        EXPECT_NE(text.out.find(" | 'cableLength'=0m 'cableSpeed'=0m/s 'mainsVoltage'=230V 'mainsCurrent'=0.45A "
                                "'uavSupplyVoltage'=0V 'uavSupplyCurrent'=0A 'temperature1'=34C "),
                  std::string::npos)
            << text.out;
    }

    const Result asJson = moorwinch({"--port", station.port, "--timeout", "100", "check", "--json"});
    EXPECT_EQ(asJson.code, c.code);
    const json verdict = json::parse(asJson.out);
    EXPECT_EQ(verdict.at("conditions").empty(), c.code == 0 || c.code == 3);
    EXPECT_EQ(verdict.at("status").is_null(), c.code == 3);
    const char* names[] = {"ok", "warning", "error", "unknown"};
    EXPECT_EQ(verdict.at("verdict"), names[c.code]);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, ToolCheck,
    ::testing::Values(CheckCase{"healthy", 0, "MOORWINCH OK - no error or warning conditions | "},
                      CheckCase{"warning", 1, "MOORWINCH WARNING - environment sensor 1 humidity failure | "},
                      CheckCase{"error", 2, "MOORWINCH CRITICAL - reel control hardware error, generic system error | "},
                      CheckCase{"maintenance", 1, "MOORWINCH WARNING - maintenance required | "},
                      CheckCase{"silent", 3, "MOORWINCH UNKNOWN - "}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.scenario); });

TEST(Tool, SettersReadBackAndRefusedValuesReachNothing) {
    Station station({"--verbose"}, true);
    const std::string& port = station.port;

    const Result torque = moorwinch({"--port", port, "set", "torque", "73"});
    EXPECT_EQ(torque.code, 0) << torque.err;
    EXPECT_NE(torque.out.find("Cable retraction torque: 73 %\n"), std::string::npos) << torque.out;
    EXPECT_EQ(json::parse(moorwinch({"--port", port, "--json", "set", "start-length", "4.21"}).out)
                  .at("cableRetractionStartLength"),
              4.21);
    EXPECT_EQ(json::parse(moorwinch({"--port", port, "--json", "set", "activation", "on"}).out)
                  .at("systemActivation"),
              true);
    const json reporting = json::parse(moorwinch({"--port", port, "--json", "reporting", "set", "env=0"}).out);
    EXPECT_EQ(reporting.at("env"), 0);
    EXPECT_EQ(reporting.at("cab"), 1);  // kept

    const Result tooMuch = moorwinch({"--port", port, "set", "torque", "150"});
    EXPECT_EQ(tooMuch.code, 4);
    EXPECT_EQ(tooMuch.err,
              "moorwinch: Value Exception: setCableRetractionTorque: Value out of range. Maximal valid torque: 100 %\n");
    const Result tooShort = moorwinch({"--port", port, "set", "start-length", "0.2"});
    EXPECT_EQ(tooShort.code, 4);
    EXPECT_NE(tooShort.err.find("Value Exception: setCableRetractionStartLength"), std::string::npos);

    const json config = json::parse(moorwinch({"--port", port, "config", "--json"}).out);
    EXPECT_EQ(config, json::parse(R"({"systemActivation":true,"cableRetractionTorque":73,)"
                                  R"("cableRetractionStartLength":4.21,"cableRetractionStatus":16})"));

    // The station's log holds every request up to the last configuration query:
    // one connection per accepted run, none for the refused ones.
    ASSERT_TRUE(station.child.waitFor([&] { return count(station.child.errors, "\"GET_SYSTEM_CONFIG\":1") == 4; }));
    EXPECT_EQ(count(station.child.errors, "\"GET_PROTOCOL\":1"), 5u);
    EXPECT_EQ(count(station.child.errors, "\"SET_RET_TORQUE\":"), 1u);
    EXPECT_EQ(count(station.child.errors, "\"SET_RET_START\":"), 1u);
}

TEST(Tool, WatchCountsJsonLinesAndSummarisesTheLink) {
    Station station({"--scenario", "warning"});
    const Result run = moorwinch({"--port", station.port, "watch", "--count", "3", "--interval", "0.2", "--json"});
    EXPECT_EQ(run.code, 0) << run.err;
    const std::vector<json> samples = jsonLines(run.out);
    ASSERT_EQ(samples.size(), 3u) << run.out;
    for (const json& sample : samples) {
        EXPECT_TRUE(std::regex_match(sample.at("time").get<std::string>(),
                                     std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
        EXPECT_EQ(sample.at("verdict"), "warning");
        EXPECT_EQ(sample.at("conditions"), json::array({"environment sensor 1 humidity failure"}));
        EXPECT_EQ(sample.at("status").at("envSensor1Status"), 3);
    }
    EXPECT_NE(run.err.find("3 exchanges, 3 answered, 0 failed (timeout 0, port 0, data 0); latency median "),
              std::string::npos)
        << run.err;
}

// A lost reply is a line of its own, so --count counts lines; the summary
// sorts the failures by the library's kinds.
TEST(Tool, WatchPrintsOneLineEveryTickAndCountsFailuresByKind) {
    Station station({"--drop-every", "2"});  // the handshake is answered, then every other status
    const Result run = moorwinch({"--port", station.port, "--timeout", "300", "watch", "--count", "4", "--interval", "0.1"});
    EXPECT_EQ(run.code, 0) << run.err;
    const std::regex time(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  )");
    const std::regex noData(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  no data: )" + station.port +
                            R"(: IO Exception: receiveData: Data Receiver Timeout! \(no reply within 300 ms\)\n)");
    ASSERT_EQ(count(run.out, "\n"), 4u) << run.out;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) EXPECT_TRUE(std::regex_search(line, time)) << line;
    EXPECT_TRUE(std::regex_search(run.out, noData)) << run.out;
    EXPECT_NE(run.err.find("4 exchanges, 2 answered, 2 failed (timeout 2, port 0, data 0)"), std::string::npos)
        << run.err;
}

TEST(Tool, WatchRidesOutAnUnplugAndEndsOnSigint) {
    char dir[] = "/tmp/moorwinch-tool-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/station";
    auto station = std::make_unique<Station>(std::vector<std::string>{"--link", link});

    ChildOptions options;
    options.captureStderr = true;
    Child watch(MOORWINCH_TOOL_PATH, {"--port", link, "--timeout", "200", "watch", "--interval", "0.2", "--json"},
                options);
    ASSERT_TRUE(watch.waitFor([&] { return count(watch.output, "\n") >= 2; })) << watch.errors;

    // Killed, its device gone and its link with it, as when an adapter is pulled.
    station->child.sendSignal(SIGKILL);
    station.reset();
    ::unlink(link.c_str());
    ASSERT_TRUE(watch.waitFor([&] { return watch.errors.find("does not answer") != std::string::npos; }));
    const std::size_t before = count(watch.output, "\n");

    // Every tick of the outage is a line that says why there are no data.
    ASSERT_TRUE(watch.waitFor([&] { return count(watch.output, "\n") >= before + 2; })) << watch.errors;
    station = std::make_unique<Station>(std::vector<std::string>{"--link", link});
    ASSERT_TRUE(watch.waitFor([&] { return watch.errors.find("answers again after") != std::string::npos; }));
    const std::size_t back = count(watch.output, "\n");
    ASSERT_TRUE(watch.waitFor([&] { return count(watch.output, "\n") >= back + 2; })) << watch.errors;
    watch.sendSignal(SIGINT);
    ASSERT_TRUE(watch.finish());
    EXPECT_EQ(watch.exitCode, 0);
    EXPECT_EQ(count(watch.errors, "does not answer"), 1u) << watch.errors;
    EXPECT_EQ(count(watch.errors, "answers again after"), 1u) << watch.errors;
    EXPECT_NE(watch.errors.find(" exchanges, "), std::string::npos) << watch.errors;
    const std::vector<json> samples = jsonLines(watch.output);
    for (const json& sample : samples) {
        if (sample.at("verdict") == "ok") continue;
        EXPECT_EQ(sample.at("verdict"), "unknown");
        EXPECT_EQ(sample.at("error").get<std::string>().rfind(link + ": IO Exception: ", 0), 0u) << sample;
    }
    EXPECT_EQ(samples.back().at("verdict"), "ok");

    station.reset();
    ::rmdir(dir);
}

// A directory of files for one test, removed after it.
struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/moorwinch-tool-XXXXXX";
        EXPECT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    ~Scratch() { std::filesystem::remove_all(dir); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};

// What record writes is what the simulator replays: the first recorded status
// at the first request, the last one once the recording has run out.
TEST(Tool, RecordWritesALineEverySampleThatTheSimulatorReplays) {
    Scratch scratch;
    const std::string file = scratch.path("flight.jsonl");
    std::vector<json> recorded;
    {
        Station flight({"--scenario", "flight", "--flight-seconds", "10"});
        const Result record =
            moorwinch({"--port", flight.port, "record", "--output", file, "--count", "4", "--interval", "0.3"});
        ASSERT_EQ(record.code, 0) << record.err;
        EXPECT_EQ(record.out, "");
        EXPECT_NE(record.err.find("moorwinch: 4 samples recorded in " + file + "\n"), std::string::npos) << record.err;
        recorded = jsonLines(slurp(file));
        ASSERT_EQ(recorded.size(), 4u);
        EXPECT_NE(recorded.front().at("status"), recorded.back().at("status"));  // the flight moved

        // An existing file is kept unless --force; a station that cannot be
        // reached leaves no file behind, and one to be replaced as it was.
        const Result again = moorwinch({"--port", flight.port, "record", "--output", file, "--count", "1"});
        EXPECT_EQ(again.code, 4);
        EXPECT_EQ(again.err, "moorwinch: " + file + ": the file exists; give --force to replace it\n");
        EXPECT_EQ(jsonLines(slurp(file)).size(), 4u);
        const Result nowhere = moorwinch({"--port", "/dev/moorwinch-no-such-port", "record", "--output",
                                          scratch.path("none.jsonl")});
        EXPECT_EQ(nowhere.code, 3);
        EXPECT_FALSE(std::filesystem::exists(scratch.path("none.jsonl")));
        const Result unreached =
            moorwinch({"--port", "/dev/moorwinch-no-such-port", "record", "--output", file, "--force"});
        EXPECT_EQ(unreached.code, 3);
        EXPECT_EQ(jsonLines(slurp(file)).size(), 4u);
    }

    Station replay({"--replay", file, "--speed", "1000"});
    const auto status = [&] {
        const Result r = moorwinch({"--port", replay.port, "--json", "status"});
        EXPECT_EQ(r.code, 0) << r.err;
        return json::parse(r.out);
    };
    EXPECT_EQ(status(), recorded.front().at("status"));
    EXPECT_EQ(status(), recorded.back().at("status"));
}

class ToolHistory : public ::testing::Test {
protected:
    void SetUp() override {
        Child fixture(MOORWINCH_HISTORY_FIXTURE, {file}, "");
        ASSERT_TRUE(fixture.finish());
        ASSERT_EQ(fixture.exitCode, 0);
    }

    // The command, the file, the start of its polls and the arguments.
    Result history(const std::string& command, std::vector<std::string> args = {}) {
        args.insert(args.begin(), {command, "--history-file", file, "--since", "2024-05-01T12:00:00Z"});
        return moorwinch(args);
    }

    Scratch scratch;
    const std::string file = scratch.path("history.db");
};

// The flight log as CSV, JSON lines and a table, from a history file: the
// library's values, null as an empty field, "-" or null, messages quoted.
TEST_F(ToolHistory, AFileAsCsvJsonLinesAndATableOfPollsBucketsAndEvents) {
    const Result csv = history("history", {"--until", "2024-05-01T12:00:01Z", "--fields",
                                "cableLength,cableRetractionTorque,temperature2,mainsCurrent", "--csv"});
    ASSERT_EQ(csv.code, 0) << csv.err;
    EXPECT_EQ(csv.out, "time,verdict,cableLength,cableRetractionTorque,temperature2,mainsCurrent\n"
                       "2024-05-01T12:00:00.000Z,ok,0.0,40,,1.5\n"
                       "2024-05-01T12:00:00.500Z,ok,0.25,40,,1.75\n"
                       "2024-05-01T12:00:01.000Z,ok,0.5,40,,2.0\n");

    const Result buckets = history("history", {"--until", "2024-05-01T12:00:09.5Z", "--fields",
                                    "cableLength,temperature2", "--step", "5", "--csv"});
    ASSERT_EQ(buckets.code, 0) << buckets.err;
    EXPECT_EQ(buckets.out,
              "time,verdict,cableLength_min,cableLength_max,cableLength_mean,temperature2_min,temperature2_max,"
              "temperature2_mean\n"
              "2024-05-01T12:00:00.000Z,warning,0.0,2.25,1.125,,,\n"
              "2024-05-01T12:00:05.000Z,warning,2.5,4.75,3.625,,,\n");

    const std::vector<json> rows = jsonLines(history("history", {"--json", "--fields", "cableLength,temperature2"}).out);
    ASSERT_EQ(rows.size(), 20u);
    EXPECT_EQ(rows[9], json::parse(R"({"time":1714564804.5,"verdict":"warning","cableLength":2.25,"temperature2":null})"));

    const Result table = history("history", {"--until", "2024-05-01T12:00:00Z", "--fields",
                                  "cableLength,uavSupplyCurrent,temperature1"});
    EXPECT_TRUE(std::regex_search(
        table.out, std::regex("^time +verdict  cableLength \\(m\\)  uavSupplyCurrent \\(A\\)  temperature1 "
                              "\\(\xC2\xB0" "C\\)\n\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:00\\.000  ok +0 +- +30\n$")))
        << table.out;

    const Result events = history("events", {"--csv"});
    ASSERT_EQ(events.code, 0) << events.err;
    EXPECT_EQ(events.out,
              "time,kind,message,data\n"
              "2024-05-01T12:00:00.000Z,connected,connected to /dev/ttyUSB0,\"{\"\"port\"\":\"\"/dev/ttyUSB0\"\"}\"\n"
              "2024-05-01T12:00:01.000Z,config,\"cableRetractionTorque 40 -> 60 by \"\"ops\"\", uid 1000\","
              "\"{\"\"author\"\":{\"\"uid\"\":1000,\"\"user\"\":\"\"ops\"\"},\"\"new\"\":{\"\"cableRetractionTorque\"\":60},"
              "\"\"old\"\":{\"\"cableRetractionTorque\"\":40}}\"\n");
    EXPECT_EQ(jsonLines(history("events", {"--json"}).out).at(1).at("data").at("author").at("user"), "ops");
}

// Questions that cannot be answered as asked are usage errors in the
// library's words; a file that cannot be read is a failure.
TEST_F(ToolHistory, BadQuestionsAreUsageErrorsAndAnUnreadableFileAFailure) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> usage = {
        {{"history", "--until", "2024-05-01T11:00:00Z"}, "since (2024-05-01T12:00:00.000Z) is after until"},
        {{"history", "--fields", "cableLength,bogus"}, "unknown field 'bogus'"},
        {{"events", "--until", "yesterday"}, "bad time 'yesterday'"},
        {{"history", "--step", "0"}, "outside 0.001 to 316224000"},
        {{"history", "--csv", "--json"}, "--csv and --json exclude each other"},
        {{"history", "--daemon"}, "--history-file and --daemon exclude each other"},
    };
    for (const auto& item : usage) {
        const Result run = history(item.first.front(), {item.first.begin() + 1, item.first.end()});
        EXPECT_EQ(run.code, 4) << item.second;
        EXPECT_NE(run.err.find(item.second), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    const Result noSource = moorwinch({"history"});
    EXPECT_EQ(noSource.code, 4);
    EXPECT_NE(noSource.err.find("history reads --history-file PATH or asks moorwinchd"), std::string::npos);
    const Result missing = moorwinch({"events", "--history-file", scratch.path("missing.db")});
    EXPECT_EQ(missing.code, 3);
    EXPECT_EQ(missing.err, "moorwinch: " + scratch.path("missing.db") + ": no such file\n");

    Child big(MOORWINCH_HISTORY_FIXTURE, {scratch.path("big.db"), "100001"}, "");
    ASSERT_TRUE(big.finish());
    const Result tooMany = moorwinch({"history", "--history-file", scratch.path("big.db"), "--since", "1714564800",
                                      "--until", "2024-05-03T00:00:00Z", "--fields", "cab", "--csv"});
    EXPECT_EQ(tooMany.code, 4);
    EXPECT_EQ(tooMany.out, "");
    EXPECT_NE(tooMany.err.find("more than 100000 rows in the range"), std::string::npos) << tooMany.err;
}

}  // namespace
