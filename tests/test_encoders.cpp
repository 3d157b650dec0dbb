// Setters and encoders: exact fragments, tails, status composition, cut and
// escaped texts, and the message helpers.
#include "MoorwinchProtocol.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Encoder = void (*)(char*);
using nlohmann::json;

// Every test starts from the static defaults and leaves them behind.
class Tables : public ::testing::Test {
protected:
    void TearDown() override {
        mw_communication = communication_;
        mw_command = command_;
        mw_cab = cab_;
        mw_env = env_;
        mw_energy_gs = energyGs_;
        mw_energy_uav = energyUav_;
        mw_sys_state = sysState_;
        mw_config_status = configStatus_;
        mw_hw_module_status = hwModuleStatus_;
        mw_sys_config = sysConfig_;
        mw_sw_version = swVersion_;
        mw_sys_details = sysDetails_;
        mw_config_product = configProduct_;
    }

    static std::string encode(Encoder encoder) {
        std::vector<char> buffer(1 << 15, '\0');
        encoder(buffer.data());
        return buffer.data();
    }
    // Completes the fragment into a JSON text, as a caller would, and parses it.
    static json parse(Encoder encoder) {
        std::vector<char> buffer(1 << 15, '\0');
        encoder(buffer.data());
        mw_complete_json(buffer.data());
        return json::parse(buffer.data());
    }

private:
    mw_communication_t communication_ = mw_communication;
    mw_command_t command_ = mw_command;
    mw_cab_t cab_ = mw_cab;
    mw_env_t env_ = mw_env;
    mw_energy_gs_t energyGs_ = mw_energy_gs;
    mw_energy_uav_t energyUav_ = mw_energy_uav;
    mw_sys_state_t sysState_ = mw_sys_state;
    mw_config_status_t configStatus_ = mw_config_status;
    mw_hw_module_status_t hwModuleStatus_ = mw_hw_module_status;
    mw_sys_config_t sysConfig_ = mw_sys_config;
    mw_sw_version_t swVersion_ = mw_sw_version;
    mw_sys_details_t sysDetails_ = mw_sys_details;
    mw_config_product_t configProduct_ = mw_config_product;
};

const std::string kHw = R"("HW_MODULE_STATUS":{"MAIN_CTRL":255,"REEL_CTRL":255,"LPWR_CTRL":255,"HPWR_CTRL":255,)"
                        R"("ENV_CTRL":255,"NET_CTRL":255,"BBAT_CTRL":255})";
const std::string kConfigStatus =
    R"("CONFIG_STATUS":{"CAB":1,"ENV":1,"ENERGY_GS":1,"ENERGY_UAV":1,"SYS_STATE":1,"HW_MODULE_STATUS":1})";
const std::string kSw = R"("SW_VERSION":{"MAIN_CTRL":"0","REEL_CTRL":"0","LPWR_CTRL":"0","HPWR_CTRL":"0",)"
                        R"("ENV_CTRL":"0","NET_CTRL":"0","BBAT_CTRL":"0"})";
const std::string kCab = R"("CAB":{"LENGTH":0,"SPEED":0,"TETHER_STATUS":0,"GUIDE_STATUS":0,"REEL_STATUS":0,)"
                         R"("RET_STATUS":0,"RET_TORQUE":0,"RET_START":0})";
const std::string kEnv =
    R"("ENV":{"TEMP1":-127,"TEMP2":-127,"TEMP3":-127,"TEMP4":-127,"HUM1":0,"PRESS1":0,"ENVSENSOR1_STATUS":0,)"
    R"("ENVSENSOR2_STATUS":0,"ENVSENSOR3_STATUS":0,"ENVSENSOR4_STATUS":0,"FAN1_RPM":0,"FAN2_RPM":0,)"
    R"("FAN1_STATUS":0,"FAN2_STATUS":0})";
const std::string kEnergyGs =
    R"("ENERGY_GS":{"MAINS_U":0,"MAINS_I":0,"MAINS_F":0,"MAINS_STATUS":0,"CTRL_SUPL_STATUS":0,"BAT_U":255,)"
    R"("BAT_STATUS":255})";
const std::string kEnergyUav = R"("ENERGY_UAV":{"UAV_SUPL_U":0,"UAV_SUPL_I":0,"EXT_SUPL_STATUS":0,"UAV_CELL_COUNT":0})";
const std::string kSysState =
    R"("SYS_STATE":{"ACTIVATION":0,"RET_STATUS":0,"BAT_STATUS":255,"FLIGHT_TIME":0,"FLIGHT_TIME_OP_SUM":0,)"
    R"("FLIGHT_COUNT_OP_SUM":0,"OPERATION_TIME":0,"SYSTEM_TIME":0,"ERROR":0})";
