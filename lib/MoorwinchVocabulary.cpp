// The protocol tables with their static defaults. Everything here is constant
// initialised: no code runs before main to set the tables up, so they are valid
// from program start in any translation unit.
#include "MoorwinchProtocol.h"

const char* const mw_objects_list[7] = {"SYSTEM_DETAILS", "SYSTEM_CONFIG", "SYSTEM_STATUS", "COMMAND",
                                        "COM",            "LOGS",          nullptr};
const char* const mw_objects[6] = {"SYSTEM_DETAILS", "SYSTEM_CONFIG", "SYSTEM_STATUS", "COMMAND", "COM", "LOGS"};
const char* const mw_logs[1] = {"LOGS"};
const char* const mw_command_list[16] = {
    "GET_SYSTEM_STATUS", "GET_SYSTEM_CONFIG", "GET_SYSTEM_DETAILS", "GET_HWVERSION", "GET_SWVERSION",
    "GET_PROTOCOL",      "SET_ACTIVATION",    "SET_RET_TORQUE",     "SET_RET_START", "SET_AUTH",
    "SET_TIME",          "RESET_TTM",         "RESET_COUNTERS",     "CONFIG_PRODUCT", "CONFIG_STATUS",
    nullptr};
const char* const mw_sys_status_list[8] = {"CAB",       "ENV",           "ENERGY_GS",        "ENERGY_UAV",
                                           "SYS_STATE", "CONFIG_STATUS", "HW_MODULE_STATUS", nullptr};
const char* const mw_sys_config_list[5] = {"ACTIVATION", "RET_STATUS", "RET_TORQUE", "RET_START", nullptr};

mw_communication_t mw_communication = {"COM", {"MSG_ID", 0}, {"COM_STATUS", 0}, {"COM_STATUS_MSG", ""}};

mw_hw_module_status_t mw_hw_module_status = {
    "HW_MODULE_STATUS", {"MAIN_CTRL", 255}, {"REEL_CTRL", 255}, {"LPWR_CTRL", 255}, {"HPWR_CTRL", 255},
    {"ENV_CTRL", 255},  {"NET_CTRL", 255},  {"BBAT_CTRL", 255}};

mw_config_status_t mw_config_status = {"CONFIG_STATUS",  {"CAB", 1},       {"ENV", 1},
                                       {"ENERGY_GS", 1}, {"ENERGY_UAV", 1}, {"SYS_STATE", 1},
                                       {"HW_MODULE_STATUS", 1}};

mw_config_product_t mw_config_product = {"CONFIG_PRODUCT",
                                         {"PRODUCT_TYPE", "0"},
                                         {"MODEL", "0"},
                                         {"SN", "0"},
                                         {"DOP", "0"},
                                         {"HW_VERSION", "0"},
                                         {"UAV_CELL_VOLTAGES", "0"},
                                         {"MAX_POWER", 0},
                                         {"CABLE_TYPE", "0"},
                                         {"MAX_CABLE_LENGTH", 0},
                                         {"NETWORK_TYPE", 0},
                                         {"TTM", 0},
                                         {"TIMESTAMP", 0},
                                         {"AUTH_KEY", ""},
                                         &mw_hw_module_status};

mw_command_t mw_command = {"COMMAND",
                           {"GET_SYSTEM_STATUS", 1},
                           {"GET_SYSTEM_CONFIG", 1},
                           {"GET_SYSTEM_DETAILS", 1},
                           {"GET_HWVERSION", 1},
                           {"GET_SWVERSION", 1},
                           {"GET_PROTOCOL", 1},
                           {"SET_ACTIVATION", 0},
                           {"SET_RET_TORQUE", 0},
                           {"SET_RET_START", 0},
                           {"SET_AUTH", {}},
                           {"SET_TIME", {}},
                           {"RESET_TTM", "2592000"},
                           {"RESET_COUNTERS", 1},
                           &mw_config_product,
                           &mw_config_status};

mw_sys_config_t mw_sys_config = {"SYSTEM_CONFIG", {"ACTIVATION", 0}, {"RET_STATUS", 0}, {"RET_TORQUE", 0},
                                 {"RET_START", 0}};

mw_cab_t mw_cab = {"CAB",
                   {"LENGTH", 0},
                   {"SPEED", 0},
                   {"TETHER_STATUS", 0},
                   {"GUIDE_STATUS", 0},
                   {"REEL_STATUS", 0},
                   {"RET_STATUS", &mw_sys_config.ret_status.value},
                   {"RET_TORQUE", &mw_sys_config.ret_torque.value},
                   {"RET_START", &mw_sys_config.ret_start.value}};

