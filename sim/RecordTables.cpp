#include "RecordTables.h"

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <vector>

#include "MoorwinchProtocol.h"

namespace moorwinch_sim {
namespace {

// One numeric member of a record and the station's field it goes into: the
// member in the record's unit, the field's unit per record unit, the field's
// range, and a store that rounds into the field.
template <class R>
struct WireField {
    const char* key;
    std::int32_t R::*block;  // the reporting flag that must be 1; null: always sent
    double (*value)(const R&);
    double scale;
    double low, high;
    void (*store)(double);
};

template <class M>
struct MemberOf;
template <class R, class V>
struct MemberOf<V R::*> {
    using Record = R;
};

template <auto Member, class T, void (*Set)(T)>
WireField<typename MemberOf<decltype(Member)>::Record> wire(
    const char* key, std::int32_t MemberOf<decltype(Member)>::Record::*block = nullptr, double scale = 1) {
    using R = typename MemberOf<decltype(Member)>::Record;
    return {key,
            block,
            [](const R& r) { return static_cast<double>(r.*Member); },
            scale,
            static_cast<double>(std::numeric_limits<T>::lowest()),
            static_cast<double>(std::numeric_limits<T>::max()),
            [](double v) { Set(static_cast<T>(std::lround(v))); }};
}

using S = Status;
using D = Details;
using C = Config;
using u8 = unsigned char;
using i8 = signed char;
using u16 = unsigned short;
using u32 = unsigned int;

// In the order the blocks are read, so that of two members the station sends
// from one slot (the retraction status and the battery status appear in two
// blocks) the later block's wins.
const std::vector<WireField<S>>& statusFields() {
    static const std::vector<WireField<S>> fields = {
        wire<&S::cab, u8, set_mw_config_status_cab>("cab"),
        wire<&S::env, u8, set_mw_config_status_env>("env"),
        wire<&S::energyGS, u8, set_mw_config_status_energy_gs>("energyGS"),
        wire<&S::energyUAV, u8, set_mw_config_status_energy_uav>("energyUAV"),
        wire<&S::sysState, u8, set_mw_config_status_sys_state>("sysState"),
        wire<&S::hwModuleStatus, u8, set_mw_config_status_hardware_modules>("hwModuleStatus"),
        wire<&S::hwMainCtrl, u8, set_mw_hw_module_status_main_ctrl>("hwMainCtrl", &S::hwModuleStatus),
        wire<&S::hwReelCtrl, u8, set_mw_hw_module_status_reel_ctrl>("hwReelCtrl", &S::hwModuleStatus),
        wire<&S::hwLpwrCtrl, u8, set_mw_hw_module_status_lpwr_ctrl>("hwLpwrCtrl", &S::hwModuleStatus),
        wire<&S::hwHpwrCtrl, u8, set_mw_hw_module_status_hpwr_ctrl>("hwHpwrCtrl", &S::hwModuleStatus),
        wire<&S::hwEnvCtrl, u8, set_mw_hw_module_status_env_ctrl>("hwEnvCtrl", &S::hwModuleStatus),
        wire<&S::cableLength, short, set_mw_cab_length>("cableLength", &S::cab, 100),
        wire<&S::cableSpeed, short, set_mw_cab_speed>("cableSpeed", &S::cab, 100),
        wire<&S::cableRetractionStatus, u8, set_mw_sys_conf_ret_status>("cableRetractionStatus", &S::cab),
        wire<&S::cableRetractionTorque, u16, set_mw_sys_conf_ret_torque>("cableRetractionTorque", &S::cab),
        wire<&S::cableRetractionStartLength, u16, set_mw_sys_conf_ret_start>("cableRetractionStartLength", &S::cab,
                                                                               100),
        wire<&S::tetherStatus, u8, set_mw_cab_tether_status>("tetherStatus", &S::cab),
        wire<&S::cableGuideStatus, u8, set_mw_cab_guide_status>("cableGuideStatus", &S::cab),
        wire<&S::cableReelStatus, u8, set_mw_cab_reel_status>("cableReelStatus", &S::cab),
        wire<&S::temperature1, i8, set_mw_env_temp1>("temperature1", &S::env),
        wire<&S::temperature2, i8, set_mw_env_temp2>("temperature2", &S::env),
        wire<&S::temperature3, i8, set_mw_env_temp3>("temperature3", &S::env),
        wire<&S::temperature4, i8, set_mw_env_temp4>("temperature4", &S::env),
        wire<&S::humidity1, i8, set_mw_env_hum1>("humidity1", &S::env),
        wire<&S::pressure1, u16, set_mw_env_press1>("pressure1", &S::env),
        wire<&S::envSensor1Status, u8, set_mw_env_sensor1_status>("envSensor1Status", &S::env),
        wire<&S::envSensor2Status, u8, set_mw_env_sensor2_status>("envSensor2Status", &S::env),
        wire<&S::envSensor3Status, u8, set_mw_env_sensor3_status>("envSensor3Status", &S::env),
        wire<&S::envSensor4Status, u8, set_mw_env_sensor4_status>("envSensor4Status", &S::env),
        wire<&S::fan1Rpm, u16, set_mw_env_fan1>("fan1Rpm", &S::env),
        wire<&S::fan1Status, u8, set_mw_env_fan1_status>("fan1Status", &S::env),
        wire<&S::fan2Rpm, u16, set_mw_env_fan2>("fan2Rpm", &S::env),
        wire<&S::fan2Status, u8, set_mw_env_fan2_status>("fan2Status", &S::env),
        wire<&S::mainsVoltage, short, set_mw_energy_gs_mains_u>("mainsVoltage", &S::energyGS),
        wire<&S::mainsCurrent, short, set_mw_energy_gs_mains_i>("mainsCurrent", &S::energyGS, 1000),
        wire<&S::mainsFrequency, u16, set_mw_energy_gs_mains_f>("mainsFrequency", &S::energyGS, 1000),
        wire<&S::mainsStatus, u8, set_mw_energy_gs_mains_status>("mainsStatus", &S::energyGS),
        wire<&S::controlSupplyStatus, u8, set_mw_energy_gs_ctrl_supl_status>("controlSupplyStatus", &S::energyGS),
        wire<&S::backupBatteryVoltage, u8, set_mw_energy_gs_bat_u>("backupBatteryVoltage", &S::energyGS),
        wire<&S::backupBatteryStatus, u8, set_mw_energy_gs_bat_status>("backupBatteryStatus", &S::energyGS),
        wire<&S::uavSupplyVoltage, short, set_mw_energy_uav_uav_u>("uavSupplyVoltage", &S::energyUAV, 1000),
        wire<&S::uavSupplyCurrent, short, set_mw_energy_uav_uav_i>("uavSupplyCurrent", &S::energyUAV),
        wire<&S::uavExtSupplyStatus, u8, set_mw_energy_uav_ext_status>("uavExtSupplyStatus", &S::energyUAV),
        wire<&S::uavCellCount, u8, set_mw_energy_uav_cell_count>("uavCellCount", &S::energyUAV),
        wire<&S::activationStatus, u8, set_mw_sys_conf_activation>("activationStatus", &S::sysState),
        wire<&S::retractionStatus, u8, set_mw_sys_conf_ret_status>("retractionStatus", &S::sysState),
        wire<&S::batteryStatus, u8, set_mw_energy_gs_bat_status>("batteryStatus", &S::sysState),
        wire<&S::systemTime, u32, set_mw_sys_state_system_time>("systemTime", &S::sysState),
        wire<&S::operationTime, u32, set_mw_sys_state_operation_time>("operationTime", &S::sysState),
        wire<&S::flightTime, u32, set_mw_sys_state_flight_time>("flightTime", &S::sysState),
        wire<&S::flightTimeOpSum, u32, set_mw_sys_state_flight_time_op_sum>("flightTimeOpSum", &S::sysState),
        wire<&S::flightCountOpSum, u32, set_mw_sys_state_flight_count_op_sum>("flightCountOpSum", &S::sysState),
        wire<&S::errorCode, u8, set_mw_sys_state_error>("errorCode", &S::sysState),
    };
    return fields;
}

// A maximum cable length up to 400 is read as metres, above as centimetres.
void storeMaxCableLength(double metres) {
    set_mw_sys_details_max_cable_length(
        static_cast<u16>(std::lround(metres <= 400 ? metres : metres * 100)));
}

const std::vector<WireField<D>>& detailsFields() {
    static const std::vector<WireField<D>> fields = {
        wire<&D::maxPower, u16, set_mw_sys_details_max_power>("maxPower"),
        {"maxCableLength", nullptr, [](const D& d) { return static_cast<double>(d.maxCableLength); }, 1, 0, 655,
         storeMaxCableLength},
        wire<&D::networkType, u16, set_mw_sys_details_network_type>("networkType"),
        wire<&D::flightTimeSum, u32, set_mw_sys_details_flight_time_sum>("flightTimeSum"),
        wire<&D::flightCount, u32, set_mw_sys_details_flight_count>("flightCount"),
        wire<&D::operationTimeSum, u32, set_mw_sys_details_operation_time_sum>("operationTimeSum"),
        wire<&D::operationCount, u32, set_mw_sys_details_operation_count>("operationCount"),
        wire<&D::systemTimeSum, u32, set_mw_sys_details_system_time_sum>("systemTimeSum"),
        wire<&D::systemUseCount, u32, set_mw_sys_details_system_use_count>("systemUseCount"),
        wire<&D::lastMaintenance, u32, set_mw_sys_details_maintenance_last_timestamp>("lastMaintenance"),
        wire<&D::timeToMaintenance, u32, set_mw_sys_details_time_to_maintenance>("timeToMaintenance"),
        wire<&D::maintenanceRequired, u8, set_mw_sys_details_maintenance_required>("maintenanceRequired"),
    };
    return fields;
}

// The texts are cut to the station's field, as the station would.
const struct {
    std::string D::*member;
    void (*store)(const char*);
} detailsTexts[] = {
    {&D::productType, set_mw_sys_details_product_type},
    {&D::model, set_mw_sys_details_model},
    {&D::serialNumber, set_mw_sys_details_serial_number},
    {&D::dayOfProduction, set_mw_sys_details_day_of_production},
    {&D::hwVersion, set_mw_sys_details_hw_version},
    {&D::swVersionMainCtrl, set_mw_sw_version_main_ctrl},
    {&D::swVersionReelCtrl, set_mw_sw_version_reel_ctrl},
    {&D::swVersionLpwrCtrl, set_mw_sw_version_lpwr_ctrl},
    {&D::swVersionHpwrCtrl, set_mw_sw_version_hpwr_ctrl},
    {&D::swVersionEnvCtrl, set_mw_sw_version_env_ctrl},
    {&D::swVersionNetCtrl, set_mw_sw_version_net_ctrl},
    {&D::swVersionBbatCtrl, set_mw_sw_version_bbat_ctrl},
    {&D::uavCellVoltages, set_mw_sys_details_uav_cell_voltages},
    {&D::cableType, set_mw_sys_details_cable_type},
};

const std::vector<WireField<C>>& configFields() {
    static const std::vector<WireField<C>> fields = {
        {"systemActivation", nullptr, [](const C& c) { return c.systemActivation ? 16.0 : 0.0; }, 1, 0, 255,
         [](double v) { set_mw_sys_conf_activation(static_cast<u8>(v)); }},
        wire<&C::cableRetractionTorque, u16, set_mw_sys_conf_ret_torque>("cableRetractionTorque"),
        wire<&C::cableRetractionStartLength, u16, set_mw_sys_conf_ret_start>("cableRetractionStartLength", nullptr,
                                                                              100),
        wire<&C::cableRetractionStatus, u8, set_mw_sys_conf_ret_status>("cableRetractionStatus"),
    };
    return fields;
}

template <class R>
bool sent(const WireField<R>& field, const R& record) {
    return !field.block || record.*field.block == 1;
}

template <class R>
std::string unsendableIn(const std::vector<WireField<R>>& fields, const R& record) {
    for (const WireField<R>& field : fields) {
        if (!sent(field, record)) continue;
        const double value = field.value(record);
        const double onWire = std::round(value * field.scale);
        if (!std::isfinite(onWire) || onWire < field.low || onWire > field.high) {
            char shown[32];
            std::snprintf(shown, sizeof shown, value == std::trunc(value) ? "%.0f" : "%.7g", value);
            return std::string(field.key) + " " + shown + " is beyond the station's range";
        }
    }
    return "";
}

template <class R>
void publishIn(const std::vector<WireField<R>>& fields, const R& record) {
    for (const WireField<R>& field : fields)
        if (sent(field, record)) field.store(field.value(record) * field.scale);
}

}  // namespace

std::string unsendable(const Status& status) { return unsendableIn(statusFields(), status); }
std::string unsendable(const Details& details) { return unsendableIn(detailsFields(), details); }
std::string unsendable(const Config& config) { return unsendableIn(configFields(), config); }

void publishRecorded(const Status& status) { publishIn(statusFields(), status); }

void publishRecorded(const Details& details) {
    publishIn(detailsFields(), details);
    for (const auto& text : detailsTexts) text.store((details.*text.member).c_str());
}

void publishRecorded(const Config& config) { publishIn(configFields(), config); }

}  // namespace moorwinch_sim
