// The serial protocol's vocabulary as process-wide tables, and the record
// encoders that fill the tables' value slots and write each block as JSON.
//
// Each block table is a struct whose first member is the block key, followed by
// one entry per field in protocol order. An entry holds its key text and either
// a value slot with a static default, or a link (a pointer to the slot of an
// entry of another block, so the value exists once and shows under both).
// Key texts, links and block pointers never change; only the setters below
// change value slots. Nothing here is guarded by a lock: a program that uses the
// setters and encoders from several threads serialises them itself.
#ifndef KORVANE_MOORWINCH_PROTOCOL_H
#define KORVANE_MOORWINCH_PROTOCOL_H

#include <cstddef>
#include <cstdint>

#include "MoorwinchExport.h"

struct mw_entry_u8 { const char* key; std::uint8_t value; };
struct mw_entry_i8 { const char* key; std::int8_t value; };
struct mw_entry_u16 { const char* key; std::uint16_t value; };
struct mw_entry_i16 { const char* key; std::int16_t value; };
struct mw_entry_u32 { const char* key; std::uint32_t value; };
struct mw_entry_i32 { const char* key; std::int32_t value; };
template <std::size_t N> struct mw_entry_text { const char* key; char value[N]; };
template <std::size_t N> struct mw_entry_bytes { const char* key; unsigned char value[N]; };
struct mw_entry_const_text { const char* key; const char* value; };
struct mw_link_u8 { const char* key; std::uint8_t* value; };
struct mw_link_u16 { const char* key; std::uint16_t* value; };

// Capacity of the text fields, terminator included.
constexpr std::size_t mw_text_size = 32;
constexpr std::size_t mw_status_msg_size = 256;

struct mw_communication_t {
    const char* key;  // "COM"
    mw_entry_u16 msg_id;
    mw_entry_u16 com_status;
    mw_entry_text<mw_status_msg_size> com_status_msg;
};

struct mw_hw_module_status_t {
    const char* key;  // "HW_MODULE_STATUS"
    mw_entry_u8 main_ctrl, reel_ctrl, lpwr_ctrl, hpwr_ctrl, env_ctrl, net_ctrl, bbat_ctrl;
};

struct mw_config_status_t {
    const char* key;  // "CONFIG_STATUS"
    mw_entry_u8 cab, env, energy_gs, energy_uav, sys_state, hw_module_status;
};

struct mw_config_product_t {
    const char* key;  // "CONFIG_PRODUCT"
    mw_entry_text<mw_text_size> product_type, model, sn, dop, hw_version, uav_cell_voltages;
    mw_entry_u16 max_power;
    mw_entry_text<mw_text_size> cable_type;
    mw_entry_u16 max_cable_length, network_type;
    mw_entry_u32 ttm, timestamp;
    mw_entry_text<mw_text_size> auth_key;
    mw_hw_module_status_t* hw_module_status;
};

struct mw_command_t {
    const char* key;  // "COMMAND"
    mw_entry_u8 get_system_status, get_system_config, get_system_details;
    mw_entry_i32 get_hwversion, get_swversion;
    mw_entry_u8 get_protocol;
    mw_entry_i32 set_activation, set_ret_torque, set_ret_start;
    mw_entry_bytes<64> set_auth;
    mw_entry_bytes<16> set_time;
    mw_entry_text<8> reset_ttm;
    mw_entry_i32 reset_counters;
    mw_config_product_t* config_product;
    mw_config_status_t* config_status;
};

struct mw_sys_config_t {
    const char* key;  // "SYSTEM_CONFIG"
    mw_entry_u8 activation, ret_status;
    mw_entry_u16 ret_torque, ret_start;
};

struct mw_cab_t {
    const char* key;  // "CAB"
    mw_entry_i16 length, speed;
    mw_entry_u8 tether_status, guide_status, reel_status;
    mw_link_u8 ret_status;
    mw_link_u16 ret_torque, ret_start;
};