const std::string kDetails =
    R"("SYSTEM_DETAILS":{"PRODUCT_TYPE":"0","MODEL":"0","SN":"0","DOP":"0","HW_VERSION":"0",)" + kSw +
    R"(,"PROTOCOL_VERSION":"1.36","UAV_CELL_VOLTAGES":"0","MAX_POWER":0,"CABLE_TYPE":"0","MAX_CABLE_LENGTH":0,)"
    R"("NETWORK_TYPE":0,"FLIGHT_TIME_SUM":0,"FLIGHT_COUNT":0,"OPERATION_TIME_SUM":0,"OPERATION_COUNT":0,)"
    R"("SYSTEM_TIME_SUM":0,"SYSTEM_USE_COUNT":0,"LAST_MAINTENANCE":0,"TTM":0,"MAINTENANCE_REQUIRED":0})";
const std::string kStatus = R"("SYSTEM_STATUS":{)" + kConfigStatus + "," + kHw + "," + kCab + "," + kEnv + "," +
                            kEnergyGs + "," + kEnergyUav + "," + kSysState + "}";

struct FragmentCase {
    const char* name;
    Encoder encoder;
    std::string expected;
};

class DefaultFragments : public Tables, public ::testing::WithParamInterface<FragmentCase> {};

TEST_P(DefaultFragments, MatchByteForByte) { EXPECT_EQ(encode(GetParam().encoder), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Encoders, DefaultFragments,
    ::testing::Values(
        FragmentCase{"hw_module_status", mw_hw_module_status_json, kHw},
        FragmentCase{"config_status", mw_config_status_json, kConfigStatus},
        FragmentCase{"config_product", mw_config_product_json,
                     R"("CONFIG_PRODUCT":{"PRODUCT_TYPE":"0","MODEL":"0","SN":"0","DOP":"0","HW_VERSION":"0",)"
                     R"("UAV_CELL_VOLTAGES":"0","MAX_POWER":0,"CABLE_TYPE":"0","MAX_CABLE_LENGTH":0,)"
                     R"("NETWORK_TYPE":0,"TTM":"0","TIMESTAMP":"0","AUTH_KEY":"",)" +
                         kHw + "}"},
        FragmentCase{"sw_version", mw_sw_version_json, kSw},
        FragmentCase{"sys_details", mw_sys_details_json, kDetails},
        FragmentCase{"system_hw_version", mw_system_hw_version_json, R"("SYSTEM_DETAILS":{"HW_VERSION":"0"})"},
        FragmentCase{"system_sw_version", mw_system_sw_version_json, R"("SYSTEM_DETAILS":{)" + kSw + "}"},
        FragmentCase{"system_protocol", mw_system_protocol_json, R"("SYSTEM_DETAILS":{"PROTOCOL_VERSION":"1.36"})"},
        FragmentCase{"sys_config", mw_sys_config_json,
                     R"("SYSTEM_CONFIG":{"ACTIVATION":0,"RET_STATUS":0,"RET_TORQUE":0,"RET_START":0})"},
        FragmentCase{"cab", mw_cab_json, kCab}, FragmentCase{"env", mw_env_json, kEnv},
        FragmentCase{"energy_gs", mw_energy_gs_json, kEnergyGs},
        FragmentCase{"energy_uav", mw_energy_uav_json, kEnergyUav},
        FragmentCase{"sys_state", mw_sys_state_json, kSysState},
        FragmentCase{"sys_status", mw_sys_status_json, kStatus},
        FragmentCase{"communication", mw_communication_json, R"("COM":{"MSG_ID":0,"COM_STATUS":0})"},
        FragmentCase{"communication_debug", mw_communication_debug_json,
                     R"("COM":{"MSG_ID":0,"COM_STATUS":0,"COM_STATUS_MSG":""})"}),
    [](const auto& info) { return std::string(info.param.name); });

// With authentication on, the tails follow the last regular member.
TEST_F(Tables, TailsOnlyWithAuthenticationEnabled) {
    set_mw_sys_state_auth_enable(1);
    const auto withTail = [](const std::string& fragment, const std::string& tail) {
        return fragment.substr(0, fragment.size() - 1) + tail + "}";
    };
    EXPECT_EQ(encode(mw_energy_gs_json),
              withTail(kEnergyGs, R"(,"CTRL_SUPL1":0,"CTRL_SUPL2":0,"CTRL_SUPL3":0,"CTRL_SUPL4":0,"CTRL_SUPL5":0,)"
                                  R"("CTRL_SUPL6":0,"CTRL_SUPL1_STATUS":0,"CTRL_SUPL2_STATUS":0,)"
                                  R"("CTRL_SUPL3_STATUS":0,"CTRL_SUPL4_STATUS":0,"CTRL_SUPL5_STATUS":0,)"
                                  R"("CTRL_SUPL6_STATUS":0)"));
    EXPECT_EQ(encode(mw_energy_uav_json), withTail(kEnergyUav, R"(,"EXT_SUPL_U":0,"EXT_SUPL_I":0,"UAV_SUPL_STATUS":0)"));
    EXPECT_EQ(encode(mw_sys_state_json),
              withTail(kSysState, R"(,"NETWORK_STATUS":0,"MEMORY_STATUS":0,"AUTH_ENABLE":1)"));
    EXPECT_EQ(encode(mw_sys_details_json),
              withTail(kDetails, R"(,"MAINTENANCE_COUNTER":0,"RTC_TIME":0,"PRODUCT_CONFIG_TIMESTAMP":0)"));
    // Blocks without a tail are unaffected.
    EXPECT_EQ(encode(mw_cab_json), kCab);
    EXPECT_EQ(encode(mw_env_json), kEnv);

    set_mw_sys_state_auth_enable(0);
    EXPECT_EQ(encode(mw_energy_uav_json), kEnergyUav);
    EXPECT_EQ(encode(mw_sys_details_json), kDetails);
}

TEST_F(Tables, LinkedValuesShowUnderBothBlocks) {
    set_mw_sys_conf_ret_torque(40);
    set_mw_sys_conf_ret_start(65535);
    set_mw_sys_conf_ret_status(2);
    set_mw_sys_conf_activation(1);
    set_mw_energy_gs_bat_status(3);
    EXPECT_EQ(encode(mw_sys_config_json),
              R"("SYSTEM_CONFIG":{"ACTIVATION":1,"RET_STATUS":2,"RET_TORQUE":40,"RET_START":65535})");
    EXPECT_EQ(encode(mw_cab_json), R"("CAB":{"LENGTH":0,"SPEED":0,"TETHER_STATUS":0,"GUIDE_STATUS":0,)"
                                   R"("REEL_STATUS":0,"RET_STATUS":2,"RET_TORQUE":40,"RET_START":65535})");
    const json state = parse(mw_sys_state_json)["SYS_STATE"];
    EXPECT_EQ(state["ACTIVATION"], 1);
    EXPECT_EQ(state["RET_STATUS"], 2);
    EXPECT_EQ(state["BAT_STATUS"], 3);
    EXPECT_EQ(parse(mw_energy_gs_json)["ENERGY_GS"]["BAT_STATUS"], 3);
}

TEST_F(Tables, TimesAreQuotedOnlyInTheProductConfiguration) {
    set_mw_config_product_time_to_maintenance(7);
    set_mw_config_product_timestamp(4294967295u);
    set_mw_sys_details_time_to_maintenance(7);
    const std::string product = encode(mw_config_product_json);
    EXPECT_NE(product.find(R"("TTM":"7","TIMESTAMP":"4294967295","AUTH_KEY")"), std::string::npos) << product;
    const std::string details = encode(mw_sys_details_json);
    EXPECT_NE(details.find(R"("TTM":7,"MAINTENANCE_REQUIRED")"), std::string::npos) << details;
}

TEST_F(Tables, ExtremeNumbersKeepTheirSign) {
    set_mw_env_temp1(-128);
    set_mw_env_temp2(127);
    set_mw_env_hum1(-1);
    set_mw_cab_length(-32768);
    set_mw_cab_speed(32767);
    set_mw_sys_state_flight_time(4294967295u);
    EXPECT_EQ(encode(mw_env_json).substr(0, 50), R"("ENV":{"TEMP1":-128,"TEMP2":127,"TEMP3":-127,"TEMP)");
    EXPECT_NE(encode(mw_env_json).find(R"("HUM1":-1,)"), std::string::npos);
    EXPECT_NE(encode(mw_cab_json).find(R"("LENGTH":-32768,"SPEED":32767,)"), std::string::npos);
    EXPECT_NE(encode(mw_sys_state_json).find(R"("FLIGHT_TIME":4294967295,)"), std::string::npos);
}

// Each setter writes its own key of its own block and nothing else.
struct SetterCase {
    const char* key;
    std::function<void()> set;
    Encoder encoder;
    json value;
};

class Setters : public Tables, public ::testing::WithParamInterface<SetterCase> {};

TEST_P(Setters, WriteExactlyTheirKey) {
    const SetterCase& c = GetParam();
    set_mw_sys_state_auth_enable(1);  // so that the tail keys are written too
    json expected = parse(c.encoder);
    c.set();
    json actual = parse(c.encoder);
    ASSERT_EQ(expected.size(), 1u);
    json& block = expected.begin().value();
    ASSERT_TRUE(block.contains(c.key)) << c.key;
    ASSERT_NE(block[c.key], c.value) << "test value equals the default";
    block[c.key] = c.value;
    EXPECT_EQ(actual, expected) << c.key;
}

#define ROW(key, call, encoder, value) SetterCase{key, [] { call; }, encoder, value}
INSTANTIATE_TEST_SUITE_P(
    Encoders, Setters,
    ::testing::Values(
        ROW("MAIN_CTRL", set_mw_hw_module_status_main_ctrl(1), mw_hw_module_status_json, 1),
        ROW("REEL_CTRL", set_mw_hw_module_status_reel_ctrl(2), mw_hw_module_status_json, 2),
        ROW("LPWR_CTRL", set_mw_hw_module_status_lpwr_ctrl(3), mw_hw_module_status_json, 3),
        ROW("HPWR_CTRL", set_mw_hw_module_status_hpwr_ctrl(4), mw_hw_module_status_json, 4),
        ROW("ENV_CTRL", set_mw_hw_module_status_env_ctrl(5), mw_hw_module_status_json, 5),
        ROW("NET_CTRL", set_mw_hw_module_status_net_ctrl(6), mw_hw_module_status_json, 6),
        ROW("BBAT_CTRL", set_mw_hw_module_status_bbat_ctrl(7), mw_hw_module_status_json, 7),

        ROW("PRODUCT_TYPE", set_mw_config_product_type("pt"), mw_config_product_json, "pt"),
        ROW("MODEL", set_mw_config_product_model("m"), mw_config_product_json, "m"),
        ROW("SN", set_mw_config_product_serial_number("sn"), mw_config_product_json, "sn"),
        ROW("DOP", set_mw_config_product_day_of_production("dop"), mw_config_product_json, "dop"),
        ROW("HW_VERSION", set_mw_config_product_hw_version("hw"), mw_config_product_json, "hw"),
        ROW("UAV_CELL_VOLTAGES", set_mw_config_product_uav_cell_voltages("cv"), mw_config_product_json, "cv"),
        ROW("MAX_POWER", set_mw_config_product_max_power(65535), mw_config_product_json, 65535),
        ROW("CABLE_TYPE", set_mw_config_product_cable_type("ct"), mw_config_product_json, "ct"),
        ROW("MAX_CABLE_LENGTH", set_mw_config_product_max_cable_length(101), mw_config_product_json, 101),
        ROW("NETWORK_TYPE", set_mw_config_product_network_type(102), mw_config_product_json, 102),
        ROW("TTM", set_mw_config_product_time_to_maintenance(103), mw_config_product_json, "103"),
        ROW("TIMESTAMP", set_mw_config_product_timestamp(104), mw_config_product_json, "104"),
        ROW("AUTH_KEY", set_mw_config_product_auth_key("key"), mw_config_product_json, "key"),

        ROW("CAB", set_mw_config_status_cab(0), mw_config_status_json, 0),
        ROW("ENV", set_mw_config_status_env(2), mw_config_status_json, 2),
        ROW("ENERGY_GS", set_mw_config_status_energy_gs(3), mw_config_status_json, 3),
        ROW("ENERGY_UAV", set_mw_config_status_energy_uav(4), mw_config_status_json, 4),
        ROW("SYS_STATE", set_mw_config_status_sys_state(5), mw_config_status_json, 5),
        ROW("HW_MODULE_STATUS", set_mw_config_status_hardware_modules(6), mw_config_status_json, 6),

        ROW("MAIN_CTRL", set_mw_sw_version_main_ctrl("1.0"), mw_sw_version_json, "1.0"),
        ROW("REEL_CTRL", set_mw_sw_version_reel_ctrl("1.1"), mw_sw_version_json, "1.1"),
        ROW("LPWR_CTRL", set_mw_sw_version_lpwr_ctrl("1.2"), mw_sw_version_json, "1.2"),
        ROW("HPWR_CTRL", set_mw_sw_version_hpwr_ctrl("1.3"), mw_sw_version_json, "1.3"),
        ROW("ENV_CTRL", set_mw_sw_version_env_ctrl("1.4"), mw_sw_version_json, "1.4"),
        ROW("NET_CTRL", set_mw_sw_version_net_ctrl("1.5"), mw_sw_version_json, "1.5"),
        ROW("BBAT_CTRL", set_mw_sw_version_bbat_ctrl("1.6"), mw_sw_version_json, "1.6"),

        ROW("PRODUCT_TYPE", set_mw_sys_details_product_type("pt"), mw_sys_details_json, "pt"),
        ROW("MODEL", set_mw_sys_details_model("m"), mw_sys_details_json, "m"),
        ROW("SN", set_mw_sys_details_serial_number("sn"), mw_sys_details_json, "sn"),
        ROW("DOP", set_mw_sys_details_day_of_production("dop"), mw_sys_details_json, "dop"),
        ROW("HW_VERSION", set_mw_sys_details_hw_version("hw"), mw_sys_details_json, "hw"),
        ROW("UAV_CELL_VOLTAGES", set_mw_sys_details_uav_cell_voltages("cv"), mw_sys_details_json, "cv"),
        ROW("MAX_POWER", set_mw_sys_details_max_power(201), mw_sys_details_json, 201),
        ROW("CABLE_TYPE", set_mw_sys_details_cable_type("ct"), mw_sys_details_json, "ct"),
        ROW("MAX_CABLE_LENGTH", set_mw_sys_details_max_cable_length(202), mw_sys_details_json, 202),
        ROW("NETWORK_TYPE", set_mw_sys_details_network_type(203), mw_sys_details_json, 203),
        ROW("FLIGHT_TIME_SUM", set_mw_sys_details_flight_time_sum(204), mw_sys_details_json, 204),
        ROW("FLIGHT_COUNT", set_mw_sys_details_flight_count(205), mw_sys_details_json, 205),
        ROW("OPERATION_TIME_SUM", set_mw_sys_details_operation_time_sum(206), mw_sys_details_json, 206),
        ROW("OPERATION_COUNT", set_mw_sys_details_operation_count(207), mw_sys_details_json, 207),
        ROW("SYSTEM_TIME_SUM", set_mw_sys_details_system_time_sum(208), mw_sys_details_json, 208),
        ROW("SYSTEM_USE_COUNT", set_mw_sys_details_system_use_count(209), mw_sys_details_json, 209),
        ROW("LAST_MAINTENANCE", set_mw_sys_details_maintenance_last_timestamp(210), mw_sys_details_json, 210),
        ROW("TTM", set_mw_sys_details_time_to_maintenance(211), mw_sys_details_json, 211),
        ROW("MAINTENANCE_REQUIRED", set_mw_sys_details_maintenance_required(1), mw_sys_details_json, 1),
        ROW("MAINTENANCE_COUNTER", set_mw_sys_details_maintenance_counter(212), mw_sys_details_json, 212),
        ROW("RTC_TIME", set_mw_sys_details_rtc_time(213), mw_sys_details_json, 213),
        ROW("PRODUCT_CONFIG_TIMESTAMP", set_mw_sys_details_product_config_timestamp(214), mw_sys_details_json,
            214),

        ROW("ACTIVATION", set_mw_sys_conf_activation(1), mw_sys_config_json, 1),
        ROW("RET_STATUS", set_mw_sys_conf_ret_status(2), mw_sys_config_json, 2),
        ROW("RET_TORQUE", set_mw_sys_conf_ret_torque(3), mw_sys_config_json, 3),
        ROW("RET_START", set_mw_sys_conf_ret_start(4), mw_sys_config_json, 4),

        ROW("LENGTH", set_mw_cab_length(-5), mw_cab_json, -5),
        ROW("SPEED", set_mw_cab_speed(-6), mw_cab_json, -6),
        ROW("TETHER_STATUS", set_mw_cab_tether_status(7), mw_cab_json, 7),
        ROW("GUIDE_STATUS", set_mw_cab_guide_status(8), mw_cab_json, 8),
        ROW("REEL_STATUS", set_mw_cab_reel_status(9), mw_cab_json, 9),

        ROW("TEMP1", set_mw_env_temp1(21), mw_env_json, 21),
        ROW("TEMP2", set_mw_env_temp2(-22), mw_env_json, -22),
        ROW("TEMP3", set_mw_env_temp3(23), mw_env_json, 23),
        ROW("TEMP4", set_mw_env_temp4(24), mw_env_json, 24),
        ROW("HUM1", set_mw_env_hum1(55), mw_env_json, 55),
        ROW("PRESS1", set_mw_env_press1(1013), mw_env_json, 1013),
        ROW("ENVSENSOR1_STATUS", set_mw_env_sensor1_status(1), mw_env_json, 1),
        ROW("ENVSENSOR2_STATUS", set_mw_env_sensor2_status(2), mw_env_json, 2),
        ROW("ENVSENSOR3_STATUS", set_mw_env_sensor3_status(3), mw_env_json, 3),
        ROW("ENVSENSOR4_STATUS", set_mw_env_sensor4_status(4), mw_env_json, 4),
        ROW("FAN1_RPM", set_mw_env_fan1(3000), mw_env_json, 3000),
        ROW("FAN2_RPM", set_mw_env_fan2(3100), mw_env_json, 3100),
        ROW("FAN1_STATUS", set_mw_env_fan1_status(5), mw_env_json, 5),
        ROW("FAN2_STATUS", set_mw_env_fan2_status(6), mw_env_json, 6),

        ROW("MAINS_U", set_mw_energy_gs_mains_u(230), mw_energy_gs_json, 230),
        ROW("MAINS_I", set_mw_energy_gs_mains_i(-10), mw_energy_gs_json, -10),
        ROW("MAINS_F", set_mw_energy_gs_mains_f(50000), mw_energy_gs_json, 50000),
        ROW("MAINS_STATUS", set_mw_energy_gs_mains_status(1), mw_energy_gs_json, 1),
        ROW("CTRL_SUPL1", set_mw_energy_gs_ctrl_supl1(-1), mw_energy_gs_json, -1),
        ROW("CTRL_SUPL2", set_mw_energy_gs_ctrl_supl2(-2), mw_energy_gs_json, -2),
        ROW("CTRL_SUPL3", set_mw_energy_gs_ctrl_supl3(-3), mw_energy_gs_json, -3),
        ROW("CTRL_SUPL4", set_mw_energy_gs_ctrl_supl4(-4), mw_energy_gs_json, -4),
        ROW("CTRL_SUPL5", set_mw_energy_gs_ctrl_supl5(-5), mw_energy_gs_json, -5),
        ROW("CTRL_SUPL6", set_mw_energy_gs_ctrl_supl6(-6), mw_energy_gs_json, -6),
        ROW("CTRL_SUPL_STATUS", set_mw_energy_gs_ctrl_supl_status(10), mw_energy_gs_json, 10),
        ROW("CTRL_SUPL1_STATUS", set_mw_energy_gs_ctrl_supl1_status(11), mw_energy_gs_json, 11),
        ROW("CTRL_SUPL2_STATUS", set_mw_energy_gs_ctrl_supl2_status(12), mw_energy_gs_json, 12),
        ROW("CTRL_SUPL3_STATUS", set_mw_energy_gs_ctrl_supl3_status(13), mw_energy_gs_json, 13),
        ROW("CTRL_SUPL4_STATUS", set_mw_energy_gs_ctrl_supl4_status(14), mw_energy_gs_json, 14),
        ROW("CTRL_SUPL5_STATUS", set_mw_energy_gs_ctrl_supl5_status(15), mw_energy_gs_json, 15),
        ROW("CTRL_SUPL6_STATUS", set_mw_energy_gs_ctrl_supl6_status(16), mw_energy_gs_json, 16),
        ROW("BAT_U", set_mw_energy_gs_bat_u(24), mw_energy_gs_json, 24),
        ROW("BAT_STATUS", set_mw_energy_gs_bat_status(0), mw_energy_gs_json, 0),

        ROW("EXT_SUPL_U", set_mw_energy_uav_ext_u(-1), mw_energy_uav_json, -1),
        ROW("EXT_SUPL_I", set_mw_energy_uav_ext_i(-2), mw_energy_uav_json, -2),
        ROW("UAV_SUPL_U", set_mw_energy_uav_uav_u(-3), mw_energy_uav_json, -3),
        ROW("UAV_SUPL_I", set_mw_energy_uav_uav_i(-4), mw_energy_uav_json, -4),
        ROW("EXT_SUPL_STATUS", set_mw_energy_uav_ext_status(5), mw_energy_uav_json, 5),
        ROW("UAV_SUPL_STATUS", set_mw_energy_uav_uav_status(6), mw_energy_uav_json, 6),
        ROW("UAV_CELL_COUNT", set_mw_energy_uav_cell_count(12), mw_energy_uav_json, 12),

        ROW("FLIGHT_TIME", set_mw_sys_state_flight_time(301), mw_sys_state_json, 301),
        ROW("FLIGHT_TIME_OP_SUM", set_mw_sys_state_flight_time_op_sum(302), mw_sys_state_json, 302),
        ROW("FLIGHT_COUNT_OP_SUM", set_mw_sys_state_flight_count_op_sum(303), mw_sys_state_json, 303),
        ROW("OPERATION_TIME", set_mw_sys_state_operation_time(304), mw_sys_state_json, 304),
        ROW("SYSTEM_TIME", set_mw_sys_state_system_time(305), mw_sys_state_json, 305),
        ROW("ERROR", set_mw_sys_state_error(6), mw_sys_state_json, 6),
        ROW("NETWORK_STATUS", set_mw_sys_state_network_status(7), mw_sys_state_json, 7),
        ROW("MEMORY_STATUS", set_mw_sys_state_memory_status(8), mw_sys_state_json, 8),
        ROW("AUTH_ENABLE", set_mw_sys_state_auth_enable(9), mw_sys_state_json, 9),

        ROW("MSG_ID", set_mw_com_msg_id(4242), mw_communication_debug_json, 4242),
        ROW("COM_STATUS", set_mw_com_status(3), mw_communication_debug_json, 3),
        ROW("COM_STATUS_MSG", set_mw_com_status_msg("busy"), mw_communication_debug_json, "busy")));
#undef ROW

// Reporting flags: exactly 1 reports a block; configuration and module states always come.
struct FlagCase {
    const char* block;
    void (*setFlag)(unsigned char);
};

class StatusComposition : public Tables,
                          public ::testing::WithParamInterface<std::tuple<FlagCase, unsigned char>> {};

TEST_P(StatusComposition, FlagOtherThanOneLeavesTheBlockOut) {
    const auto& [flag, value] = GetParam();
    flag.setFlag(value);
    const json status = parse(mw_sys_status_json)["SYSTEM_STATUS"];
    std::vector<std::string> keys;
    for (const auto& member : status.items()) keys.push_back(member.key());
    std::vector<std::string> expected{"CONFIG_STATUS", "HW_MODULE_STATUS", "CAB", "ENV",
                                      "ENERGY_GS",     "ENERGY_UAV",       "SYS_STATE"};
    if (std::string(flag.block) != "HW_MODULE_STATUS")
        expected.erase(std::find(expected.begin(), expected.end(), flag.block));
    std::sort(expected.begin(), expected.end());  // the parsed object lists its keys sorted
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(status["CONFIG_STATUS"][flag.block], value);
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, StatusComposition,
    ::testing::Combine(::testing::Values(FlagCase{"CAB", set_mw_config_status_cab},
                                         FlagCase{"ENV", set_mw_config_status_env},
                                         FlagCase{"ENERGY_GS", set_mw_config_status_energy_gs},
                                         FlagCase{"ENERGY_UAV", set_mw_config_status_energy_uav},
                                         FlagCase{"SYS_STATE", set_mw_config_status_sys_state},
                                         FlagCase{"HW_MODULE_STATUS", set_mw_config_status_hardware_modules}),
                       ::testing::Values<unsigned char>(0, 2, 255)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).block) + "_" + std::to_string(std::get<1>(info.param));
    });

