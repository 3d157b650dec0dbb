// Opening, closing and the protocol handshake against a pseudo-terminal station.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "StationFixture.h"

using namespace KORVANE;
using namespace moorwinch_test;

namespace {

class Connection : public StationTest {
protected:
    // Opens with a station that reports version (a JSON value text) as its protocol version.
    void openWithVersion(const std::string& version) {
        station.setHandler([version](const std::string& line, PtyStation& s) { s.send(protocolReply(line, version)); });
        impl.setConnectionTimeout(50);
        impl.closeConnection();
        impl.openConnection(station.devicePath());
    }
    std::tuple<int, int, int> deviceVersion() const {
        return {impl.deviceProtocolMajor, impl.deviceProtocolMinor, impl.deviceProtocolPatch};
    }
};

TEST(ConnectionDefaults, FreshObjectIsClosedWithTheDefaultTimeout) {
    Moorwinch::MoorwinchImpl impl;
    EXPECT_EQ(impl.getConnectionStatus(), 0);
    EXPECT_FALSE(impl.isConnected());
    EXPECT_EQ(impl.getConnectionTimeout(), 400u);
    EXPECT_EQ(impl.baudrate, 115200u);
    EXPECT_NO_THROW(impl.closeConnection());
    EXPECT_NO_THROW(impl.closeConnection());
}

TEST(ConnectionOpen, MissingDeviceAndEmptyNameFailWithShortenedSystemMessages) {
    Moorwinch::MoorwinchImpl impl;
    try {
        impl.openConnection("/dev/does-not-exist-moorwinch");
        FAIL() << "opened a missing device";
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "IO Exception: openConnection: No such file or directory");
    }
    EXPECT_FALSE(impl.isConnected());
    try {
        impl.openConnection("");
        FAIL() << "opened an empty name";
    } catch (const IOException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("IO Exception: openConnection: ", 0), 0u) << e.what();
        EXPECT_GT(std::string(e.what()).size(), std::string("IO Exception: openConnection: ").size());
    }
    EXPECT_FALSE(impl.isConnected());
}

TEST_F(Connection, HandshakeSplitsTheVersionText) {
    const std::pair<const char*, std::tuple<int, int, int>> cases[] = {
        {"\"1.36\"", {1, 36, 0}},    {"\"2.1.7\"", {2, 1, 7}},  {"\"3\"", {3, 0, 0}},
        {"\"1.2.3.4\"", {1, 2, 3}},  {"\"1.36.\"", {1, 36, 0}}, {"\"1.36-beta\"", {1, 36, 0}},
        {"\"1.40\"", {1, 40, 0}},    {"\" 2.0\"", {2, 0, 0}},
    };
    for (const auto& c : cases) {
        openWithVersion(c.first);
        EXPECT_EQ(deviceVersion(), c.second) << c.first;
        EXPECT_TRUE(impl.isConnected());
    }
}

TEST_F(Connection, UnconvertibleVersionPassesTheStandardExceptionAndLeavesZeros) {
    openWithVersion("\"2.1.7\"");
    EXPECT_THROW(openWithVersion("\"1..2\""), std::invalid_argument);
    EXPECT_EQ(deviceVersion(), std::make_tuple(0, 0, 0));
    openWithVersion("\"2.1.7\"");
    EXPECT_THROW(openWithVersion("\"x.2\""), std::invalid_argument);
    EXPECT_EQ(deviceVersion(), std::make_tuple(0, 0, 0));
    EXPECT_THROW(openWithVersion("\"99999999999.1\""), std::out_of_range);
    EXPECT_TRUE(impl.isConnected());  // a failed handshake leaves the port open
}

TEST_F(Connection, MissingVersionTextFailsAndKeepsTheStoredVersion) {
    openWithVersion("\"2.1.7\"");
    const char* replies[] = {"1.36", "null", "\"\"", "{}"};
    for (const char* version : replies) {
        try {
            openWithVersion(version);
            FAIL() << "accepted " << version;
        } catch (const DataException& e) {
            EXPECT_STREQ(e.what(), "Data Exception: getDeviceProtocolVersion: unable to determine communication protocol version");
        }
        EXPECT_EQ(deviceVersion(), std::make_tuple(2, 1, 7));
        EXPECT_TRUE(impl.isConnected());
    }
    station.setHandler([](const std::string& line, PtyStation& s) { s.send(PtyStation::reply(line)); });
    impl.closeConnection();
    EXPECT_THROW(impl.openConnection(station.devicePath()), DataException);
}

TEST_F(Connection, SilentStationFailsTheOpenWithTheReplyTimeoutAndLeavesThePortOpen) {
    impl.setConnectionTimeout(30);
    try {
        impl.openConnection(station.devicePath());
        FAIL() << "opened without a handshake reply";
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "IO Exception: receiveData: Data Receiver Timeout!");
    }
    EXPECT_TRUE(impl.isConnected());
    EXPECT_EQ(station.requests().size(), 1u);
    EXPECT_NE(station.requests()[0].find("\"COMMAND\":{\"GET_PROTOCOL\":1}"), std::string::npos);
}