struct mw_env_t {
    const char* key;  // "ENV"
    mw_entry_i8 temp1, temp2, temp3, temp4, hum1;
    mw_entry_u16 press1;
    mw_entry_u8 envsensor1_status, envsensor2_status, envsensor3_status, envsensor4_status;
    mw_entry_u16 fan1_rpm, fan2_rpm;
    mw_entry_u8 fan1_status, fan2_status;
};

struct mw_energy_gs_t {
    const char* key;  // "ENERGY_GS"
    mw_entry_i16 mains_u, mains_i;
    mw_entry_u16 mains_f;
    mw_entry_u8 mains_status;
    mw_entry_i16 ctrl_supl1, ctrl_supl2, ctrl_supl3, ctrl_supl4, ctrl_supl5, ctrl_supl6;
    mw_entry_u8 ctrl_supl_status;
    mw_entry_u8 ctrl_supl1_status, ctrl_supl2_status, ctrl_supl3_status, ctrl_supl4_status, ctrl_supl5_status,
        ctrl_supl6_status;
    mw_entry_u8 bat_u, bat_status;
};

struct mw_energy_uav_t {
    const char* key;  // "ENERGY_UAV"
    mw_entry_i16 ext_supl_u, ext_supl_i, uav_supl_u, uav_supl_i;
    mw_entry_u8 ext_supl_status, uav_supl_status, uav_cell_count;
};

struct mw_sys_state_t {
    const char* key;  // "SYS_STATE"
    mw_link_u8 activation, ret_status, bat_status;
    mw_entry_u32 flight_time, flight_time_op_sum, flight_count_op_sum, operation_time, system_time;
    mw_entry_u8 error, network_status, memory_status, auth_enable;
};

struct mw_sys_status_t {
    const char* key;  // "SYSTEM_STATUS"
    mw_cab_t* cab;
    mw_env_t* env;
    mw_energy_gs_t* energy_gs;
    mw_energy_uav_t* energy_uav;
    mw_sys_state_t* sys_state;
    mw_config_status_t* config_status;
    mw_hw_module_status_t* hw_module_status;
};

struct mw_sw_version_t {
    const char* key;  // "SW_VERSION"
    mw_entry_text<mw_text_size> main_ctrl, reel_ctrl, lpwr_ctrl, hpwr_ctrl, env_ctrl, net_ctrl, bbat_ctrl;
};

struct mw_sys_details_t {
    const char* key;  // "SYSTEM_DETAILS"
    mw_entry_text<mw_text_size> product_type, model, sn, dop, hw_version;
    mw_sw_version_t* sw_version;
    mw_entry_const_text protocol_version;
    mw_entry_text<mw_text_size> uav_cell_voltages;
    mw_entry_u16 max_power;
    mw_entry_text<mw_text_size> cable_type;
    mw_entry_u16 max_cable_length, network_type;
    mw_entry_u32 flight_time_sum, flight_count, operation_time_sum, operation_count, system_time_sum,
        system_use_count, last_maintenance, ttm;
    mw_entry_u8 maintenance_required, maintenance_counter;
    mw_entry_u32 rtc_time, product_config_timestamp;
};

// Key lists. The *_list tables end with a null entry; mw_objects has exactly six
// entries: 0 "SYSTEM_DETAILS", 1 "SYSTEM_CONFIG", 2 "SYSTEM_STATUS", 3 "COMMAND", 4 "COM", 5 "LOGS".
extern MOORWINCH_EXPORT const char* const mw_objects_list[7];
extern MOORWINCH_EXPORT const char* const mw_objects[6];
extern MOORWINCH_EXPORT const char* const mw_logs[1];
extern MOORWINCH_EXPORT const char* const mw_command_list[16];
extern MOORWINCH_EXPORT const char* const mw_sys_status_list[8];
extern MOORWINCH_EXPORT const char* const mw_sys_config_list[5];

