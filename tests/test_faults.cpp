// Faults of the serial line, one per row: the exact exception the caller gets,
// that it gets it within the reply wait (plus one read timeout where a line is
// still arriving), and whether the following exchanges are clean again.
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include "StationFixture.h"

using namespace KORVANE;
using namespace moorwinch_test;

namespace {

using std::chrono::milliseconds;

constexpr unsigned int replyWait = 100;  // connection timeout: the status query's reply wait and the read timeout
constexpr long long margin = 600;         // scheduling on a loaded two-core machine
const char* const timeoutText = "IO Exception: receiveData: Data Receiver Timeout!";
const char* const malformedText = "Data Exception: checkReply: malformed buffer data";
const char* const wrongIdText = "Data Exception: checkReply: wrong message handler";
// A write to a vanished pty: the serial library's message has no colon, so it
// is kept whole.
const char* const unpluggedSendText =
    "IO Exception: sendData: SerialException device reports readiness to write but returned no data "
    "(device disconnected?) failed.";

// What a call did: "" on success, else the exception text. The serial library's
// own exceptions are marked, so that they cannot pass for the library's.
struct Outcome {
    std::string text;
    long long ms = 0;
};

template <class Call>
Outcome run(Call&& call) {
    Outcome out;
    const auto start = Clock::now();
    try {
        call();
    } catch (const IOException& e) {
        out.text = e.what();
    } catch (const DataException& e) {
        out.text = e.what();
    } catch (const serial::SerialException& e) {
        out.text = std::string("serial SerialException: ") + e.what();
    } catch (const serial::IOException& e) {
        out.text = std::string("serial IOException: ") + e.what();
    } catch (const serial::PortNotOpenedException& e) {
        out.text = std::string("serial PortNotOpenedException: ") + e.what();
    } catch (const std::exception& e) {
        out.text = std::string("other: ") + e.what();
    }
    out.ms = msSince(start);
    return out;
}

class Faults : public StationTest {
protected:
    void SetUp() override { connect(replyWait); }

    Outcome status() {
        return run([this] {
            reply = impl.exchange("getSystemStatus", impl.queryPayload(mw_command.get_system_status), 1).text;
        });
    }

    // The first request is served by fault, every later one with a good reply
    // after later.
    void faultFirst(Handler fault, milliseconds later = milliseconds(0)) {
        auto served = std::make_shared<int>(0);
        answerWith([fault, later, served](const std::string& line, PtyStation& s) {
            if ((*served)++ == 0) return fault(line, s);
            if (s.pause(later)) s.send(PtyStation::reply(line));
        });
    }

    // Waits until the station has finished serving n requests and what it sent
    // has reached the port, so that the next exchange finds it there.
    void settle(std::size_t n, bool bytesLeft) {
        ASSERT_TRUE(station.waitForRequests(n, std::chrono::seconds(10)));
        const auto start = Clock::now();
        while (bytesLeft && impl.serialPort.available() == 0 && msSince(start) < 5000)
            std::this_thread::yield();
        ASSERT_TRUE(!bytesLeft || impl.serialPort.available() > 0);
    }

    // Exchanges until one succeeds (at most limit); returns how many failed.
    int failingUntilClean(int limit = 10) {
        int failing = 0;
        for (; failing < limit; ++failing) {
            Outcome next = status();
            EXPECT_LT(next.ms, replyWait + margin);
            if (next.text.empty()) break;
            EXPECT_TRUE(next.text == malformedText || next.text == wrongIdText) << next.text;
        }
        return failing;
    }

    std::string reply;
};

// ---------------------------------------------------------------- the matrix

struct FaultRow {
    const char* name;
    std::function<void(const std::string& line, PtyStation& s)> station;  // serves the first request
    const char* first;     // what the first call throws, "" for success
    bool lineHeld;         // a line was still arriving at the end of the wait: one read timeout more
    bool bytesLeft;        // the fault leaves bytes in the port for the next exchange
    unsigned int timeout = replyWait;
};

void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.name; }

// A literal's bytes, NULs included.
template <std::size_t N>
std::string bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