// The temperature default is the byte 0x81: -127 as a signed 8-bit value.
mw_env_t mw_env = {"ENV",
                   {"TEMP1", -127},
                   {"TEMP2", -127},
                   {"TEMP3", -127},
                   {"TEMP4", -127},
                   {"HUM1", 0},
                   {"PRESS1", 0},
                   {"ENVSENSOR1_STATUS", 0},
                   {"ENVSENSOR2_STATUS", 0},
                   {"ENVSENSOR3_STATUS", 0},
                   {"ENVSENSOR4_STATUS", 0},
                   {"FAN1_RPM", 0},
                   {"FAN2_RPM", 0},
                   {"FAN1_STATUS", 0},
                   {"FAN2_STATUS", 0}};

mw_energy_gs_t mw_energy_gs = {"ENERGY_GS",
                               {"MAINS_U", 0},
                               {"MAINS_I", 0},
                               {"MAINS_F", 0},
                               {"MAINS_STATUS", 0},
                               {"CTRL_SUPL1", 0},
                               {"CTRL_SUPL2", 0},
                               {"CTRL_SUPL3", 0},
                               {"CTRL_SUPL4", 0},
                               {"CTRL_SUPL5", 0},
                               {"CTRL_SUPL6", 0},
                               {"CTRL_SUPL_STATUS", 0},
                               {"CTRL_SUPL1_STATUS", 0},
                               {"CTRL_SUPL2_STATUS", 0},
                               {"CTRL_SUPL3_STATUS", 0},
                               {"CTRL_SUPL4_STATUS", 0},
                               {"CTRL_SUPL5_STATUS", 0},
                               {"CTRL_SUPL6_STATUS", 0},
                               {"BAT_U", 255},
                               {"BAT_STATUS", 255}};

mw_energy_uav_t mw_energy_uav = {"ENERGY_UAV",           {"EXT_SUPL_U", 0},      {"EXT_SUPL_I", 0},
                                 {"UAV_SUPL_U", 0},      {"UAV_SUPL_I", 0},      {"EXT_SUPL_STATUS", 0},
                                 {"UAV_SUPL_STATUS", 0}, {"UAV_CELL_COUNT", 0}};

mw_sys_state_t mw_sys_state = {"SYS_STATE",
                               {"ACTIVATION", &mw_sys_config.activation.value},
                               {"RET_STATUS", &mw_sys_config.ret_status.value},
                               {"BAT_STATUS", &mw_energy_gs.bat_status.value},
                               {"FLIGHT_TIME", 0},
                               {"FLIGHT_TIME_OP_SUM", 0},
                               {"FLIGHT_COUNT_OP_SUM", 0},
                               {"OPERATION_TIME", 0},
                               {"SYSTEM_TIME", 0},
                               {"ERROR", 0},
                               {"NETWORK_STATUS", 0},
                               {"MEMORY_STATUS", 0},
                               {"AUTH_ENABLE", 0}};

mw_sys_status_t mw_sys_status = {"SYSTEM_STATUS", &mw_cab,           &mw_env,           &mw_energy_gs,
                                 &mw_energy_uav,  &mw_sys_state,     &mw_config_status, &mw_hw_module_status};

mw_sw_version_t mw_sw_version = {"SW_VERSION",       {"MAIN_CTRL", "0"}, {"REEL_CTRL", "0"}, {"LPWR_CTRL", "0"},
                                 {"HPWR_CTRL", "0"}, {"ENV_CTRL", "0"},  {"NET_CTRL", "0"},  {"BBAT_CTRL", "0"}};

mw_sys_details_t mw_sys_details = {"SYSTEM_DETAILS",
                                   {"PRODUCT_TYPE", "0"},
                                   {"MODEL", "0"},
                                   {"SN", "0"},
                                   {"DOP", "0"},
                                   {"HW_VERSION", "0"},
                                   &mw_sw_version,
                                   {"PROTOCOL_VERSION", "1.36"},
                                   {"UAV_CELL_VOLTAGES", "0"},
                                   {"MAX_POWER", 0},
                                   {"CABLE_TYPE", "0"},
                                   {"MAX_CABLE_LENGTH", 0},
                                   {"NETWORK_TYPE", 0},
                                   {"FLIGHT_TIME_SUM", 0},
                                   {"FLIGHT_COUNT", 0},
                                   {"OPERATION_TIME_SUM", 0},
                                   {"OPERATION_COUNT", 0},
                                   {"SYSTEM_TIME_SUM", 0},
                                   {"SYSTEM_USE_COUNT", 0},
                                   {"LAST_MAINTENANCE", 0},
                                   {"TTM", 0},
                                   {"MAINTENANCE_REQUIRED", 0},
                                   {"MAINTENANCE_COUNTER", 0},
                                   {"RTC_TIME", 0},
                                   {"PRODUCT_CONFIG_TIMESTAMP", 0}};
