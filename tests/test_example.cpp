// The example program as a subprocess: help switch, a missing port name, an
// unknown port, a station that fails mid-dialogue, and whole dialogues against an
// in-process station and against the simulator program.
#include <nlohmann/json.hpp>
#include <sstream>

#include "ChildProcess.h"
#include "StationFixture.h"

using namespace moorwinch_test;

namespace {

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