const FaultRow rows[] = {
    {"Silence", [](const std::string&, PtyStation&) {}, timeoutText, false, false},
    {"PartialLineThenPauseThenRest",
     [](const std::string& line, PtyStation& s) {
         std::string whole = PtyStation::reply(line);
         s.send(whole.substr(0, 12));
         if (s.pause(milliseconds(3 * replyWait))) s.send(whole.substr(12));
     },
     malformedText, true, true},
    {"TwoRepliesInOneBurst",
     [](const std::string& line, PtyStation& s) { s.send(PtyStation::reply(line) + PtyStation::reply(line)); },
     malformedText, false, false},
    {"GarbageWithNulAndFFWithoutBrace",
     [](const std::string&, PtyStation& s) { s.send(bytes("\0\xff garbage \x01\xfe\n")); }, malformedText,
     false, false},
    {"GarbageWithNulAndFFAroundABrace",
     [](const std::string&, PtyStation& s) { s.send(bytes("\xff\0{\0\xff}\n")); }, malformedText, false,
     false},
    {"NulAndFFBeforeAGoodReplyAreDropped",
     [](const std::string& line, PtyStation& s) { s.send(bytes("\0\xff\x01") + PtyStation::reply(line)); }, "",
     false, false},
    {"InvalidUtf8InsideAGoodEnvelope",
     [](const std::string& line, PtyStation& s) { s.send(PtyStation::reply(line, "\"X\":\"\xff\xfe\"")); },
     malformedText, false, false},
    {"NulInsideAGoodEnvelope",
     [](const std::string& line, PtyStation& s) { s.send(PtyStation::reply(line, bytes("\"X\":\"\0\""))); },
     malformedText, false, false},
    // A reply holds one line of at most 65535 bytes: a longer one is cut there
    // and refused, and its rest, should it come later, is not the next reply.
    {"ReplyLongerThanTheLineLimit",
     [](const std::string& line, PtyStation& s) {
         s.send(PtyStation::reply(line, "\"PAD\":\"" + std::string(70000, 'x') + "\""));
     },
     malformedText, false, false},
    {"TricklingWithoutEnd",
     [](const std::string&, PtyStation& s) {
         // Each byte well within the read timeout of the one before; ends only
         // long after the caller has given up, so that the next calls can be served.
         s.send("{");
         for (int i = 0; i < 60 && s.pause(milliseconds(10)); ++i) s.send("x");
         s.send("\n");
     },
     malformedText, true, true},
};

class FaultMatrix : public Faults, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(FaultMatrix, FailsExactlyInTimeAndTheNextCallsAreClean) {
    const FaultRow& row = GetParam();
    impl.setConnectionTimeout(row.timeout);
    faultFirst(row.station);
    Outcome first = status();
    EXPECT_EQ(first.text, row.first);
    EXPECT_LT(first.ms, row.timeout + (row.lineHeld ? row.timeout : 0) + margin);

    settle(1, row.bytesLeft);
    for (int i = 0; i < 2; ++i) {
        Outcome next = status();
        EXPECT_EQ(next.text, "") << "call " << i + 2;
        EXPECT_LT(next.ms, row.timeout + margin);
    }
    EXPECT_TRUE(impl.isConnected());
}

INSTANTIATE_TEST_SUITE_P(Line, FaultMatrix, ::testing::ValuesIn(rows),
                         [](const ::testing::TestParamInfo<FaultRow>& info) { return info.param.name; });

// ---------------------------------------------------------------- late replies

// The reply to the first request comes after its wait; later requests are
// answered after later. The late line is dropped as the reply of an abandoned
// request, whether it was waiting before the next request or came during its
// wait; how many exchanges fail before one succeeds?
class LateReply : public Faults {
protected:
    int measure(milliseconds later) {
        faultFirst(
            [](const std::string& line, PtyStation& s) {
                if (s.pause(milliseconds(replyWait + replyWait / 2))) s.send(PtyStation::reply(line));
            },
            later);
        Outcome first = status();
        EXPECT_EQ(first.text, timeoutText);
        EXPECT_LT(first.ms, replyWait + margin);
        settle(1, true);
        int failing = failingUntilClean();
        std::printf("exchanges failing after a late reply (station answering after %d ms): %d\n",
                    static_cast<int>(later.count()), failing);
        return failing;
    }
};

TEST_F(LateReply, StationAnsweringAtOnce) { EXPECT_EQ(measure(milliseconds(0)), 0); }

TEST_F(LateReply, StationAnsweringAfterTheFirstPoll) { EXPECT_EQ(measure(milliseconds(25)), 0); }

// A station slower than the first wait answers every request: once the wait is
// long enough, every call succeeds, although each late reply arrives while the
// next request is already waiting for its own.
TEST_F(LateReply, SlowStationStaysInStepOnceTheWaitIsLongEnough) {
    answerWith([](const std::string& line, PtyStation& s) {
        if (s.pause(milliseconds(2 * replyWait))) s.send(PtyStation::reply(line));
    });
    EXPECT_EQ(status().text, timeoutText);
    impl.setConnectionTimeout(10 * replyWait);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(status().text, "") << "call " << i + 2;

    // A reply whose id was never abandoned is still another request's.
    answerWith([](const std::string&, PtyStation& s) { s.send("{\"COM\":{\"MSG_ID\":999,\"COM_STATUS\":0}}\n"); });
    EXPECT_EQ(status().text, wrongIdText);
}

