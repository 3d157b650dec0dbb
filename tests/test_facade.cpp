// The public class: identity and banner, the port list, exceptions passed on as
// copies, and ownership of the connection across a move.
#include <Moorwinch.h>

#include <iomanip>
#include <sstream>

#include "StationFixture.h"

using namespace KORVANE;
using namespace moorwinch_test;

namespace {

const char* const banner =
    "#####################\n"
    "# Korvane Moorwinch #\n"
    "#####################\n"
    "\n"
    "Korvane Skyhold.Platform Moorwinch Library\n"
    "Library build: 44\n"
    "Communication protocol version: 1.36\n";

// A stream with changed formatting state, to check that output leaves it alone.
struct DecoratedStream {
    std::ostringstream out;
    DecoratedStream() {
        out << std::hex << std::setfill('*') << std::setprecision(3) << std::setw(9);
    }
    void expectUnchanged() {
        EXPECT_TRUE(out.flags() & std::ios::hex);
        EXPECT_EQ(out.fill(), '*');
        EXPECT_EQ(out.precision(), 3);
        EXPECT_EQ(out.width(), 9);
    }
};

TEST(Identity, BuildProtocolVersionAndBanner) {
    Moorwinch winch;
    EXPECT_EQ(winch.getLibBuild(), "44");
    EXPECT_EQ(winch.getLibProtocolVersion(), "1.36");
    std::string text = "previous content";
    winch.getLibBuild(text);
    EXPECT_EQ(text, "44");
    winch.getLibProtocolVersion(text);
    EXPECT_EQ(text, "1.36");
    EXPECT_STREQ(mw_sys_details.protocol_version.value, "1.36");

    DecoratedStream stream;
    winch.printVersionDetails(stream.out);
    EXPECT_EQ(stream.out.str(), banner);
    stream.expectUnchanged();

    testing::internal::CaptureStdout();
    winch.printVersionDetails();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), banner);
}

TEST(Ports, ListIsAppendedAndPrintedInThreeLineGroups) {
    Moorwinch winch;
    std::vector<std::string> ports{"keep"}, descriptions{"keep"}, ids{"keep"};
    winch.getSerialPortsInfo(ports, descriptions, ids);
    const std::size_t found = ports.size() - 1;
    ASSERT_EQ(descriptions.size(), ports.size());
    ASSERT_EQ(ids.size(), ports.size());
    EXPECT_EQ(ports[0], "keep");
    winch.getSerialPortsInfo(ports, descriptions, ids);
    EXPECT_EQ(ports.size(), 1 + 2 * found);

    std::string expected;
    for (std::size_t i = 1; i <= found; ++i) {
        if (i > 1) expected += "\n";
        expected += "Port: " + ports[i] + "\nDescription: " + descriptions[i] + "\nHardware ID: " + ids[i] + "\n";
    }
    DecoratedStream stream;
    winch.printSerialPortList(stream.out);
    EXPECT_EQ(stream.out.str(), expected);
    stream.expectUnchanged();
}

TEST(FacadeErrors, OpeningFailureReachesTheCallerAsTheSameTypeAndText) {
    Moorwinch winch;
    try {
        winch.openConnection("/dev/does-not-exist-moorwinch");
        FAIL() << "opened a missing device";
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "IO Exception: openConnection: No such file or directory");
    }
    EXPECT_FALSE(winch.isConnected());
    EXPECT_EQ(winch.getConnectionStatus(), 0);
    EXPECT_EQ(winch.getConnectionTimeout(), 400u);
}

TEST(FacadeErrors, ServiceFailuresKeepTheirTypeAndTextThroughThePublicClass) {
    Moorwinch winch;
    EXPECT_EQ(winch.getMinimalCableRetractionTorque(), 0u);
    EXPECT_EQ(winch.getMaximalCableRetractionTorque(), 100u);
    EXPECT_FLOAT_EQ(winch.getMinimalCableRetractionStartLength(), 0.3f);
    try {
        winch.setCableRetractionTorque(101);
        FAIL() << "torque 101 accepted";
    } catch (const ValueException& e) {
        EXPECT_STREQ(e.what(), "Value Exception: setCableRetractionTorque: Value out of range. Maximal valid torque: 100 %");
    }

    PtyStation station;  // answers the handshake only
    station.setHandler([](const std::string& line, PtyStation& s) {
        if (isRequestFor(line, "GET_PROTOCOL")) s.send(protocolReply(line));
    });
    winch.setConnectionTimeout(30);
    winch.openConnection(station.devicePath());
    Moorwinch::systemStatus status;
    try {
        winch.getSystemStatus(status);
        FAIL() << "silent station accepted";
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "IO Exception: receiveData: Data Receiver Timeout!");
    }
}

TEST(FacadeOwnership, MovedObjectOwnsTheConnection) {
    PtyStation station;
    station.setHandler([](const std::string& line, PtyStation& s) { s.send(protocolReply(line)); });
    std::unique_ptr<Moorwinch> first = std::make_unique<Moorwinch>();
    first->setConnectionTimeout(50);
    first->openConnection(station.devicePath());
    ASSERT_TRUE(first->isConnected());
    {
        Moorwinch second(std::move(*first));
        first.reset();  // destroying the moved-from object closes nothing
        EXPECT_EQ(descriptorsOpenTo(station.devicePath()), 1 + portDescriptors);
        EXPECT_TRUE(second.isConnected());
    }
    EXPECT_EQ(descriptorsOpenTo(station.devicePath()), 1);
}

}  // namespace
