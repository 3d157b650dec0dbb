// moorwinch --daemon as a subprocess against moorwinchd and the simulator, all
// real programs on real sockets: a watch that rides out a restart of the
// service and a dead TCP stream, old data that are no answer, the service's
// refusals as it words them, a service that does not answer, and the flight
// log it keeps, as its file has it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "ChildProcess.h"
#include "ServiceTest.h"

using namespace moorwinch_test;

namespace {

const std::string token = "t0ken-of-the-tool-tests";

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class ToolService : public ServiceTest {
protected:
    struct Run {
        int code;
        std::string out, err;
    };

    void SetUp() override {
        makeFolder(token);
        startSimulator();
    }

    // The service on its socket and a TCP port, waiting until it has polled.
    void startDaemon(std::vector<std::string> extra = {}, bool withToken = true) {
        const std::string log = dir + "/daemon" + std::to_string(++starts) + ".log";
        std::vector<std::string> args = {MOORWINCHD_PATH, "--port", link(), "--socket", socketPath(), "--foreground",
                                         "--interval", "0.1", "--timeout", "300", "--verbose", "--listen", "0"};
        if (withToken) args.insert(args.end(), {"--token-file", dir + "/token"});
        args.insert(args.end(), extra.begin(), extra.end());
        daemon = std::make_unique<Process>(args, log);
        ASSERT_TRUE(eventually([&] { return slurp(log).find("poll 1 ok") != std::string::npos; })) << slurp(log);
        const std::string text = slurp(log);
        const std::string before = "serving TCP on 127.0.0.1:";
        const std::size_t at = text.find(before);
        ASSERT_NE(at, std::string::npos) << text;
        tcpPort = std::stoi(text.substr(at + before.size()));
    }

    void stopDaemon() {
        daemon->signal(SIGTERM);
        ASSERT_EQ(daemon->wait(), 0);
        daemon.reset();
    }

    static ChildOptions captured() {
        ChildOptions options;
        options.captureStderr = true;
        return options;
    }

    Run tool(const std::vector<std::string>& args) {
        Child run(MOORWINCH_TOOL_PATH, args, captured());
        EXPECT_TRUE(run.finish()) << args.back();
        return {run.exitCode, run.output, run.errors};
    }

    int tcpPort = -1;
    int starts = 0;
};

// An upgrade or a restart of the service is an outage like an unplugged port:
// told once, ridden out, the watch goes on with the new service's polls.
TEST_F(ToolService, WatchRidesOutARestartOfTheService) {
    startDaemon();
    Child watch(MOORWINCH_TOOL_PATH, {"--daemon", socketPath(), "watch", "--interval", "0.1"}, captured());
    ASSERT_TRUE(watch.waitFor([&] { return count(watch.output, "  ok\n") >= 2; })) << watch.errors;

    stopDaemon();
    ASSERT_TRUE(watch.waitFor([&] { return watch.errors.find("moorwinchd went away") != std::string::npos; }))
        << watch.errors;
    // The ticks go on meanwhile, with the last data marked as what they are.
    ASSERT_TRUE(watch.waitFor([&] { return watch.output.find(" old)  cable ") != std::string::npos; }))
        << watch.output;

    startDaemon();
    ASSERT_TRUE(watch.waitFor([&] { return watch.errors.find("moorwinchd answers again") != std::string::npos; }))
        << watch.errors;
    const std::size_t back = watch.output.size();
    ASSERT_TRUE(watch.waitFor([&] { return count(watch.output.substr(back), "  ok\n") >= 2; })) << watch.output;
    watch.sendSignal(SIGINT);
    ASSERT_TRUE(watch.finish());
    EXPECT_EQ(watch.exitCode, 0) << watch.errors;
    EXPECT_EQ(count(watch.errors, "went away"), 1u) << watch.errors;
    EXPECT_NE(watch.errors.find("1 moorwinchd outage"), std::string::npos) << watch.errors;
}

// A TCP peer that stops answering sends no end of stream; three silent
// intervals make the stream dead, and the watch reaches the service again.
TEST_F(ToolService, WatchOverTcpTakesASilentStreamForDeadAndReconnects) {
    startDaemon();
    Child watch(MOORWINCH_TOOL_PATH,
                {"--daemon", std::to_string(tcpPort), "--token-file", dir + "/token", "--timeout", "100", "watch",
                 "--interval", "0.1", "--json"},
                captured());
    ASSERT_TRUE(watch.waitFor([&] { return count(watch.output, "\n") >= 2; })) << watch.errors;

    daemon->pause();
    ASSERT_TRUE(watch.waitFor([&] { return watch.errors.find("moorwinchd went away (nothing came for") != std::string::npos; }))
        << watch.errors;
    daemon->signal(SIGCONT);
    ASSERT_TRUE(watch.waitFor([&] { return watch.errors.find("moorwinchd answers again") != std::string::npos; }))
        << watch.errors;
    const std::size_t back = watch.output.size();
    ASSERT_TRUE(watch.waitFor([&] { return count(watch.output.substr(back), "\"verdict\":\"ok\"") >= 2; }));
    watch.sendSignal(SIGINT);
    ASSERT_TRUE(watch.finish());
}

// Old data are no answer: check is UNKNOWN and says how old; a watch marks
// each sample that is not from a new poll.
TEST_F(ToolService, OldDataAreUnknownForCheckAndMarkedStaleByWatch) {
    startDaemon();
    ASSERT_EQ(tool({"--daemon", socketPath(), "check"}).code, 0);

    simulator->pause();  // the port stays, the replies stop
    Run check;
    ASSERT_TRUE(eventually([&] {
        check = tool({"--daemon", socketPath(), "check"});
        return check.code == 3;
    })) << check.out;
    EXPECT_TRUE(check.out.rfind("MOORWINCH UNKNOWN - ", 0) == 0 && check.out.find(": station data ") != std::string::npos &&
                check.out.find(" s old") != std::string::npos)
        << check.out;

    const Run watch = tool({"--daemon", socketPath(), "watch", "--count", "2", "--interval", "0.1", "--json"});
    EXPECT_EQ(watch.code, 3) << watch.err;
    std::istringstream lines(watch.out);
    int stale = 0;
    for (std::string line; std::getline(lines, line);) {
        const json sample = json::parse(line);
        stale += sample.value("stale", false) && sample.at("age").get<double>() > 0 && sample.at("status").is_object();
    }
    EXPECT_EQ(stale, 2) << watch.out;
}

// The service's refusals reach the user as it words them; a refused change
// exits 4 like a refused value.
TEST_F(ToolService, RefusalsAreTheServicesOwnWords) {
    startDaemon({"--max-clients", "1"});
    Connection holder(dialUnix(socketPath()));
    ASSERT_EQ(holder.ask({{"op", "state"}})["ok"], true);
    Run r = tool({"--daemon", socketPath(), "status"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("too many clients"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("closed the connection"), std::string::npos) << r.err;

    r = tool({"--daemon", "127.0.0.1:" + std::to_string(tcpPort), "--token-file", dir + "/token", "events"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find(": no history: start moorwinchd with --history PATH\n"), std::string::npos) << r.err;

    r = tool({"--daemon", "127.0.0.1:" + std::to_string(tcpPort), "set", "torque", "20"});
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_EQ(r.err.rfind("moorwinch: moorwinchd at 127.0.0.1:" + std::to_string(tcpPort) + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("(give --token-file)"), std::string::npos) << r.err;
}

// A station the service cannot reach when the watch begins: the watch says why
// from its first line on.
TEST_F(ToolService, WatchTellsWhyTheStationIsOutWhenItIsOutFromTheStart) {
    const std::string log = dir + "/daemon.log";
    daemon = std::make_unique<Process>(std::vector<std::string>{MOORWINCHD_PATH, "--port", dir + "/none", "--socket",
                                                                socketPath(), "--foreground", "--interval", "0.1"},
                                       log);
    ASSERT_TRUE(eventually([&] { return slurp(log).find("cannot use") != std::string::npos; })) << slurp(log);
    const Run r = tool({"--daemon", socketPath(), "watch", "--count", "1"});
    EXPECT_EQ(r.code, 3);
    const std::string why = "the station does not answer moorwinchd (IO Exception: openConnection: No such file";
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("no data: " + why), std::string::npos) << r.out;
}

// A token the service has no use for does not stop what needs none.
TEST_F(ToolService, ATokenForAServiceWithoutOneIsNoFailure) {
    startDaemon({}, false);
    const Run r = tool({"--daemon", socketPath(), "--token-file", dir + "/token", "config"});
    EXPECT_EQ(r.code, 0) << r.err;
}

// A service that accepts but never answers: the tool says so and names its wait.
TEST_F(ToolService, AServiceThatDoesNotAnswerIsToldWithTheWait) {
    startDaemon();
    daemon->pause();
    const Run r = tool({"--daemon", socketPath(), "--timeout", "20", "status"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err, "moorwinch: moorwinchd at " + socketPath() +
                         ": no reply within 1700 ms (the wait for moorwinchd: 35 x --timeout + 1 s); is it stuck?\n");
}

// The flight log through the service is the one its file holds: the same CSV
// and JSON lines for the same range, rows, buckets and events; the service's
// refusal of a question is a usage error; record follows its polls.
TEST_F(ToolService, HistoryAndEventsThroughTheServiceAreThoseOfItsFile) {
    const std::string file = dir + "/history.db";
    startDaemon({"--history", file});
    // Two whole seconds of polls, so that a range of whole seconds holds some.
    double first = 0, last = 0;
    ASSERT_TRUE(eventually([&] {
        const Run rows = tool({"--daemon", socketPath(), "history", "--since", "1m", "--fields", "cab", "--json"});
        std::istringstream lines(rows.out);
        std::string line;
        for (bool start = true; std::getline(lines, line); start = false) {
            last = json::parse(line).at("time").get<double>();
            if (start) first = last;
        }
        return last - first >= 3;
    }));
    const std::string since = std::to_string(static_cast<long long>(first) + 1);
    const std::string until = std::to_string(static_cast<long long>(first) + 3);
    const std::string beforeStart = std::to_string(static_cast<long long>(first) - 60);  // the connection's event
    const std::vector<std::vector<std::string>> questions = {
        {"history", "--since", since, "--fields", "cableLength,mainsCurrent,uavSupplyCurrent", "--csv"},
        {"history", "--since", since, "--json"},
        {"history", "--since", since, "--step", "0.5", "--fields", "cableLength,cableRetractionTorque", "--csv"},
        {"history", "--since", since, "--step", "1", "--json"},
        {"events", "--since", beforeStart, "--json"},
        {"events", "--since", beforeStart, "--csv"},
    };
    for (std::vector<std::string> question : questions) {
        question.insert(question.end(), {"--until", until});
        std::vector<std::string> throughService = {"--daemon", socketPath()}, fromFile = {"--history-file", file};
        throughService.insert(throughService.end(), question.begin(), question.end());
        fromFile.insert(fromFile.begin(), question.begin(), question.end());
        const Run asked = tool(throughService), read = tool(fromFile);
        EXPECT_EQ(asked.code, 0) << asked.err;
        EXPECT_EQ(read.code, 0) << read.err;
        EXPECT_EQ(asked.out, read.out) << question[0] << " " << question[3];
        const bool csv = question[question.size() - 3] == "--csv";
        EXPECT_GE(count(asked.out, "\n"), csv ? 2u : 1u) << question[0] << " " << question[3];  // not just a header
    }

    const Run reversed = tool({"--daemon", socketPath(), "history", "--since", until, "--until", since});
    EXPECT_EQ(reversed.code, 4);
    EXPECT_NE(reversed.err.find(") is after until ("), std::string::npos) << reversed.err;

    const std::string recording = dir + "/recording.jsonl";
    const Run record = tool({"--daemon", socketPath(), "record", "--output", recording, "--count", "3", "--interval",
                             "0.1"});
    EXPECT_EQ(record.code, 0) << record.err;
    std::ifstream lines(recording);
    std::size_t statuses = 0;
    for (std::string line; std::getline(lines, line);) statuses += json::parse(line).at("status").is_object();
    EXPECT_EQ(statuses, 3u);
}

}  // namespace