// A service reconnects after timeouts: the late reply to a request of the
// closed connection must not fail the reopened one's handshake. Another device
// starts with no such ids.
TEST_F(Faults, ALateReplyAfterAReopenOfTheSameDeviceIsDropped) {
    answerWith(nullptr);  // the status query goes unanswered
    EXPECT_EQ(status().text, timeoutText);
    ASSERT_TRUE(station.waitForRequests(1, std::chrono::seconds(5)));
    const std::string late = PtyStation::reply(station.requests().at(0));
    // Sent when the handshake request has come, ahead of its reply.
    station.setHandler([late](const std::string& line, PtyStation& s) { s.send(late + protocolReply(line)); });
    impl.closeConnection();
    EXPECT_EQ(run([&] { impl.openConnection(station.devicePath()); }).text, "");

    PtyStation other;
    other.setHandler([late](const std::string&, PtyStation& s) { s.send(late); });
    EXPECT_EQ(run([&] { impl.openConnection(other.devicePath()); }).text, wrongIdText);
}

// A station that floods lines cannot hold the caller past the reply wait plus
// one T, nor grow the reply past one line.
TEST_F(Faults, AFloodingStationCannotStretchTheWaitNorGrowTheReply) {
    answerWith([](const std::string&, PtyStation& s) {
        std::string flood;
        for (int i = 0; i < 100; ++i) flood += std::string(200, ' ') + "{\"COM\":{\"MSG_ID\":1}}\n";
        while (s.pause(milliseconds(0))) s.send(flood);
    });
    std::string received;
    Outcome out = run([&] {
        unsigned short id = 0;
        impl.sendData(impl.queryPayload(mw_command.get_system_status), id);
        impl.receiveData(received, replyWait);
    });
    EXPECT_EQ(out.text, "");
    EXPECT_LT(out.ms, replyWait + replyWait + margin);
    EXPECT_GT(received.size(), 0u);
    EXPECT_LE(received.size(), 65535u);
}

// ---------------------------------------------------------------- unplugging

TEST_F(Faults, UnpluggedBeforeTheSendFailsInSendDataEveryTime) {
    station.unplug();
    for (int i = 0; i < 2; ++i) {
        Outcome out = status();
        EXPECT_EQ(out.text, unpluggedSendText);
        EXPECT_LT(out.ms, replyWait + margin);
    }
    EXPECT_TRUE(impl.isConnected());  // the port object still reports open
}

TEST_F(Faults, UnpluggedMidReplyLeavesWithTheSerialLibrarysExceptionAndReleasesTheLock) {
    faultFirst([](const std::string& line, PtyStation& s) {
        s.send(PtyStation::reply(line).substr(0, 12));
        s.unplug();
    });
    Outcome first = status();
    // The rest of its text names a source file and line of the serial library.
    EXPECT_EQ(first.text.rfind("serial IOException: IO Exception (5): Input/output error, ", 0), 0u) << first.text;
    EXPECT_LT(first.ms, replyWait + replyWait + margin);
    EXPECT_TRUE(impl.exchangeLock.try_lock());
    impl.exchangeLock.unlock();

    Outcome next = status();
    EXPECT_EQ(next.text, unpluggedSendText);
    EXPECT_LT(next.ms, replyWait + margin);
}

TEST_F(Faults, ReopeningANewStationAfterAnUnplugWorks) {
    station.unplug();
    EXPECT_NE(status().text, "");

    PtyStation replacement;
    replacement.setHandler([](const std::string& line, PtyStation& s) {
        s.send(isRequestFor(line, "GET_PROTOCOL") ? protocolReply(line) : PtyStation::reply(line));
    });
    Outcome reopen = run([&] {
        impl.closeConnection();
        impl.openConnection(replacement.devicePath());
    });
    EXPECT_EQ(reopen.text, "");
    EXPECT_LT(reopen.ms, replyWait + margin);
    EXPECT_EQ(status().text, "");
}

// ---------------------------------------------------------------- summary

// One line for the figures script: how many of the cases run here passed.
class Summary : public ::testing::Environment {
public:
    void TearDown() override {
        int ran = 0, passed = 0;
        const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
        for (int i = 0; i < unit.total_test_suite_count(); ++i) {
            const ::testing::TestSuite& suite = *unit.GetTestSuite(i);
            for (int j = 0; j < suite.total_test_count(); ++j) {
                const ::testing::TestInfo& info = *suite.GetTestInfo(j);
                if (!info.should_run() || info.result()->Skipped()) continue;
                ++ran;
                if (info.result()->Passed()) ++passed;
            }
        }
        std::printf("fault cases passed: %d of %d\n", passed, ran);
    }
};

[[maybe_unused]] ::testing::Environment* const summary = ::testing::AddGlobalTestEnvironment(new Summary);

}  // namespace