TEST_F(Connection, SameNameTwiceIsANoOpAndAnotherNameClosesTheFirst) {
    connect();
    EXPECT_EQ(descriptorsOpenTo(station.devicePath()), 1 + portDescriptors);  // the station's own and ours
    EXPECT_NO_THROW(impl.openConnection(station.devicePath()));
    EXPECT_EQ(impl.connectionStatus, 255);
    EXPECT_FALSE(station.waitForRequests(1, std::chrono::milliseconds(100)));  // no second handshake

    PtyStation other;
    other.setHandler([](const std::string& line, PtyStation& s) { s.send(protocolReply(line)); });
    impl.openConnection(other.devicePath());
    EXPECT_EQ(descriptorsOpenTo(station.devicePath()), 1);
    EXPECT_EQ(descriptorsOpenTo(other.devicePath()), 1 + portDescriptors);
    EXPECT_EQ(impl.getConnectionStatus(), 1);

    impl.closeConnection();
    impl.closeConnection();
    EXPECT_EQ(descriptorsOpenTo(other.devicePath()), 1);
    EXPECT_EQ(impl.getConnectionStatus(), 0);
}

// One connection per device: a second open, from this process or another,
// fails at once and writes nothing; closing releases the device.
TEST_F(Connection, ADeviceHasOneConnectionAtATime) {
    connect();
    const std::string path = station.devicePath();
    Moorwinch::MoorwinchImpl second;
    try {
        second.openConnection(path);
        FAIL() << "a second connection to one device opened";
    } catch (const IOException& e) {
        EXPECT_EQ(std::string(e.what()), "IO Exception: openConnection: port " + path + " is in use by another connection");
    }
    EXPECT_FALSE(second.isConnected());
    EXPECT_FALSE(station.waitForRequests(1, std::chrono::milliseconds(100)));
    EXPECT_NE(std::system(("flock --nonblock " + path + " true").c_str()), 0);  // another process

    impl.closeConnection();
    EXPECT_EQ(std::system(("flock --nonblock " + path + " true").c_str()), 0);
    second.setConnectionTimeout(50);
    EXPECT_NO_THROW(second.openConnection(path));
}

// Exclusive mode refuses a second open with EBUSY to everyone but root, before
// any lock is tried: for an ordinary user that is "in use" too. Run as such a
// user: this process when it is one, else a child that drops to nobody.
TEST_F(Connection, ADeviceHeldElsewhereIsInUseForAnOrdinaryUserToo) {
    connect();
    const std::string path = station.devicePath();
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    auto attempt = [&path] {
        const std::string expected = "IO Exception: openConnection: port " + path + " is in use by another connection";
        Moorwinch::MoorwinchImpl second;
        try {
            second.openConnection(path);
        } catch (const IOException& e) {
            if (e.what() == expected && e.kind() == errorKind::portInUse) return 0;
            std::fprintf(stderr, "got: %s\n", e.what());
        }
        return 1;
    };
    if (geteuid() != 0) {
        EXPECT_EQ(attempt(), 0);
        return;
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        _exit(attempt());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Connection, TimeoutAppliesToTheNextWaitAndZeroFailsAtOnce) {
    connect();
    impl.setConnectionTimeout(1000);
    EXPECT_EQ(impl.getConnectionTimeout(), 1000u);
    impl.setConnectionTimeout(0);
    auto start = Clock::now();
    try {
        impl.exchange("getSystemStatus", impl.queryPayload(mw_command.get_system_status), 1);
        FAIL() << "exchange with timeout 0 succeeded";
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "IO Exception: receiveData: Data Receiver Timeout!");
    }
    EXPECT_LT(msSince(start), 100);
}

TEST_F(Connection, DestructionClosesThePortAndNeverThrows) {
    station.setHandler([](const std::string& line, PtyStation& s) { s.send(protocolReply(line)); });
    {
        Moorwinch::MoorwinchImpl local;
        local.setConnectionTimeout(50);
        local.openConnection(station.devicePath());
        EXPECT_EQ(descriptorsOpenTo(station.devicePath()), 1 + portDescriptors);
    }
    EXPECT_EQ(descriptorsOpenTo(station.devicePath()), 1);
    {
        Moorwinch::MoorwinchImpl local;
        local.setConnectionTimeout(50);
        local.openConnection(station.devicePath());
        station.unplug();
    }
}

TEST_F(Connection, ReopenAfterUnplugFailsCleanly) {
    connect();
    station.unplug();
    impl.closeConnection();
    EXPECT_FALSE(impl.isConnected());
    EXPECT_THROW(impl.openConnection(station.devicePath()), IOException);
    EXPECT_FALSE(impl.isConnected());
}

}  // namespace
