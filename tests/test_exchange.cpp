// The request/reply exchange over a real pseudo-terminal: framing, reception,
// envelope validation, the exchange lock, and a station that disappears.
#include <set>
#include <thread>

#include "StationFixture.h"

using namespace KORVANE;
using namespace moorwinch_test;

namespace {

class Exchange : public StationTest {
protected:
    void SetUp() override { connect(50); }

    // Runs one exchange of the status query and returns the exception text, or "" on success.
    std::string statusExchange(unsigned int factor = 1) {
        try {
            impl.exchange("getSystemStatus", impl.queryPayload(mw_command.get_system_status), factor);
            return "";
        } catch (const std::exception& e) {
            return e.what();
        }
    }
};

TEST_F(Exchange, RequestLineIsFramedExactlyWithOneLineFeed) {
    unsigned short id = 0;
    impl.sendData(impl.queryPayload(mw_command.get_system_status), id);
    ASSERT_TRUE(station.waitForRequests(1, std::chrono::seconds(5)));
    EXPECT_EQ(station.rawInput(), "{\"COM\":{\"MSG_ID\":" + std::to_string(id) +
                                      "},\"COMMAND\":{\"GET_SYSTEM_STATUS\":1}}\n");
}

TEST_F(Exchange, MessageIdsStayWithinRangeAndVary) {
    std::set<unsigned short> seen;
    for (int i = 0; i < 500; ++i) {
        unsigned short id = 0;
        impl.sendData("\"X\":1", id);
        EXPECT_GE(id, 1000);
        seen.insert(id);
    }
    ASSERT_TRUE(station.waitForRequests(500, std::chrono::seconds(10)));
    for (const std::string& line : station.requests()) {
        long id = PtyStation::messageId(line);
        EXPECT_GE(id, 1000);
        EXPECT_LE(id, 65535);
    }
    EXPECT_GT(seen.size(), 400u);  // fresh random ids; a few repeats are possible
}

TEST_F(Exchange, ClosedPortFailsBeforeWritingButAfterDrawingTheId) {
    impl.closeConnection();
    unsigned short id = 0;
    try {
        impl.sendData("\"X\":1", id);
        FAIL() << "sendData on a closed port succeeded";
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "IO Exception: sendData: no connection established");
    }
    EXPECT_GE(id, 1000);
    EXPECT_EQ(impl.connectionStatus, 0);
}

TEST_F(Exchange, NoiseBeforeTheReplyIsDropped) {
    answerWith([](const std::string& line, PtyStation& s) { s.send("xx\n" + PtyStation::reply(line)); });
    EXPECT_EQ(statusExchange(), "");

    unsigned short id = 0;
    std::string reply;
    impl.sendData("\"X\":1", id);
    impl.receiveData(reply, 200);
    EXPECT_EQ(reply, "{\"COM\":{\"MSG_ID\":" + std::to_string(id) + ",\"COM_STATUS\":0}}\n");
}

TEST_F(Exchange, TraceSeesEveryLineBothWaysUntilCleared) {
    using Direction = Moorwinch::traceDirection;
    std::vector<std::pair<Direction, std::string>> seen;
    impl.setTrace([&seen](Direction d, const std::string& line, std::chrono::system_clock::time_point) {
        seen.emplace_back(d, line);
        throw std::runtime_error("a failing trace changes nothing");
    });
    answerWith([](const std::string& line, PtyStation& s) { s.send("xx\n" + PtyStation::reply(line)); });
    EXPECT_EQ(statusExchange(), "");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], std::make_pair(Direction::sent, station.requests().at(0)));
    EXPECT_EQ(seen[1], std::make_pair(Direction::received, std::string("xx")));
    std::string reply = PtyStation::reply(station.requests().at(0));
    reply.pop_back();  // the line feed
    EXPECT_EQ(seen[2], std::make_pair(Direction::received, reply));

    impl.setTrace(nullptr);
    EXPECT_EQ(statusExchange(), "");
    EXPECT_EQ(seen.size(), 3u);
}

// Lines that were waiting when the request was written, whole or begun, are
// not its reply: they are dropped, and the trace sees them.
TEST_F(Exchange, LinesWaitingBeforeTheRequestAreDroppedAndTraced) {
    std::vector<std::string> traced;
    impl.setTrace([&traced](Moorwinch::traceDirection d, const std::string& line, std::chrono::system_clock::time_point) {
        if (d == Moorwinch::traceDirection::received) traced.push_back(line);
    });
    const std::string waiting = "{\"COM\":{\"MSG_ID\":999,\"COM_STATUS\":0}}\n";
    const std::string begun = "{\"COM\":{\"MS";
    station.send(waiting + begun);
    const auto start = Clock::now();
    while (impl.serialPort.available() < waiting.size() + begun.size() && msSince(start) < 5000)
        std::this_thread::yield();
    answerWith([](const std::string& line, PtyStation& s) { s.send("G_ID\":998}}\n" + PtyStation::reply(line)); });

    EXPECT_EQ(statusExchange(), "");
    std::string reply = PtyStation::reply(station.requests().at(0));
    reply.pop_back();
    EXPECT_EQ(traced, (std::vector<std::string>{waiting.substr(0, waiting.size() - 1), begun + "G_ID\":998}}", reply}));
}

TEST_F(Exchange, ReceptionFailuresSurfaceAsValidationErrors) {
    answerWith([](const std::string&, PtyStation& s) { s.send("no json here\n"); });
    EXPECT_EQ(statusExchange(), "Data Exception: checkReply: malformed buffer data");

    answerWith([](const std::string& line, PtyStation& s) { s.send(PtyStation::reply(line) + PtyStation::reply(line)); });
    EXPECT_EQ(statusExchange(), "Data Exception: checkReply: malformed buffer data");
}

