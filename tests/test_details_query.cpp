// The details query: member rules, the cable length unit rule, frame errors
// and the long reply wait.
#include "StationFixture.h"

using namespace KORVANE;
using namespace moorwinch_test;
using Details = Moorwinch::systemDetails;

namespace {

Details parsed(const std::string& members, Details details = Details()) {
    Moorwinch::MoorwinchImpl impl;
    std::string reply = "{\"COM\":{\"MSG_ID\":1,\"COM_STATUS\":0},\"SYSTEM_DETAILS\":{" + members + "}}";
    impl.processSystemDetails(reply, details);
    return details;
}

TEST(DetailsParsing, CableLengthAbove400IsCentimetres) {
    const std::pair<long, int> cases[] = {{150, 150}, {400, 400}, {401, 4}, {15000, 150}, {15099, 150}, {0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(parsed("\"MAX_CABLE_LENGTH\":" + std::to_string(c.first)).maxCableLength, c.second);
    }
}

TEST(DetailsParsing, TakesTextsOnlyFromStringsAndNumbersOnlyFromIntegers) {
    Details before;
    before.maxPower = 1200;
    before.model = "M1";
    before.flightCount = 9;
    Details after = parsed(
        "\"MAX_POWER\":\"1500\",\"MODEL\":12,\"FLIGHT_COUNT\":3.0,\"SN\":\"A-17\",\"TTM\":3600,"
        "\"OPERATION_COUNT\":-1,\"PROTOCOL_VERSION\":\"1.36\",\"MAINTENANCE_REQUIRED\":1,\"RTC_TIME\":5",
        before);
    EXPECT_EQ(after.maxPower, 1200);
    EXPECT_EQ(after.model, "M1");
    EXPECT_EQ(after.flightCount, 9u);
    EXPECT_EQ(after.serialNumber, "A-17");
    EXPECT_EQ(after.timeToMaintenance, 3600u);
    EXPECT_EQ(after.operationCount, 4294967295u);
    EXPECT_EQ(after.protocolVersion, "1.36");
    EXPECT_EQ(after.maintenanceRequired, 1);
}

TEST(DetailsParsing, NetworkTypeDefaultsToNotAvailable) {
    EXPECT_EQ(parsed("\"NETWORK_TYPE\":3").networkType, 3);
    EXPECT_EQ(parsed("\"MODEL\":\"X\"").networkType, 255);
}

TEST(DetailsParsing, SoftwareVersionsComeFromTheNestedObjectOnly) {
    Details before;
    before.swVersionReelCtrl = "1.0.0";
    Details after = parsed("\"SW_VERSION\":{\"MAIN_CTRL\":\"2.1.0\"},\"MAIN_CTRL\":\"9.9.9\"", before);
    EXPECT_EQ(after.swVersionMainCtrl, "2.1.0");
    EXPECT_EQ(after.swVersionReelCtrl, "1.0.0");

    after = parsed("\"SW_VERSION\":\"2.1.0\",\"CABLE_TYPE\":\"T2\"", before);
    EXPECT_EQ(after.swVersionMainCtrl, "");
    EXPECT_EQ(after.cableType, "T2");
}

TEST(DetailsParsing, FrameErrorsNameTheirCauseAndLeaveTheRecordUntouched) {
    const std::pair<const char*, const char*> cases[] = {
        {"{\"SYSTEM_DETAILS\":", "processSystemDetails: system data malformed"},
        {"{\"SYSTEM_DETAILS\":{\"TTM\":1e400}}", "processSystemDetails: system data malformed"},
        {"\"text\"", "processSystemDetails: status data malformed"},
        {"{\"SYSTEM_DETAILS\":[{\"MODEL\":\"X\"}]}", "processSystemDetails: invalid status data format"},
        {"{\"SYSTEM_STATUS\":{}}", "processSystemDetails: invalid status data format"},
    };
    Moorwinch::MoorwinchImpl impl;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        Details details;
        details.model = "kept";
        std::string reply = c.first;
        try {
            impl.processSystemDetails(reply, details);
            ADD_FAILURE() << "accepted";
        } catch (const DataException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Data Exception: ") + c.second);
        }
        EXPECT_EQ(details.model, "kept");
        EXPECT_EQ(details.networkType, 255);
    }
}

class DetailsQuery : public StationTest {
protected:
    // A station that answers the details query after delay.
    void answerAfter(std::chrono::milliseconds delay) {
        answerWith([delay](const std::string& line, PtyStation& s) {
            if (!s.pause(delay)) return;
            s.send(PtyStation::reply(line, "\"SYSTEM_DETAILS\":{\"MAX_CABLE_LENGTH\":15000}"));
        });
    }
};

// With T = 40 ms the reply wait is 400 ms: a reply after 150 ms is taken (one
// timeout would miss it), one after 800 ms is not (thirty would take it).
TEST_F(DetailsQuery, SendsTheQueryAndWaitsTenConnectionTimeouts) {
    connect(40);
    answerAfter(std::chrono::milliseconds(150));
    Details details;
    impl.getSystemDetails(details);
    EXPECT_EQ(details.maxCableLength, 150);
    ASSERT_EQ(station.requestCount(), 1u);
    std::string line = station.requests()[0];
    EXPECT_EQ(line.substr(line.find("},") + 2), "\"COMMAND\":{\"GET_SYSTEM_DETAILS\":1}}");
}

TEST_F(DetailsQuery, ReplyLaterThanTenConnectionTimeoutsIsMissed) {
    connect(40);
    answerAfter(std::chrono::milliseconds(800));
    Details details;
    EXPECT_THROW(impl.getSystemDetails(details), IOException);
    EXPECT_EQ(details.maxCableLength, 0);
}

}  // namespace