TEST_F(Tables, StatusCommasStayRightWhenBlocksAreLeftOut) {
    set_mw_config_status_env(0);
    const std::string flags =
        R"("CONFIG_STATUS":{"CAB":1,"ENV":0,"ENERGY_GS":1,"ENERGY_UAV":1,"SYS_STATE":1,"HW_MODULE_STATUS":1})";
    EXPECT_EQ(encode(mw_sys_status_json), R"("SYSTEM_STATUS":{)" + flags + "," + kHw + "," + kCab + "," +
                                              kEnergyGs + "," + kEnergyUav + "," + kSysState + "}");
    set_mw_config_status_cab(0);
    set_mw_config_status_energy_gs(2);
    set_mw_config_status_energy_uav(255);
    set_mw_config_status_sys_state(0);
    EXPECT_EQ(encode(mw_sys_status_json),
              R"("SYSTEM_STATUS":{"CONFIG_STATUS":{"CAB":0,"ENV":0,"ENERGY_GS":2,"ENERGY_UAV":255,"SYS_STATE":0,)"
              R"("HW_MODULE_STATUS":1},)" +
                  kHw + "}");
}

TEST_F(Tables, CompleteStatusMessage) {
    std::vector<char> buffer(1 << 13, '\0');
    mw_communication_json(buffer.data());
    jsonDelimiter(buffer.data());
    mw_sys_status_json(buffer.data());
    mw_complete_json(buffer.data());
    EXPECT_EQ(std::string(buffer.data()), R"({"COM":{"MSG_ID":0,"COM_STATUS":0},)" + kStatus + "}");
}

