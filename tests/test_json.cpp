// The JSON mapping of the records: units, "not available" as null, and the way
// back, which must give the same reports.
#include <gtest/gtest.h>

#include <sstream>

#include "MoorwinchJson.h"

using namespace KORVANE;
using MoorwinchJson::toJson;

namespace {

Moorwinch::systemStatus reportedStatus() {
    Moorwinch::systemStatus s;
    s.cab = s.env = s.energyGS = s.energyUAV = s.sysState = s.hwModuleStatus = 1;
    s.cableLength = 12.34f;
    s.mainsCurrent = 0.1f;
    s.mainsStatus = 0;
    s.temperature1 = 21;
    s.envSensor2Status = 255;
    s.backupBatteryStatus = 127;
    s.hwReelCtrl = 0;
    return s;
}

template <class R>
std::string report(Moorwinch& winch, R record) {
    std::ostringstream out;
    winch.print(record, out);
    return out.str();
}

TEST(Json, NotAvailableValuesAreNullAndOthersKeepTheirUnits) {
    const auto defaults = toJson(Moorwinch::systemStatus{});
    EXPECT_TRUE(defaults.at("cab").is_null());
    EXPECT_TRUE(defaults.at("cableLength").is_null());  // block not reported
    EXPECT_TRUE(defaults.at("errorCode").is_null());
    EXPECT_EQ(defaults.size(), 54u);

    const auto s = toJson(reportedStatus());
    EXPECT_EQ(s.at("cab"), 1);
    EXPECT_EQ(s.at("cableLength").dump(), "12.34");
    EXPECT_EQ(s.at("mainsCurrent").dump(), "0.1");
    EXPECT_EQ(s.at("temperature1"), 21.0);
    EXPECT_TRUE(s.at("temperature2").is_null());  // -128, no reading
    EXPECT_TRUE(s.at("envSensor2Status").is_null());
    EXPECT_TRUE(s.at("backupBatteryVoltage").is_null());  // battery failed
    EXPECT_EQ(s.at("hwReelCtrl"), 0);
    EXPECT_TRUE(s.at("hwMainCtrl").is_null());

    Moorwinch::systemDetails d;
    d.swVersionMainCtrl = "0.0.0";
    d.swVersionReelCtrl = "2.1.0";
    d.lastMaintenance = 86400;
    const auto dj = toJson(d);
    EXPECT_TRUE(dj.at("swVersionMainCtrl").is_null());
    EXPECT_EQ(dj.at("swVersionReelCtrl"), "2.1.0");
    EXPECT_EQ(dj.at("lastMaintenance"), 86400u);
    EXPECT_TRUE(dj.at("networkType").is_null());
    EXPECT_EQ(dj.at("productType"), "");

    Moorwinch::systemConfig c;
    c.systemActivation = true;
    c.cableRetractionTorque = 40;
    c.cableRetractionStartLength = 1.5f;
    EXPECT_EQ(toJson(c).dump(),
              R"({"cableRetractionStartLength":1.5,"cableRetractionStatus":null,"cableRetractionTorque":40,)"
              R"("systemActivation":true})");
    EXPECT_EQ(MoorwinchJson::verdictName(MoorwinchDefinitions::statusWarning), std::string("warning"));
}

TEST(Json, ReadingBackGivesTheSameReports) {
    Moorwinch winch;
    Moorwinch::systemStatus status = reportedStatus();
    Moorwinch::systemStatus back;
    back.cableLength = 99;  // overwritten, not merged
    MoorwinchJson::fromJson(toJson(status), back);
    EXPECT_EQ(report(winch, back), report(winch, status));

    Moorwinch::systemDetails details;
    details.model = "M";
    details.swVersionEnvCtrl = "1.2.3";
    details.networkType = 2;
    Moorwinch::systemDetails detailsBack;
    MoorwinchJson::fromJson(toJson(details), detailsBack);
    EXPECT_EQ(report(winch, detailsBack), report(winch, details));

    // Wrong types are skipped, like the library's reply parsers do.
    Moorwinch::systemConfig config;
    MoorwinchJson::fromJson(nlohmann::json{{"cableRetractionTorque", "40"}, {"systemActivation", true}}, config);
    EXPECT_EQ(config.cableRetractionTorque, 0u);
    EXPECT_TRUE(config.systemActivation);
}

}  // namespace