TEST_F(Exchange, TimeoutZeroFailsAtOnceAndSilenceAfterTheWait) {
    std::string reply;
    auto start = Clock::now();
    EXPECT_THROW(impl.receiveData(reply, 0), IOException);
    EXPECT_THROW(impl.receiveData(reply, -5), IOException);
    EXPECT_LT(msSince(start), 50);

    start = Clock::now();
    try {
        impl.receiveData(reply, 150);
        FAIL() << "silence was accepted";
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "IO Exception: receiveData: Data Receiver Timeout!");
    }
    long long took = msSince(start);
    EXPECT_GE(took, 150);
    EXPECT_LT(took, 1500);
}

TEST_F(Exchange, TricklingStationCannotHoldTheCallerPastWaitPlusOneReadTimeout) {
    impl.setConnectionTimeout(100);
    answerWith([](const std::string&, PtyStation& s) {
        s.send("{");
        while (s.pause(std::chrono::milliseconds(10))) s.send("x");  // until the station stops
    });
    auto start = Clock::now();
    EXPECT_EQ(statusExchange(), "Data Exception: checkReply: malformed buffer data");
    EXPECT_LT(msSince(start), 100 + 100 + 700);
}

TEST_F(Exchange, LockHeldElsewhereFailsWithTheOperationNameAndSendsNothing) {
    std::unique_lock<std::timed_mutex> held(impl.exchangeLock);
    EXPECT_EQ(statusExchange(), "IO Exception: getSystemStatus: Communication timeout");
    held.unlock();
    EXPECT_EQ(station.requestCount(), 0u);

    // A failed exchange releases the lock on its way out.
    EXPECT_EQ(statusExchange(), "IO Exception: receiveData: Data Receiver Timeout!");
    EXPECT_TRUE(impl.exchangeLock.try_lock());
    impl.exchangeLock.unlock();
}

TEST_F(Exchange, UnpluggedDeviceFailsSendAsIOExceptionAndReceiveWithTheSerialLibrarysOwn) {
    station.unplug();
    unsigned short id = 0;
    try {
        impl.sendData("\"X\":1", id);
        FAIL() << "send to an unplugged device succeeded";
    } catch (const IOException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("IO Exception: sendData: ", 0), 0u) << e.what();
    }
    std::string reply;
    bool serialLibraryException = false;
    try {
        impl.receiveData(reply, 100);
    } catch (const serial::IOException&) {
        serialLibraryException = true;
    } catch (const serial::SerialException&) {
        serialLibraryException = true;
    }
    EXPECT_TRUE(serialLibraryException);
    EXPECT_TRUE(impl.isConnected());  // the port object still reports open
}

struct EnvelopeCase {
    const char* reply;  // "%ID%" is replaced by the request's id
    const char* expected;
};

TEST_F(Exchange, EnvelopeValidation) {
    const EnvelopeCase cases[] = {
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":0}})", ""},
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":0,"COM_STATUS_MSG":"ok"},"X":[1]})", ""},
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":1}})", "checkReply: buffer overflow on remote communication controller"},
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":2}})", "checkReply: timeout during request transmission"},
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":3}})", "checkReply: sent request malformed"},
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":4}})", "checkReply: wrong command sent"},
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":5}})", "checkReply: data does not fit to sent command"},
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":6}})", "checkReply: error during command execution"},
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":7}})", "checkReply: unkown status reply"},
        {R"({"COM":{"MSG_ID":%ID%}})", "checkReply: unkown status reply"},
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":0.0}})", "checkReply: unkown status reply"},
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":"0"}})", "checkReply: unkown status reply"},
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":65536}})", ""},  // reduced to 16 bits
        {R"({"COM":{"MSG_ID":%ID%.0,"COM_STATUS":0}})", "checkReply: wrong message handler"},
        {R"({"COM":{"MSG_ID":1,"COM_STATUS":3}})", "checkReply: wrong message handler"},
        {R"({"COM":{"COM_STATUS":0}})", "checkReply: wrong message handler"},
        {R"([{"COM":{"MSG_ID":%ID%,"COM_STATUS":0}}])", "checkReply: reply data malformed"},
        {R"({"COM":42})", "checkReply: reply data malformed"},
        {R"({"COM":null})", "checkReply: reply data malformed"},
        {R"({"NOT_COM":{}})", "checkReply: reply data malformed"},
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":1e400}})", "checkReply: malformed buffer data"},
        {R"({"COM":{"MSG_ID":%ID%,"COM_STATUS":0}} // note)", "checkReply: malformed buffer data"},
        {R"()", "checkReply: malformed buffer data"},
    };
    for (const EnvelopeCase& c : cases) {
        std::string reply = c.reply;
        const unsigned short id = 4242;
        for (std::size_t at; (at = reply.find("%ID%")) != std::string::npos;) reply.replace(at, 4, "4242");
        std::string got;
        try {
            impl.checkReply(reply, id);
        } catch (const DataException& e) {
            got = std::string(e.what()).substr(std::string("Data Exception: ").size());
        }
        EXPECT_EQ(got, c.expected) << "reply: " << reply;
    }
    // A negative id is reduced modulo 65536 like any other integer: -61294 is 4242.
    std::string negative = R"({"COM":{"MSG_ID":-61294,"COM_STATUS":0}})";
    EXPECT_NO_THROW(impl.checkReply(negative, 4242));
}

}  // namespace