// ---------------------------------------------------------------------------
// Texts

struct CutCase {
    const char* name;
    void (*set)(const char*);
    const char* value;  // the field as stored
    std::size_t size;
};

class TextSetters : public Tables, public ::testing::WithParamInterface<CutCase> {};

TEST_P(TextSetters, LongTextIsCutAndTerminated) {
    const CutCase& c = GetParam();
    const std::string longText(c.size * 4, 'x');
    c.set(longText.c_str());
    EXPECT_EQ(std::string(c.value), std::string(c.size - 1, 'x'));
}

TEST_P(TextSetters, NullStoresTheEmptyText) {
    GetParam().set("something");
    GetParam().set(nullptr);
    EXPECT_STREQ(GetParam().value, "");
}

TEST_P(TextSetters, TextThatFitsIsKeptWhole) {
    const std::string fits(GetParam().size - 1, 'y');
    GetParam().set(fits.c_str());
    EXPECT_EQ(std::string(GetParam().value), fits);
    GetParam().set("short");
    EXPECT_STREQ(GetParam().value, "short");
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, TextSetters,
    ::testing::Values(
        CutCase{"product_type", set_mw_config_product_type, mw_config_product.product_type.value, mw_text_size},
        CutCase{"auth_key", set_mw_config_product_auth_key, mw_config_product.auth_key.value, mw_text_size},
        CutCase{"sw_bbat", set_mw_sw_version_bbat_ctrl, mw_sw_version.bbat_ctrl.value, mw_text_size},
        CutCase{"details_cable", set_mw_sys_details_cable_type, mw_sys_details.cable_type.value, mw_text_size},
        CutCase{"status_msg", set_mw_com_status_msg, mw_communication.com_status_msg.value,
                mw_status_msg_size}),
    [](const auto& info) { return std::string(info.param.name); });

