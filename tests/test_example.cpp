// The example program as a subprocess: help switch, a missing port name, an
// unknown port, a station that fails mid-dialogue, and whole dialogues against an
// in-process station and against the simulator program.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "StationFixture.h"

using namespace moorwinch_test;

namespace {

// One run of a program: arguments, a fixed standard input, standard output
// collected until it closes. Every wait is bounded; the child is killed if still there.
class Child {
public:
    Child(const std::string& program, std::vector<std::string> args, const std::string& input) {
        signal(SIGPIPE, SIG_IGN);
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid = fork();
        if (pid < 0) throw std::runtime_error("fork");
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
#ifdef SYS_close_range
            syscall(SYS_close_range, 3u, ~0u, 0u);  // keep the in-process station's descriptors out
#endif
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdoutFd = out[0];
        // A child that ends without reading (the help switch) leaves EPIPE, which is fine.
        if (!input.empty() && write(in[1], input.data(), input.size()) < 0 && errno != EPIPE)
            ADD_FAILURE() << "writing stdin failed";
        close(in[1]);
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Asks the child to stop, then forces it after a bounded wait.
    ~Child() {
        if (pid > 0 && !reaped) {
            kill(pid, SIGTERM);
            const auto deadline = Clock::now() + std::chrono::seconds(2);
            while (waitpid(pid, nullptr, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    kill(pid, SIGKILL);
                    waitpid(pid, nullptr, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        if (stdoutFd >= 0) close(stdoutFd);
    }

    // Reads standard output to its end and reaps the child; false on timeout.
    bool finish(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto deadline = Clock::now() + limit;
        while (readSome(deadline)) {
        }
        if (!closed) return false;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        reaped = true;
        exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
    }

    std::string output;
    int exitCode = -1;

    // The first line of standard output, without its line feed; "" on timeout.
    std::string firstLine(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + limit;
        while (output.find('\n') == std::string::npos && readSome(deadline)) {
        }
        const std::size_t end = output.find('\n');
        return end == std::string::npos ? "" : output.substr(0, end);
    }

private:
    // One read of what has arrived; false at the end of output or at the deadline.
    bool readSome(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{stdoutFd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char buffer[4096];
        const ssize_t n = read(stdoutFd, buffer, sizeof buffer);
        if (n <= 0) {
            closed = n == 0;
            return false;
        }
        output.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid = -1;
    int stdoutFd = -1;
    bool reaped = false;
    bool closed = false;
};

const std::string banner =
    "###########################################\n"
    "# Korvane Moorwinch Library usage example #\n"
    "###########################################\n"
    "\n"
    "This example applications shows, how Korvane Moorwinch library can be used.\n"
    "\n"
    "\n";

std::string versionDetails() {
    std::ostringstream out;
    KORVANE::Moorwinch().printVersionDetails(out);
    return out.str();
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// True when the lines appear in this order (other text between them allowed).
bool inOrder(const std::string& text, const std::vector<std::string>& lines) {
    std::size_t at = 0;
    for (const std::string& line : lines) {
        at = text.find(line + "\n", at);
        if (at == std::string::npos) return false;
        at += line.size();
    }
    return true;
}

Child runExample(const std::vector<std::string>& args, const std::string& input) {
    return Child(MOORWINCH_EXAMPLE_PATH, args, input);
}

TEST(ExampleStartup, HelpSwitchAnywherePrintsBannerAndVersionOnly) {
    for (std::vector<std::string> args : {std::vector<std::string>{"/h"}, {"x", "-h", "y"}, {"-v", "/h"}}) {
        Child run = runExample(args, "/dev/null\n");
        ASSERT_TRUE(run.finish());
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.output, banner + versionDetails());
    }
}

TEST(ExampleStartup, MissingPortNameEndsBeforeConnecting) {
    Child run = runExample({}, "  \n");
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(inOrder(run.output, {"Available serial ports:", "Type COM port name to connect."}));
    EXPECT_EQ(run.output.find("Try to connect to "), std::string::npos);
}

TEST(ExampleStartup, UnknownPortEndsWithTheLibraryTextAndNoLineBreak) {
    const std::string port = "/dev/moorwinch-no-such-port";
    std::string libraryText;
    try {
        KORVANE::Moorwinch().openConnection(port);
    } catch (const std::exception& e) {
        libraryText = e.what();
    }
    ASSERT_FALSE(libraryText.empty());

    Child run = runExample({}, port + "\n");
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(endsWith(run.output, "Type COM port name to connect.\n\nTry to connect to " + port + ".\n" +
                                         libraryText))
        << run.output;
    EXPECT_EQ(run.output.find("Open serial port "), std::string::npos);
}

// An in-process station: handshake, a minimal status whose tether status and
// details whose maintenance flag are chosen, and an acknowledgement for the rest.
class ExampleDialogue : public ::testing::Test {
protected:
    void serve(int tetherStatus, int maintenance = 0) {
        station.setHandler([=](const std::string& line, PtyStation& s) {
            if (isRequestFor(line, "GET_PROTOCOL"))
                s.send(protocolReply(line));
            else if (isRequestFor(line, "GET_SYSTEM_STATUS"))
                s.send(PtyStation::reply(
                    line, "\"SYSTEM_STATUS\":{\"CONFIG_STATUS\":{\"CAB\":1,\"ENERGY_UAV\":1,\"SYS_STATE\":1},"
                          "\"CAB\":{\"TETHER_STATUS\":" + std::to_string(tetherStatus) +
                              "},\"ENERGY_UAV\":{\"EXT_SUPL_STATUS\":2},\"SYS_STATE\":{\"ERROR\":0}}"));
            else if (isRequestFor(line, "GET_SYSTEM_DETAILS"))
                s.send(PtyStation::reply(
                    line, "\"SYSTEM_DETAILS\":{\"MAINTENANCE_REQUIRED\":" + std::to_string(maintenance) + "}"));
            else
                s.send(PtyStation::reply(line));
        });
    }

    // The "COMMAND" member of every request, in order.
    std::vector<std::string> commands() const {
        std::vector<std::string> result;
        for (const std::string& line : station.requests())
            result.push_back(nlohmann::json::parse(line).at("COMMAND").dump());
        return result;
    }

    PtyStation station;
};

TEST_F(ExampleDialogue, WalksThroughEveryStepAndCorrectsTheOutOfRangeValues) {
    serve(0);
    Child run = runExample({}, station.devicePath() + "\n");
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(inOrder(run.output, {"Try to connect to " + station.devicePath() + ".",
                                     "Open serial port \"" + station.devicePath() + "\" successfull!",
                                     "Request tether system status...", "Deactivate tether system...",
                                     "Activate tether system...", "Deactivate tether system...",
                                     "System operates between its limits.", "System operates between its limits.",
                                     "System operates between its limits."}))
        << run.output;
    EXPECT_TRUE(endsWith(run.output, "Deactivate tether system...\nSystem operates between its limits.\n"
                                     "System operates between its limits.\nSystem operates between its limits.\n"));

    const std::vector<std::string> expected = {
        R"({"GET_PROTOCOL":1})",     R"({"GET_SYSTEM_STATUS":1})", R"({"SET_ACTIVATION":0})",
        R"({"SET_RET_TORQUE":50})",  R"({"SET_RET_START":567})",   R"({"SET_ACTIVATION":0})",
        R"({"SET_RET_TORQUE":50})",  R"({"SET_RET_START":567})",   R"({"SET_RET_START":421})",
        R"({"SET_RET_TORQUE":40})",  R"({"SET_ACTIVATION":0})",    R"({"SET_ACTIVATION":16})",
        R"({"SET_ACTIVATION":0})",   R"({"SET_RET_START":30})",    R"({"SET_RET_TORQUE":100})",
        R"({"GET_SYSTEM_STATUS":1})", R"({"GET_SYSTEM_DETAILS":1})", R"({"GET_SYSTEM_STATUS":1})",
        R"({"GET_SYSTEM_STATUS":1})", R"({"GET_SYSTEM_DETAILS":1})"};
    EXPECT_EQ(commands(), expected);
}

TEST_F(ExampleDialogue, VerdictsAreReportedPerCheck) {
    serve(2);  // tether warning: every check sees it
    Child warnings = runExample({}, station.devicePath() + "\n");
    ASSERT_TRUE(warnings.finish());
    EXPECT_EQ(warnings.exitCode, 0);
    EXPECT_EQ(count(warnings.output, "Some warnings occored!\n"), 3u);

    serve(3);
    Child errors = runExample({}, station.devicePath() + "\n");
    ASSERT_TRUE(errors.finish());
    EXPECT_EQ(errors.exitCode, 0);
    EXPECT_EQ(count(errors.output, "Some errors occored!\n"), 3u);

    serve(0, 1);  // maintenance counts in the first and third check only
    Child maintenance = runExample({}, station.devicePath() + "\n");
    ASSERT_TRUE(maintenance.finish());
    EXPECT_TRUE(endsWith(maintenance.output, "Some warnings occored!\nSystem operates between its limits.\n"
                                             "Some warnings occored!\n"));
}

TEST_F(ExampleDialogue, StationFailureGoesThroughTheHandlerAndCloses) {
    struct Case {
        const char* headline;
        const char* text;
        std::function<void(const std::string&, PtyStation&)> statusAnswer;
    };
    const Case cases[] = {
        {"Error - IOException occurred!", "IO Exception: receiveData: Data Receiver Timeout!",
         [](const std::string&, PtyStation&) {}},
        {"Error - DataException occurred!", nullptr,
         [](const std::string& line, PtyStation& s) { s.send(PtyStation::reply(line, "", 3)); }},
    };
    for (const Case& c : cases) {
        station.clearRequests();
        station.setHandler([&c](const std::string& line, PtyStation& s) {
            if (isRequestFor(line, "GET_PROTOCOL"))
                s.send(protocolReply(line));
            else
                c.statusAnswer(line, s);
        });
        Child run = runExample({}, station.devicePath() + "\n");
        ASSERT_TRUE(run.finish());
        EXPECT_EQ(run.exitCode, 1) << c.headline;
        EXPECT_TRUE(inOrder(run.output, {"Open serial port \"" + station.devicePath() + "\" successfull!",
                                         "Request tether system status...", c.headline}))
            << run.output;
        if (c.text) {
            EXPECT_TRUE(endsWith(run.output, std::string(c.headline) + "\n" + c.text + "\nClose connection...\n"));
        }
        EXPECT_TRUE(endsWith(run.output, "\nClose connection...\n")) << run.output;
        EXPECT_EQ(station.requestCount(), 2u);  // nothing after the failed status query
    }
}

TEST(ExampleWithSimulator, HealthyStationGivesTheWholeDialogue) {
    Child simulator(MOORWINCH_SIM_PATH, {"--scenario", "healthy"}, "");
    const std::string port = simulator.firstLine();
    ASSERT_FALSE(port.empty()) << "the simulator named no device";

    Child run = runExample({}, port + "\n");
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(inOrder(run.output, {"Available serial ports:", "Type COM port name to connect.",
                                     "Try to connect to " + port + ".",
                                     "Open serial port \"" + port + "\" successfull!",
                                     "Request tether system status...", "Deactivate tether system...",
                                     "Activate tether system...", "Deactivate tether system..."}))
        << run.output;
    EXPECT_EQ(count(run.output, "System operates between its limits.\n"), 3u);
    EXPECT_TRUE(endsWith(run.output, "System operates between its limits.\nSystem operates between its limits.\n"
                                     "System operates between its limits.\n"))
        << run.output;
    EXPECT_EQ(run.output.find("Error - "), std::string::npos);
}

}  // namespace
