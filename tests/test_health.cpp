// The health check: every rule, error over warning, the maintenance rule, and
// which queries each overload runs.
#include <cstdint>
#include <cstring>

#include "StationFixture.h"

using namespace KORVANE;
using namespace moorwinch_test;
using Status = Moorwinch::systemStatus;
using Details = Moorwinch::systemDetails;
using MoorwinchDefinitions::systemError;

namespace {

Status healthy() {
    Status s;
    s.cab = s.env = s.energyGS = s.energyUAV = s.sysState = s.hwModuleStatus = 1;
    s.cableRetractionStatus = s.tetherStatus = s.cableGuideStatus = s.cableReelStatus = 0;
    s.envSensor1Status = s.envSensor2Status = s.envSensor3Status = s.envSensor4Status = 0;
    s.fan1Status = s.fan2Status = s.mainsStatus = s.controlSupplyStatus = s.backupBatteryStatus = 0;
    s.uavExtSupplyStatus = 2;
    s.activationStatus = s.retractionStatus = s.batteryStatus = s.errorCode = 0;
    s.hwMainCtrl = s.hwReelCtrl = s.hwLpwrCtrl = s.hwHpwrCtrl = s.hwEnvCtrl = 0;
    return s;
}

systemError verdict(Status status, Details details = Details(), bool flag = true) {
    Moorwinch::MoorwinchImpl impl;
    systemError error = static_cast<systemError>(0x55);  // none of the three: each must be written
    bool found = impl.checkSystemStatus(status, details, error, flag);
    EXPECT_EQ(found, error != MoorwinchDefinitions::statusOk);
    return error;
}

struct Finding {
    const char* name;
    std::int32_t Status::*field;
    std::int32_t value;
    systemError expected;
};

TEST(HealthRules, EachCodeGivesItsVerdict) {
    using namespace MoorwinchDefinitions;
    const Finding cases[] = {
        {"hwMainCtrl", &Status::hwMainCtrl, 128, statusError},
        {"hwReelCtrl", &Status::hwReelCtrl, 129, statusError},
        {"hwLpwrCtrl", &Status::hwLpwrCtrl, 129, statusError},
        {"hwLpwrCtrl", &Status::hwLpwrCtrl, 255, statusOk},
        {"hwHpwrCtrl", &Status::hwHpwrCtrl, 128, statusError},
        {"hwEnvCtrl", &Status::hwEnvCtrl, 129, statusError},
        {"hwEnvCtrl", &Status::hwEnvCtrl, 1, statusOk},
        {"errorCode", &Status::errorCode, 1, statusError},
        {"errorCode", &Status::errorCode, 128, statusWarning},
        {"errorCode", &Status::errorCode, 2, statusOk},
        {"tetherStatus", &Status::tetherStatus, 3, statusError},
        {"tetherStatus", &Status::tetherStatus, 2, statusWarning},
        {"tetherStatus", &Status::tetherStatus, 1, statusWarning},
        {"cableGuideStatus", &Status::cableGuideStatus, 1, statusError},
        {"cableReelStatus", &Status::cableReelStatus, 1, statusError},
        {"cableReelStatus", &Status::cableReelStatus, 255, statusOk},
        {"uavExtSupplyStatus", &Status::uavExtSupplyStatus, 8, statusError},
        {"uavExtSupplyStatus", &Status::uavExtSupplyStatus, 16, statusError},
        {"uavExtSupplyStatus", &Status::uavExtSupplyStatus, 4, statusOk},
        {"uavExtSupplyStatus", &Status::uavExtSupplyStatus, 33, statusOk},
        {"controlSupplyStatus", &Status::controlSupplyStatus, 1, statusError},
        {"controlSupplyStatus", &Status::controlSupplyStatus, 2, statusError},
        {"mainsStatus", &Status::mainsStatus, 1, statusError},
        {"mainsStatus", &Status::mainsStatus, 2, statusError},
        {"mainsStatus", &Status::mainsStatus, 255, statusOk},
        {"fan1Status", &Status::fan1Status, 1, statusError},
        {"fan2Status", &Status::fan2Status, 1, statusError},
        {"envSensor1Status", &Status::envSensor1Status, 1, statusWarning},
        {"envSensor2Status", &Status::envSensor2Status, 2, statusWarning},
        {"envSensor3Status", &Status::envSensor3Status, 3, statusWarning},
        {"envSensor4Status", &Status::envSensor4Status, 1, statusWarning},
        {"envSensor3Status", &Status::envSensor3Status, 4, statusOk},
        {"envSensor1Status", &Status::envSensor1Status, 255, statusOk},
        {"backupBatteryStatus", &Status::backupBatteryStatus, 127, statusOk},
        {"batteryStatus", &Status::batteryStatus, 127, statusOk},
        {"cableRetractionStatus", &Status::cableRetractionStatus, 33, statusOk},
        {"cab", &Status::cab, 0, statusOk},
    };
    EXPECT_EQ(verdict(healthy()), MoorwinchDefinitions::statusOk);
    for (const Finding& c : cases) {
        Status status = healthy();
        status.*c.field = c.value;
        EXPECT_EQ(verdict(status), c.expected) << c.name << " = " << c.value;
    }
}

TEST(HealthRules, ErrorBeatsWarningAndDefaultsAreFaulty) {
    Status status = healthy();
    status.tetherStatus = 3;
    status.envSensor2Status = 1;
    EXPECT_EQ(verdict(status), MoorwinchDefinitions::statusError);
    EXPECT_EQ(verdict(Status()), MoorwinchDefinitions::statusError);
}

TEST(HealthRules, ConditionsNameEveryRuleThatHoldsErrorsFirst) {
    Status s = healthy();
    s.envSensor2Status = 2;
    s.tetherStatus = 3;
    s.hwLpwrCtrl = 129;
    Details d;
    d.maintenanceRequired = 1;
    Moorwinch winch;
    systemError error = MoorwinchDefinitions::statusOk;
    std::vector<std::string> found{"kept"};
    EXPECT_TRUE(winch.checkSystemStatus(s, d, error, true, found));
    EXPECT_EQ(error, MoorwinchDefinitions::statusError);
    EXPECT_EQ(found, (std::vector<std::string>{"kept", "low power control communication error", "tether failure detected",
                                               "environment sensor 2 temperature failure", "maintenance required"}));
    found.clear();
    EXPECT_FALSE(winch.checkSystemStatus(healthy(), d, error, false, found));
    EXPECT_TRUE(found.empty());
}

TEST(HealthRules, MaintenanceCountsOnlyWithTheFlagAndOnlyForOne) {
    Details due;
    due.maintenanceRequired = 1;
    EXPECT_EQ(verdict(healthy(), due, true), MoorwinchDefinitions::statusWarning);
    EXPECT_EQ(verdict(healthy(), due, false), MoorwinchDefinitions::statusOk);
    Details other;
    other.maintenanceRequired = 2;
    EXPECT_EQ(verdict(healthy(), other, true), MoorwinchDefinitions::statusOk);
    Status failing = healthy();
    failing.fan1Status = 1;
    EXPECT_EQ(verdict(failing, due, true), MoorwinchDefinitions::statusError);
}

const char* const healthyStatusReply =
    "\"SYSTEM_STATUS\":{\"CONFIG_STATUS\":{\"CAB\":1},\"HW_MODULE_STATUS\":{\"MAIN_CTRL\":1,\"REEL_CTRL\":1,"
    "\"LPWR_CTRL\":1,\"HPWR_CTRL\":1,\"ENV_CTRL\":1},\"CAB\":{\"TETHER_STATUS\":0,\"GUIDE_STATUS\":0,"
    "\"REEL_STATUS\":0},\"ENERGY_UAV\":{\"EXT_SUPL_STATUS\":2},\"SYS_STATE\":{\"ERROR\":0}}";

class HealthQueries : public StationTest {
protected:
    void SetUp() override { connect(40); }