extern MOORWINCH_EXPORT mw_communication_t mw_communication;
extern MOORWINCH_EXPORT mw_command_t mw_command;
extern MOORWINCH_EXPORT mw_sys_status_t mw_sys_status;
extern MOORWINCH_EXPORT mw_cab_t mw_cab;
extern MOORWINCH_EXPORT mw_env_t mw_env;
extern MOORWINCH_EXPORT mw_energy_gs_t mw_energy_gs;
extern MOORWINCH_EXPORT mw_energy_uav_t mw_energy_uav;
extern MOORWINCH_EXPORT mw_sys_state_t mw_sys_state;
extern MOORWINCH_EXPORT mw_config_status_t mw_config_status;
extern MOORWINCH_EXPORT mw_hw_module_status_t mw_hw_module_status;
extern MOORWINCH_EXPORT mw_sys_config_t mw_sys_config;
extern MOORWINCH_EXPORT mw_sw_version_t mw_sw_version;
extern MOORWINCH_EXPORT mw_sys_details_t mw_sys_details;
extern MOORWINCH_EXPORT mw_config_product_t mw_config_product;

// ---------------------------------------------------------------------------
// Setters: each stores one value into one slot. Text setters cut a text that is
// longer than the field (31 characters; 255 for "COM_STATUS_MSG"), never inside
// a UTF-8 character, and always leave it terminated.

MOORWINCH_EXPORT void set_mw_hw_module_status_main_ctrl(unsigned char value);
MOORWINCH_EXPORT void set_mw_hw_module_status_reel_ctrl(unsigned char value);
MOORWINCH_EXPORT void set_mw_hw_module_status_lpwr_ctrl(unsigned char value);
MOORWINCH_EXPORT void set_mw_hw_module_status_hpwr_ctrl(unsigned char value);
MOORWINCH_EXPORT void set_mw_hw_module_status_env_ctrl(unsigned char value);
MOORWINCH_EXPORT void set_mw_hw_module_status_net_ctrl(unsigned char value);
MOORWINCH_EXPORT void set_mw_hw_module_status_bbat_ctrl(unsigned char value);

MOORWINCH_EXPORT void set_mw_config_product_type(const char* value);
MOORWINCH_EXPORT void set_mw_config_product_model(const char* value);
MOORWINCH_EXPORT void set_mw_config_product_serial_number(const char* value);
MOORWINCH_EXPORT void set_mw_config_product_day_of_production(const char* value);
MOORWINCH_EXPORT void set_mw_config_product_hw_version(const char* value);
MOORWINCH_EXPORT void set_mw_config_product_uav_cell_voltages(const char* value);
MOORWINCH_EXPORT void set_mw_config_product_max_power(unsigned short value);
MOORWINCH_EXPORT void set_mw_config_product_cable_type(const char* value);
MOORWINCH_EXPORT void set_mw_config_product_max_cable_length(unsigned short value);
MOORWINCH_EXPORT void set_mw_config_product_network_type(unsigned short value);
MOORWINCH_EXPORT void set_mw_config_product_time_to_maintenance(unsigned int value);
MOORWINCH_EXPORT void set_mw_config_product_timestamp(unsigned int value);
MOORWINCH_EXPORT void set_mw_config_product_auth_key(const char* value);

MOORWINCH_EXPORT void set_mw_config_status_cab(unsigned char value);
MOORWINCH_EXPORT void set_mw_config_status_env(unsigned char value);
MOORWINCH_EXPORT void set_mw_config_status_energy_gs(unsigned char value);
MOORWINCH_EXPORT void set_mw_config_status_energy_uav(unsigned char value);
MOORWINCH_EXPORT void set_mw_config_status_sys_state(unsigned char value);
MOORWINCH_EXPORT void set_mw_config_status_hardware_modules(unsigned char value);

MOORWINCH_EXPORT void set_mw_sw_version_main_ctrl(const char* value);
MOORWINCH_EXPORT void set_mw_sw_version_reel_ctrl(const char* value);
MOORWINCH_EXPORT void set_mw_sw_version_lpwr_ctrl(const char* value);
MOORWINCH_EXPORT void set_mw_sw_version_hpwr_ctrl(const char* value);
MOORWINCH_EXPORT void set_mw_sw_version_env_ctrl(const char* value);
MOORWINCH_EXPORT void set_mw_sw_version_net_ctrl(const char* value);
MOORWINCH_EXPORT void set_mw_sw_version_bbat_ctrl(const char* value);