// A cut text must not spill into the entries laid out behind the field.
TEST_F(Tables, CutTextLeavesTheNeighboursAlone) {
    const std::string longText(500, 'z');
    set_mw_config_product_type(longText.c_str());
    set_mw_sys_details_hw_version(longText.c_str());
    set_mw_com_status_msg(longText.c_str());
    EXPECT_STREQ(mw_config_product.model.key, "MODEL");
    EXPECT_STREQ(mw_config_product.model.value, "0");
    EXPECT_EQ(mw_sys_details.sw_version, &mw_sw_version);
    EXPECT_STREQ(mw_sys_details.protocol_version.value, "1.36");
    EXPECT_EQ(json::parse("{" + encode(mw_communication_debug_json) + "}")["COM"]["COM_STATUS_MSG"],
              std::string(255, 'z'));
}

struct EscapeCase {
    std::string text;
    std::string written;
};

class TextEscaping : public Tables, public ::testing::WithParamInterface<EscapeCase> {};

TEST_P(TextEscaping, WrittenAsJsonString) {
    set_mw_sys_details_hw_version(GetParam().text.c_str());
    EXPECT_EQ(encode(mw_system_hw_version_json), R"("SYSTEM_DETAILS":{"HW_VERSION":)" + GetParam().written + "}");
}