    // Answers the status query healthily and the details query with maintenance
    // due, or with a failure status for the command named in failing.
    void answer(const char* failing = "") {
        std::string fail = failing;
        answerWith([fail](const std::string& line, PtyStation& s) {
            if (!fail.empty() && isRequestFor(line, fail.c_str()))
                s.send(PtyStation::reply(line, "", 6));
            else if (isRequestFor(line, "GET_SYSTEM_STATUS"))
                s.send(PtyStation::reply(line, healthyStatusReply));
            else
                s.send(PtyStation::reply(line, "\"SYSTEM_DETAILS\":{\"MAINTENANCE_REQUIRED\":1}"));
        });
    }

    std::vector<std::string> commands() {
        std::vector<std::string> out;
        for (const std::string& line : station.requests())
            out.push_back(isRequestFor(line, "GET_SYSTEM_STATUS")    ? "status"
                          : isRequestFor(line, "GET_SYSTEM_DETAILS") ? "details"
                                                                     : line);
        return out;
    }

    systemError error = MoorwinchDefinitions::statusError;
};

TEST_F(HealthQueries, SelfFetchingCheckReadsStatusThenDetails) {
    answer();
    EXPECT_TRUE(impl.checkSystemStatus(error));
    EXPECT_EQ(error, MoorwinchDefinitions::statusWarning);  // maintenance due
    EXPECT_EQ(commands(), (std::vector<std::string>{"status", "details"}));
}

TEST_F(HealthQueries, StatusOverloadReadsDetailsOnlyWithTheFlag) {
    answer();
    Status status = healthy();
    const Status before = status;
    EXPECT_FALSE(impl.checkSystemStatus(status, error, false));
    EXPECT_EQ(error, MoorwinchDefinitions::statusOk);
    EXPECT_TRUE(commands().empty());

    EXPECT_TRUE(impl.checkSystemStatus(status, error, true));
    EXPECT_EQ(error, MoorwinchDefinitions::statusWarning);
    EXPECT_EQ(commands(), std::vector<std::string>{"details"});
    EXPECT_EQ(std::memcmp(&status, &before, sizeof status), 0);

    Details details;
    details.maintenanceRequired = 1;
    station.clearRequests();
    EXPECT_TRUE(impl.checkSystemStatus(status, details, error, true));
    EXPECT_TRUE(commands().empty());
}

TEST_F(HealthQueries, FailedQueryLeavesTheVerdictAsItWas) {
    answer("GET_SYSTEM_STATUS");
    error = MoorwinchDefinitions::statusWarning;
    try {
        impl.checkSystemStatus(error);
        FAIL() << "accepted";
    } catch (const DataException& e) {
        EXPECT_STREQ(e.what(), "Data Exception: checkReply: error during command execution");
    }
    EXPECT_EQ(error, MoorwinchDefinitions::statusWarning);
    EXPECT_EQ(commands(), std::vector<std::string>{"status"});

    answer("GET_SYSTEM_DETAILS");
    station.clearRequests();
    EXPECT_THROW(impl.checkSystemStatus(error), DataException);
    EXPECT_EQ(commands(), (std::vector<std::string>{"status", "details"}));
    Status status = healthy();
    EXPECT_THROW(impl.checkSystemStatus(status, error, true), DataException);
    EXPECT_EQ(error, MoorwinchDefinitions::statusWarning);
}

}  // namespace
