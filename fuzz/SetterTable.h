// The setters of the protocol tables as data, so that the encoder harness can
// call any of them from fuzz input and the seed generator can write inputs that
// name them. Also the table snapshot that starts every input from the defaults.
#ifndef MOORWINCH_FUZZ_SETTER_TABLE_H
#define MOORWINCH_FUZZ_SETTER_TABLE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "MoorwinchProtocol.h"

namespace fuzzing {

// The argument type of a setter; fixes how many input bytes its value takes.
enum class Arg { text, u8, i8, u16, i16, u32 };

// The generic function pointer type; each is cast back to its own type by arg.
using AnyFunction = void (*)();

struct Setter {
    const char* name;
    Arg arg;
    AnyFunction function;
};

#define MW_SETTER(name, arg) {#name, Arg::arg, reinterpret_cast<AnyFunction>(&name)}

inline const Setter setters[] = {
    MW_SETTER(set_mw_hw_module_status_main_ctrl, u8),
    MW_SETTER(set_mw_hw_module_status_reel_ctrl, u8),
    MW_SETTER(set_mw_hw_module_status_lpwr_ctrl, u8),
    MW_SETTER(set_mw_hw_module_status_hpwr_ctrl, u8),
    MW_SETTER(set_mw_hw_module_status_env_ctrl, u8),
    MW_SETTER(set_mw_hw_module_status_net_ctrl, u8),
    MW_SETTER(set_mw_hw_module_status_bbat_ctrl, u8),
    MW_SETTER(set_mw_config_product_type, text),
    MW_SETTER(set_mw_config_product_model, text),
    MW_SETTER(set_mw_config_product_serial_number, text),
    MW_SETTER(set_mw_config_product_day_of_production, text),
    MW_SETTER(set_mw_config_product_hw_version, text),
    MW_SETTER(set_mw_config_product_uav_cell_voltages, text),
    MW_SETTER(set_mw_config_product_max_power, u16),
    MW_SETTER(set_mw_config_product_cable_type, text),
    MW_SETTER(set_mw_config_product_max_cable_length, u16),
    MW_SETTER(set_mw_config_product_network_type, u16),
    MW_SETTER(set_mw_config_product_time_to_maintenance, u32),
    MW_SETTER(set_mw_config_product_timestamp, u32),
    MW_SETTER(set_mw_config_product_auth_key, text),
    MW_SETTER(set_mw_config_status_cab, u8),
    MW_SETTER(set_mw_config_status_env, u8),
    MW_SETTER(set_mw_config_status_energy_gs, u8),
    MW_SETTER(set_mw_config_status_energy_uav, u8),
    MW_SETTER(set_mw_config_status_sys_state, u8),
    MW_SETTER(set_mw_config_status_hardware_modules, u8),
    MW_SETTER(set_mw_sw_version_main_ctrl, text),
    MW_SETTER(set_mw_sw_version_reel_ctrl, text),
    MW_SETTER(set_mw_sw_version_lpwr_ctrl, text),
    MW_SETTER(set_mw_sw_version_hpwr_ctrl, text),
    MW_SETTER(set_mw_sw_version_env_ctrl, text),
    MW_SETTER(set_mw_sw_version_net_ctrl, text),
    MW_SETTER(set_mw_sw_version_bbat_ctrl, text),
    MW_SETTER(set_mw_sys_details_product_type, text),
    MW_SETTER(set_mw_sys_details_model, text),
    MW_SETTER(set_mw_sys_details_serial_number, text),
    MW_SETTER(set_mw_sys_details_day_of_production, text),
    MW_SETTER(set_mw_sys_details_hw_version, text),
    MW_SETTER(set_mw_sys_details_uav_cell_voltages, text),
    MW_SETTER(set_mw_sys_details_max_power, u16),
    MW_SETTER(set_mw_sys_details_cable_type, text),
    MW_SETTER(set_mw_sys_details_max_cable_length, u16),
    MW_SETTER(set_mw_sys_details_network_type, u16),
    MW_SETTER(set_mw_sys_details_flight_time_sum, u32),
    MW_SETTER(set_mw_sys_details_flight_count, u32),
    MW_SETTER(set_mw_sys_details_operation_time_sum, u32),
    MW_SETTER(set_mw_sys_details_operation_count, u32),
    MW_SETTER(set_mw_sys_details_system_time_sum, u32),
    MW_SETTER(set_mw_sys_details_system_use_count, u32),
    MW_SETTER(set_mw_sys_details_maintenance_last_timestamp, u32),
    MW_SETTER(set_mw_sys_details_time_to_maintenance, u32),
    MW_SETTER(set_mw_sys_details_maintenance_required, u8),
    MW_SETTER(set_mw_sys_details_maintenance_counter, u8),
    MW_SETTER(set_mw_sys_details_rtc_time, u32),
    MW_SETTER(set_mw_sys_details_product_config_timestamp, u32),
    MW_SETTER(set_mw_sys_conf_activation, u8),
    MW_SETTER(set_mw_sys_conf_ret_status, u8),
    MW_SETTER(set_mw_sys_conf_ret_torque, u16),
    MW_SETTER(set_mw_sys_conf_ret_start, u16),
    MW_SETTER(set_mw_cab_length, i16),
    MW_SETTER(set_mw_cab_speed, i16),
    MW_SETTER(set_mw_cab_tether_status, u8),
    MW_SETTER(set_mw_cab_guide_status, u8),
    MW_SETTER(set_mw_cab_reel_status, u8),
    MW_SETTER(set_mw_env_temp1, i8),
    MW_SETTER(set_mw_env_temp2, i8),
    MW_SETTER(set_mw_env_temp3, i8),
    MW_SETTER(set_mw_env_temp4, i8),
    MW_SETTER(set_mw_env_hum1, i8),
    MW_SETTER(set_mw_env_press1, u16),
    MW_SETTER(set_mw_env_sensor1_status, u8),
    MW_SETTER(set_mw_env_sensor2_status, u8),
    MW_SETTER(set_mw_env_sensor3_status, u8),
    MW_SETTER(set_mw_env_sensor4_status, u8),
    MW_SETTER(set_mw_env_fan1, u16),
    MW_SETTER(set_mw_env_fan2, u16),
    MW_SETTER(set_mw_env_fan1_status, u8),
    MW_SETTER(set_mw_env_fan2_status, u8),
    MW_SETTER(set_mw_energy_gs_mains_u, i16),
    MW_SETTER(set_mw_energy_gs_mains_i, i16),
    MW_SETTER(set_mw_energy_gs_mains_f, u16),
    MW_SETTER(set_mw_energy_gs_mains_status, u8),
    MW_SETTER(set_mw_energy_gs_ctrl_supl1, i16),
    MW_SETTER(set_mw_energy_gs_ctrl_supl2, i16),
    MW_SETTER(set_mw_energy_gs_ctrl_supl3, i16),
    MW_SETTER(set_mw_energy_gs_ctrl_supl4, i16),
    MW_SETTER(set_mw_energy_gs_ctrl_supl5, i16),
    MW_SETTER(set_mw_energy_gs_ctrl_supl6, i16),
    MW_SETTER(set_mw_energy_gs_ctrl_supl_status, u8),
    MW_SETTER(set_mw_energy_gs_ctrl_supl1_status, u8),
    MW_SETTER(set_mw_energy_gs_ctrl_supl2_status, u8),
    MW_SETTER(set_mw_energy_gs_ctrl_supl3_status, u8),
    MW_SETTER(set_mw_energy_gs_ctrl_supl4_status, u8),
    MW_SETTER(set_mw_energy_gs_ctrl_supl5_status, u8),
    MW_SETTER(set_mw_energy_gs_ctrl_supl6_status, u8),
    MW_SETTER(set_mw_energy_gs_bat_u, u8),
    MW_SETTER(set_mw_energy_gs_bat_status, u8),
    MW_SETTER(set_mw_energy_uav_ext_u, i16),
    MW_SETTER(set_mw_energy_uav_ext_i, i16),
    MW_SETTER(set_mw_energy_uav_uav_u, i16),
    MW_SETTER(set_mw_energy_uav_uav_i, i16),
    MW_SETTER(set_mw_energy_uav_ext_status, u8),
    MW_SETTER(set_mw_energy_uav_uav_status, u8),
    MW_SETTER(set_mw_energy_uav_cell_count, u8),
    MW_SETTER(set_mw_sys_state_flight_time, u32),
    MW_SETTER(set_mw_sys_state_flight_time_op_sum, u32),
    MW_SETTER(set_mw_sys_state_flight_count_op_sum, u32),
    MW_SETTER(set_mw_sys_state_operation_time, u32),
    MW_SETTER(set_mw_sys_state_system_time, u32),
    MW_SETTER(set_mw_sys_state_error, u8),
    MW_SETTER(set_mw_sys_state_network_status, u8),
    MW_SETTER(set_mw_sys_state_memory_status, u8),
    MW_SETTER(set_mw_sys_state_auth_enable, u8),
    MW_SETTER(set_mw_com_msg_id, u16),
    MW_SETTER(set_mw_com_status, u16),
    MW_SETTER(set_mw_com_status_msg, text),
};

#undef MW_SETTER

constexpr std::size_t setterCount = sizeof setters / sizeof setters[0];
static_assert(setterCount == 116, "every setter of the protocol header");

// Input format of the encoder harness, one call after another until the input
// ends: one byte choosing the setter (modulo the count), then its value: for a
// text two bytes of length (little-endian, modulo maxTextInput + 1) and that
// many bytes, cut at the first NUL; for a number its width in little-endian bytes.
constexpr std::size_t maxTextInput = 600;

inline std::size_t valueWidth(Arg arg) {
    switch (arg) {
        case Arg::u8:
        case Arg::i8: return 1;
        case Arg::u16:
        case Arg::i16: return 2;
        case Arg::u32: return 4;
        case Arg::text: return 2;  // the length prefix
    }
    return 0;
}

inline void call(const Setter& setter, const char* text, std::uint32_t number) {
    switch (setter.arg) {
        case Arg::text: reinterpret_cast<void (*)(const char*)>(setter.function)(text); break;
        case Arg::u8: reinterpret_cast<void (*)(unsigned char)>(setter.function)(static_cast<unsigned char>(number)); break;
        case Arg::i8:
            reinterpret_cast<void (*)(signed char)>(setter.function)(static_cast<signed char>(number & 0xFFu));
            break;
        case Arg::u16:
            reinterpret_cast<void (*)(unsigned short)>(setter.function)(static_cast<unsigned short>(number));
            break;
        case Arg::i16:
            reinterpret_cast<void (*)(short)>(setter.function)(static_cast<short>(number & 0xFFFFu));
            break;
        case Arg::u32: reinterpret_cast<void (*)(unsigned int)>(setter.function)(number); break;
    }
}

// All value slots of the tables, taken once and put back before every input so
// that an input's result does not depend on the inputs run before it.
class TableSnapshot {
public:
    TableSnapshot()
        : communication(mw_communication), command(mw_command), cab(mw_cab), env(mw_env), energyGs(mw_energy_gs),
          energyUav(mw_energy_uav), sysState(mw_sys_state), configStatus(mw_config_status),
          hwModuleStatus(mw_hw_module_status), sysConfig(mw_sys_config), swVersion(mw_sw_version),
          sysDetails(mw_sys_details), configProduct(mw_config_product) {}

    void restore() const {
        mw_communication = communication;
        mw_command = command;
        mw_cab = cab;
        mw_env = env;
        mw_energy_gs = energyGs;
        mw_energy_uav = energyUav;
        mw_sys_state = sysState;
        mw_config_status = configStatus;
        mw_hw_module_status = hwModuleStatus;
        mw_sys_config = sysConfig;
        mw_sw_version = swVersion;
        mw_sys_details = sysDetails;
        mw_config_product = configProduct;
    }

private:
    mw_communication_t communication;
    mw_command_t command;
    mw_cab_t cab;
    mw_env_t env;
    mw_energy_gs_t energyGs;
    mw_energy_uav_t energyUav;
    mw_sys_state_t sysState;
    mw_config_status_t configStatus;
    mw_hw_module_status_t hwModuleStatus;
    mw_sys_config_t sysConfig;
    mw_sw_version_t swVersion;
    mw_sys_details_t sysDetails;
    mw_config_product_t configProduct;
};

}  // namespace fuzzing

#endif