INSTANTIATE_TEST_SUITE_P(Encoders, TextEscaping,
                         ::testing::Values(EscapeCase{"V1.2-rc", R"("V1.2-rc")"},
                                           EscapeCase{"a\"b", R"("a\"b")"},
                                           EscapeCase{"C:\\x", R"("C:\\x")"},
                                           EscapeCase{"\b\f\n\r\t", R"("\b\f\n\r\t")"},
                                           EscapeCase{"\x01-\x1f-\x7f", "\"\\u0001-\\u001f-\x7f\""},
                                           // UTF-8 is copied; any other byte >= 0x80 is written as \u00XX,
                                           // since JSON text must be UTF-8 (found by fuzzing).
                                           EscapeCase{"25\xf8" "C \xc2\xb0", "\"25\\u00f8C \xc2\xb0\""},
                                           EscapeCase{"\xf0\x9f\x9a\x81\xe2\x82\xac", "\"\xf0\x9f\x9a\x81\xe2\x82\xac\""},
                                           EscapeCase{"\xc0\x80|\xed\xa0\x80|\xf4\x90|\x80",
                                                      R"("\u00c0\u0080|\u00ed\u00a0\u0080|\u00f4\u0090|\u0080")"}));

// A cut falls before a UTF-8 character it would split; other bytes are cut where they are.
TEST_F(Tables, CutNeverSplitsACharacter) {
    set_mw_sys_details_serial_number((std::string(29, 'x') + "\xe2\x82\xac").c_str());
    set_mw_sys_details_model((std::string(28, 'x') + "\xf0\x9f\x9a\x81").c_str());
    set_mw_sys_details_cable_type((std::string(30, 'x') + "\xf8y").c_str());
    const json details = parse(mw_sys_details_json)["SYSTEM_DETAILS"];
    EXPECT_EQ(details["SN"], std::string(29, 'x'));
    EXPECT_EQ(details["MODEL"], std::string(28, 'x'));
    EXPECT_EQ(details["CABLE_TYPE"], std::string(30, 'x') + "\xc3\xb8");
}