MOORWINCH_EXPORT void set_mw_sys_details_product_type(const char* value);
MOORWINCH_EXPORT void set_mw_sys_details_model(const char* value);
MOORWINCH_EXPORT void set_mw_sys_details_serial_number(const char* value);
MOORWINCH_EXPORT void set_mw_sys_details_day_of_production(const char* value);
MOORWINCH_EXPORT void set_mw_sys_details_hw_version(const char* value);
MOORWINCH_EXPORT void set_mw_sys_details_uav_cell_voltages(const char* value);
MOORWINCH_EXPORT void set_mw_sys_details_max_power(unsigned short value);
MOORWINCH_EXPORT void set_mw_sys_details_cable_type(const char* value);
MOORWINCH_EXPORT void set_mw_sys_details_max_cable_length(unsigned short value);
MOORWINCH_EXPORT void set_mw_sys_details_network_type(unsigned short value);
MOORWINCH_EXPORT void set_mw_sys_details_flight_time_sum(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_details_flight_count(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_details_operation_time_sum(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_details_operation_count(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_details_system_time_sum(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_details_system_use_count(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_details_maintenance_last_timestamp(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_details_time_to_maintenance(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_details_maintenance_required(unsigned char value);
MOORWINCH_EXPORT void set_mw_sys_details_maintenance_counter(unsigned char value);
MOORWINCH_EXPORT void set_mw_sys_details_rtc_time(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_details_product_config_timestamp(unsigned int value);

MOORWINCH_EXPORT void set_mw_sys_conf_activation(unsigned char value);
MOORWINCH_EXPORT void set_mw_sys_conf_ret_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_sys_conf_ret_torque(unsigned short value);
MOORWINCH_EXPORT void set_mw_sys_conf_ret_start(unsigned short value);

MOORWINCH_EXPORT void set_mw_cab_length(short value);
MOORWINCH_EXPORT void set_mw_cab_speed(short value);
MOORWINCH_EXPORT void set_mw_cab_tether_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_cab_guide_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_cab_reel_status(unsigned char value);

MOORWINCH_EXPORT void set_mw_env_temp1(signed char value);
MOORWINCH_EXPORT void set_mw_env_temp2(signed char value);
MOORWINCH_EXPORT void set_mw_env_temp3(signed char value);
MOORWINCH_EXPORT void set_mw_env_temp4(signed char value);
MOORWINCH_EXPORT void set_mw_env_hum1(signed char value);
MOORWINCH_EXPORT void set_mw_env_press1(unsigned short value);
MOORWINCH_EXPORT void set_mw_env_sensor1_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_env_sensor2_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_env_sensor3_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_env_sensor4_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_env_fan1(unsigned short value);
MOORWINCH_EXPORT void set_mw_env_fan2(unsigned short value);
MOORWINCH_EXPORT void set_mw_env_fan1_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_env_fan2_status(unsigned char value);

MOORWINCH_EXPORT void set_mw_energy_gs_mains_u(short value);
MOORWINCH_EXPORT void set_mw_energy_gs_mains_i(short value);
MOORWINCH_EXPORT void set_mw_energy_gs_mains_f(unsigned short value);
MOORWINCH_EXPORT void set_mw_energy_gs_mains_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_energy_gs_ctrl_supl1(short value);
MOORWINCH_EXPORT void set_mw_energy_gs_ctrl_supl2(short value);
MOORWINCH_EXPORT void set_mw_energy_gs_ctrl_supl3(short value);
MOORWINCH_EXPORT void set_mw_energy_gs_ctrl_supl4(short value);
MOORWINCH_EXPORT void set_mw_energy_gs_ctrl_supl5(short value);
MOORWINCH_EXPORT void set_mw_energy_gs_ctrl_supl6(short value);
MOORWINCH_EXPORT void set_mw_energy_gs_ctrl_supl_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_energy_gs_ctrl_supl1_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_energy_gs_ctrl_supl2_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_energy_gs_ctrl_supl3_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_energy_gs_ctrl_supl4_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_energy_gs_ctrl_supl5_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_energy_gs_ctrl_supl6_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_energy_gs_bat_u(unsigned char value);
MOORWINCH_EXPORT void set_mw_energy_gs_bat_status(unsigned char value);

MOORWINCH_EXPORT void set_mw_energy_uav_ext_u(short value);
MOORWINCH_EXPORT void set_mw_energy_uav_ext_i(short value);
MOORWINCH_EXPORT void set_mw_energy_uav_uav_u(short value);
MOORWINCH_EXPORT void set_mw_energy_uav_uav_i(short value);
MOORWINCH_EXPORT void set_mw_energy_uav_ext_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_energy_uav_uav_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_energy_uav_cell_count(unsigned char value);

MOORWINCH_EXPORT void set_mw_sys_state_flight_time(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_state_flight_time_op_sum(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_state_flight_count_op_sum(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_state_operation_time(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_state_system_time(unsigned int value);
MOORWINCH_EXPORT void set_mw_sys_state_error(unsigned char value);
MOORWINCH_EXPORT void set_mw_sys_state_network_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_sys_state_memory_status(unsigned char value);
MOORWINCH_EXPORT void set_mw_sys_state_auth_enable(unsigned char value);

MOORWINCH_EXPORT void set_mw_com_msg_id(unsigned short value);
MOORWINCH_EXPORT void set_mw_com_status(unsigned short value);
MOORWINCH_EXPORT void set_mw_com_status_msg(const char* value);

// ---------------------------------------------------------------------------
// Encoders: each appends one compact fragment, "KEY":{...}, to the NUL-terminated
// text in dst. dst must have room for the fragment. Texts are written as JSON
// strings ('"', '\\' and control characters escaped, bytes >= 0x80 that are not
// UTF-8 as "\u00XX", up to six characters a byte). The tails of ENERGY_GS,
// ENERGY_UAV, SYS_STATE and SYSTEM_DETAILS appear only while "AUTH_ENABLE" of
// SYS_STATE is not 0.

MOORWINCH_EXPORT void mw_hw_module_status_json(char* dst);
MOORWINCH_EXPORT void mw_config_status_json(char* dst);
MOORWINCH_EXPORT void mw_config_product_json(char* dst);
MOORWINCH_EXPORT void mw_sw_version_json(char* dst);
MOORWINCH_EXPORT void mw_sys_details_json(char* dst);
MOORWINCH_EXPORT void mw_system_hw_version_json(char* dst);
MOORWINCH_EXPORT void mw_system_sw_version_json(char* dst);
MOORWINCH_EXPORT void mw_system_protocol_json(char* dst);
MOORWINCH_EXPORT void mw_sys_config_json(char* dst);
MOORWINCH_EXPORT void mw_cab_json(char* dst);
MOORWINCH_EXPORT void mw_env_json(char* dst);
MOORWINCH_EXPORT void mw_energy_gs_json(char* dst);
MOORWINCH_EXPORT void mw_energy_uav_json(char* dst);
MOORWINCH_EXPORT void mw_sys_state_json(char* dst);
// "SYSTEM_STATUS": CONFIG_STATUS and HW_MODULE_STATUS always, then each of CAB,
// ENV, ENERGY_GS, ENERGY_UAV, SYS_STATE whose reporting flag is exactly 1.
MOORWINCH_EXPORT void mw_sys_status_json(char* str);
MOORWINCH_EXPORT void mw_communication_json(char* dst);
MOORWINCH_EXPORT void mw_communication_debug_json(char* dst);

// Appends one ",".
MOORWINCH_EXPORT void jsonDelimiter(char* str);
// Encloses the text in braces; str must have room for two more characters.
MOORWINCH_EXPORT void mw_complete_json(char* str);

#endif
