// The protocol tables: list ends, block wiring, links and the defaults a fresh
// process starts with.
#include "MoorwinchProtocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> walk(const char* const* list) {
    std::vector<std::string> keys;
    for (; *list; ++list) keys.emplace_back(*list);
    return keys;
}

struct ListCase {
    const char* name;
    const char* const* list;
    std::vector<std::string> keys;
};

class KeyLists : public ::testing::TestWithParam<ListCase> {};

TEST_P(KeyLists, WalkStopsAtTheNullEntryAfterTheKeys) { EXPECT_EQ(walk(GetParam().list), GetParam().keys); }

INSTANTIATE_TEST_SUITE_P(
    Vocabulary, KeyLists,
    ::testing::Values(
        ListCase{"command",
                 mw_command_list,
                 {"GET_SYSTEM_STATUS", "GET_SYSTEM_CONFIG", "GET_SYSTEM_DETAILS", "GET_HWVERSION", "GET_SWVERSION",
                  "GET_PROTOCOL", "SET_ACTIVATION", "SET_RET_TORQUE", "SET_RET_START", "SET_AUTH", "SET_TIME",
                  "RESET_TTM", "RESET_COUNTERS", "CONFIG_PRODUCT", "CONFIG_STATUS"}},
        ListCase{"sys_status",
                 mw_sys_status_list,
                 {"CAB", "ENV", "ENERGY_GS", "ENERGY_UAV", "SYS_STATE", "CONFIG_STATUS", "HW_MODULE_STATUS"}},
        ListCase{"sys_config", mw_sys_config_list, {"ACTIVATION", "RET_STATUS", "RET_TORQUE", "RET_START"}},
        ListCase{"objects",
                 mw_objects_list,
                 {"SYSTEM_DETAILS", "SYSTEM_CONFIG", "SYSTEM_STATUS", "COMMAND", "COM", "LOGS"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Vocabulary, ObjectIndicesAreFixedAndMatchTheObjectList) {
    const std::vector<std::string> expected{"SYSTEM_DETAILS", "SYSTEM_CONFIG", "SYSTEM_STATUS", "COMMAND", "COM",
                                            "LOGS"};
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(mw_objects[i], expected[i]) << i;
    EXPECT_STREQ(mw_logs[0], "LOGS");
    EXPECT_STREQ(mw_objects[4], mw_communication.key);
    EXPECT_STREQ(mw_objects[3], mw_command.key);
}

// The status block reaches its sub-blocks in the order of the status key list,
// and the command table reaches the two configuration blocks under their list keys.
TEST(Vocabulary, BlockPointersReachTheBlocksInListOrder) {
    const char* const reached[] = {mw_sys_status.cab->key,           mw_sys_status.env->key,
                                   mw_sys_status.energy_gs->key,     mw_sys_status.energy_uav->key,
                                   mw_sys_status.sys_state->key,     mw_sys_status.config_status->key,
                                   mw_sys_status.hw_module_status->key};
    for (std::size_t i = 0; i < 7; ++i) EXPECT_STREQ(reached[i], mw_sys_status_list[i]) << i;
    EXPECT_EQ(mw_sys_status.cab, &mw_cab);
    EXPECT_EQ(mw_sys_status.sys_state, &mw_sys_state);
    EXPECT_EQ(mw_command.config_product, &mw_config_product);
    EXPECT_EQ(mw_command.config_status, &mw_config_status);
    EXPECT_STREQ(mw_command.config_product->key, mw_command_list[13]);
    EXPECT_STREQ(mw_command.config_status->key, mw_command_list[14]);
    EXPECT_EQ(mw_config_product.hw_module_status, &mw_hw_module_status);
    EXPECT_EQ(mw_sys_details.sw_version, &mw_sw_version);
}

// A value behind a link exists once: writing the configuration slot shows under
// the linked keys of CAB and SYS_STATE.
class Links : public ::testing::Test {
protected:
    void TearDown() override {
        mw_sys_config = savedConfig_;
        mw_energy_gs = savedEnergy_;
    }

private:
    mw_sys_config_t savedConfig_ = mw_sys_config;
    mw_energy_gs_t savedEnergy_ = mw_energy_gs;
};

TEST_F(Links, ConfigurationAndBatteryShowThroughTheLinkedEntries) {
    mw_sys_config.ret_torque.value = 40;
    mw_sys_config.ret_start.value = 1234;
    mw_sys_config.ret_status.value = 3;
    mw_sys_config.activation.value = 1;
    mw_energy_gs.bat_status.value = 7;

    EXPECT_EQ(*mw_cab.ret_torque.value, 40);
    EXPECT_EQ(*mw_cab.ret_start.value, 1234);
    EXPECT_EQ(*mw_cab.ret_status.value, 3);
    EXPECT_EQ(*mw_sys_state.ret_status.value, 3);
    EXPECT_EQ(*mw_sys_state.activation.value, 1);
    EXPECT_EQ(*mw_sys_state.bat_status.value, 7);
    EXPECT_STREQ(mw_cab.ret_torque.key, "RET_TORQUE");
    EXPECT_STREQ(mw_sys_state.bat_status.key, "BAT_STATUS");
}

TEST(Vocabulary, DefaultsBeforeAnySetter) {
    for (const auto* t : {&mw_env.temp1, &mw_env.temp2, &mw_env.temp3, &mw_env.temp4}) {
        EXPECT_EQ(t->value, -127) << t->key;
        EXPECT_EQ(static_cast<std::uint8_t>(t->value), 0x81) << t->key;
    }
    EXPECT_EQ(mw_energy_gs.bat_u.value, 255);
    EXPECT_EQ(mw_energy_gs.bat_status.value, 255);
    EXPECT_EQ(*mw_sys_state.bat_status.value, 255);
    const mw_hw_module_status_t& hw = mw_hw_module_status;
    for (const auto* m : {&hw.main_ctrl, &hw.reel_ctrl, &hw.lpwr_ctrl, &hw.hpwr_ctrl, &hw.env_ctrl, &hw.net_ctrl,
                          &hw.bbat_ctrl})
        EXPECT_EQ(m->value, 255) << m->key;
    const mw_config_status_t& cs = mw_config_status;
    for (const auto* f : {&cs.cab, &cs.env, &cs.energy_gs, &cs.energy_uav, &cs.sys_state, &cs.hw_module_status})
        EXPECT_EQ(f->value, 1) << f->key;

    const mw_sys_details_t& d = mw_sys_details;
    const mw_sw_version_t& sw = mw_sw_version;
    const mw_config_product_t& p = mw_config_product;
    for (const auto* t : {&d.product_type, &d.model, &d.sn, &d.dop, &d.hw_version, &d.uav_cell_voltages,
                          &d.cable_type, &sw.main_ctrl, &sw.reel_ctrl, &sw.lpwr_ctrl, &sw.hpwr_ctrl, &sw.env_ctrl,
                          &sw.net_ctrl, &sw.bbat_ctrl, &p.product_type, &p.model, &p.sn, &p.dop, &p.hw_version,
                          &p.uav_cell_voltages, &p.cable_type})
        EXPECT_STREQ(t->value, "0") << t->key;
    EXPECT_STREQ(d.protocol_version.value, "1.36");
    for (char c : p.auth_key.value) EXPECT_EQ(c, '\0');
    EXPECT_STREQ(mw_communication.com_status_msg.value, "");

    // The query commands are sent with the table's value 1.
    for (const auto* q : {&mw_command.get_system_status, &mw_command.get_system_config,
                          &mw_command.get_system_details, &mw_command.get_protocol})
        EXPECT_EQ(q->value, 1) << q->key;
    EXPECT_STREQ(mw_command.reset_ttm.value, "2592000");
    for (unsigned char b : mw_command.set_auth.value) EXPECT_EQ(b, 0);
    for (unsigned char b : mw_command.set_time.value) EXPECT_EQ(b, 0);
}

}  // namespace