// Every fragment stays parseable JSON whatever the texts hold.
TEST_F(Tables, HostileTextsKeepEveryFragmentParseable) {
    std::string hostile = "\"}\\";
    for (char c = 1; c < 0x20; ++c) hostile += c;
    hostile += "\"";
    for (auto set : {set_mw_config_product_type, set_mw_config_product_model, set_mw_config_product_serial_number,
                     set_mw_config_product_day_of_production, set_mw_config_product_hw_version,
                     set_mw_config_product_uav_cell_voltages, set_mw_config_product_cable_type,
                     set_mw_config_product_auth_key, set_mw_sw_version_main_ctrl, set_mw_sw_version_reel_ctrl,
                     set_mw_sw_version_lpwr_ctrl, set_mw_sw_version_hpwr_ctrl, set_mw_sw_version_env_ctrl,
                     set_mw_sw_version_net_ctrl, set_mw_sw_version_bbat_ctrl, set_mw_sys_details_product_type,
                     set_mw_sys_details_model, set_mw_sys_details_serial_number,
                     set_mw_sys_details_day_of_production, set_mw_sys_details_hw_version,
                     set_mw_sys_details_uav_cell_voltages, set_mw_sys_details_cable_type, set_mw_com_status_msg})
        set(hostile.c_str());
    set_mw_sys_state_auth_enable(1);

    for (Encoder encoder :
         {mw_hw_module_status_json, mw_config_status_json, mw_config_product_json, mw_sw_version_json,
          mw_sys_details_json, mw_system_hw_version_json, mw_system_sw_version_json, mw_system_protocol_json,
          mw_sys_config_json, mw_cab_json, mw_env_json, mw_energy_gs_json, mw_energy_uav_json, mw_sys_state_json,
          mw_sys_status_json, mw_communication_json, mw_communication_debug_json}) {
        EXPECT_NO_THROW(parse(encoder)) << encode(encoder);
    }
    const std::string cut = hostile.substr(0, 31);
    EXPECT_EQ(parse(mw_config_product_json)["CONFIG_PRODUCT"]["AUTH_KEY"], cut);
    EXPECT_EQ(parse(mw_sys_details_json)["SYSTEM_DETAILS"]["SW_VERSION"]["NET_CTRL"], cut);
    EXPECT_EQ(parse(mw_communication_debug_json)["COM"]["COM_STATUS_MSG"], hostile);
}

// ---------------------------------------------------------------------------
// Message helpers

TEST(MessageHelpers, EncodersAppendToTheBuffer) {
    char buffer[256] = "prefix";
    mw_sys_config_json(buffer);
    EXPECT_STREQ(buffer, R"(prefix"SYSTEM_CONFIG":{"ACTIVATION":0,"RET_STATUS":0,"RET_TORQUE":0,"RET_START":0})");
}

TEST(MessageHelpers, DelimiterAndCompletionOnEmptyText) {
    char buffer[8] = {};
    jsonDelimiter(buffer);
    EXPECT_STREQ(buffer, ",");
    jsonDelimiter(buffer);
    EXPECT_STREQ(buffer, ",,");
    char empty[3] = {'\0', 'x', 'x'};
    mw_complete_json(empty);
    EXPECT_EQ(std::string(empty, 3), std::string("{}\0", 3));
}

// Far beyond any fixed working buffer: only the two braces of room are needed.
TEST(MessageHelpers, CompletionOfLongTextUsesOnlyTheRoomOfTwoBraces) {
    const std::size_t length = 10000;
    std::vector<char> buffer(length + 3 + 1, '#');  // the last byte guards the end
    for (std::size_t i = 0; i < length; ++i) buffer[i] = static_cast<char>('a' + i % 26);
    buffer[length] = '\0';
    const std::string before(buffer.data());
    mw_complete_json(buffer.data());
    EXPECT_EQ(std::string(buffer.data()), "{" + before + "}");
    EXPECT_EQ(buffer[length + 3], '#');
}

}  // namespace
