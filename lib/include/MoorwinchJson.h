// MoorwinchJson: the one mapping between the library's records and JSON, shared
// by the moorwinch tool, the moorwinchd service and the Python module.
//
// Keys are the record members' names as in Moorwinch.h ("cableLength",
// "mainsVoltage", ...), values are in the units the header states (metres,
// volts, amperes, hertz, degrees Celsius, seconds, per cent). A value the
// record holds as "not available" is null:
//   - a reporting flag or status code of 255 ("not available" in the reports);
//   - every value of a status block whose reporting flag is not 1 (the block
//     was disabled or not reported, so the record holds only its defaults);
//   - a temperature or humidity of -128, the station's "no reading";
//   - the mains values when the mains status is 255, the backup battery
//     voltage when its status is 127 or 255 (the report leaves them out too);
//   - a software version of "0.0.0", a last maintenance of 0, a network type
//     of 255.
// Reading JSON back (fromJson) is lenient like the library's reply parsers: a
// null or absent member gives the record's default, a member of the wrong type
// is skipped. Texts are copied as they are: a record filled by hand may hold
// bytes that are not UTF-8, which json::dump throws on unless it is given
// error_handler_t::replace. Header-only; needs nlohmann-json.
#ifndef KORVANE_MOORWINCH_JSON_H
#define KORVANE_MOORWINCH_JSON_H

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "Moorwinch.h"

namespace KORVANE {
namespace MoorwinchJson {

using json = nlohmann::json;

namespace detail {

// A float as the shortest decimal that reads back as the same float, so that
// 0.1f is written 0.1 and not 0.10000000149011612.
inline double shortest(float value) {
    if (!std::isfinite(value)) return static_cast<double>(value);
    char text[32];
    auto result = std::to_chars(text, text + sizeof text - 1, value);
    *result.ptr = '\0';
    return std::strtod(text, nullptr);
}

// One record member: its key, exactly one member pointer, and when it is null.
template <class R>
struct Field {
    const char* key;
    std::int32_t R::*i32 = nullptr;
    std::uint32_t R::*u32 = nullptr;
    float R::*f32 = nullptr;
    std::string R::*text = nullptr;
    bool R::*flag = nullptr;
    std::int32_t R::*block = nullptr;  // a reporting flag that must be 1
    bool hasMarker = false;            // the member's own "not available" value
    double marker = 0;
    std::int32_t R::*guard = nullptr;  // a code that makes this member not available
    std::int32_t guardA = 0, guardB = 0;
    const char* textMarker = nullptr;

    bool available(const R& r) const {
        if (block && r.*block != 1) return false;
        if (guard && (r.*guard == guardA || r.*guard == guardB)) return false;
        if (hasMarker) {
            if (i32 && r.*i32 == static_cast<std::int32_t>(marker)) return false;
            if (u32 && r.*u32 == static_cast<std::uint32_t>(marker)) return false;
            if (f32 && static_cast<double>(r.*f32) == marker) return false;
        }
        if (textMarker && r.*text == textMarker) return false;
        return true;
    }

    json value(const R& r) const {
        if (!available(r)) return nullptr;
        if (i32) return r.*i32;
        if (u32) return r.*u32;
        if (f32) return shortest(r.*f32);
        if (text) return r.*text;
        return r.*flag;
    }

    // Absent or null: the default; the wrong type: left as it is.
    void read(const json& object, R& r, const R& defaults) const {
        auto it = object.find(key);
        if (it == object.end() || it->is_null()) {
            if (i32) r.*i32 = defaults.*i32;
            if (u32) r.*u32 = defaults.*u32;
            if (f32) r.*f32 = defaults.*f32;
            if (text) r.*text = defaults.*text;
            if (flag) r.*flag = defaults.*flag;
            return;
        }
        if (i32 && it->is_number_integer()) r.*i32 = it->template get<std::int32_t>();
        if (u32 && it->is_number_unsigned()) r.*u32 = it->template get<std::uint32_t>();
        if (f32 && it->is_number()) r.*f32 = it->template get<float>();
        if (text && it->is_string()) r.*text = it->template get<std::string>();
        if (flag && it->is_boolean()) r.*flag = it->template get<bool>();
    }
};

template <class R, class M>
Field<R> field(const char* key, M R::*member) {
    Field<R> f{key};
    if constexpr (std::is_same<M, std::int32_t>::value) f.i32 = member;
    if constexpr (std::is_same<M, std::uint32_t>::value) f.u32 = member;
    if constexpr (std::is_same<M, float>::value) f.f32 = member;
    if constexpr (std::is_same<M, std::string>::value) f.text = member;
    if constexpr (std::is_same<M, bool>::value) f.flag = member;
    return f;
}

template <class R, class M>
Field<R> marked(const char* key, M R::*member, double marker) {
    Field<R> f = field(key, member);
    f.hasMarker = true;
    f.marker = marker;
    return f;
}

template <class R>
Field<R> inBlock(Field<R> f, std::int32_t R::*block) {
    f.block = block;
    return f;
}

template <class R>
Field<R> guarded(Field<R> f, std::int32_t R::*guard, std::int32_t a, std::int32_t b) {
    f.guard = guard;
    f.guardA = a;
    f.guardB = b;
    return f;
}

using S = Moorwinch::systemStatus;
using D = Moorwinch::systemDetails;
using C = Moorwinch::systemConfig;
using F = Moorwinch::systemStatusConfig;

constexpr double na = 255;      // codes
constexpr double noReading = -128;  // temperatures and humidity

inline std::vector<Field<S>> statusFields() {
    std::vector<Field<S>> fields = {
        marked("cab", &S::cab, na),
        marked("env", &S::env, na),
        marked("energyGS", &S::energyGS, na),
        marked("energyUAV", &S::energyUAV, na),
        marked("sysState", &S::sysState, na),
        marked("hwModuleStatus", &S::hwModuleStatus, na),
    };
    auto add = [&fields](std::int32_t S::*block, std::vector<Field<S>> members) {
        for (Field<S>& f : members) fields.push_back(inBlock(f, block));
    };
    add(&S::cab, {field("cableLength", &S::cableLength), field("cableSpeed", &S::cableSpeed),
                  marked("cableRetractionStatus", &S::cableRetractionStatus, na),
                  field("cableRetractionTorque", &S::cableRetractionTorque),
                  field("cableRetractionStartLength", &S::cableRetractionStartLength),
                  field("tetherStatus", &S::tetherStatus), marked("cableGuideStatus", &S::cableGuideStatus, na),
                  marked("cableReelStatus", &S::cableReelStatus, na)});
    add(&S::env, {marked("temperature1", &S::temperature1, noReading),
                  marked("temperature2", &S::temperature2, noReading),
                  marked("temperature3", &S::temperature3, noReading),
                  marked("temperature4", &S::temperature4, noReading),
                  marked("humidity1", &S::humidity1, noReading), field("pressure1", &S::pressure1),
                  marked("envSensor1Status", &S::envSensor1Status, na),
                  marked("envSensor2Status", &S::envSensor2Status, na),
                  marked("envSensor3Status", &S::envSensor3Status, na),
                  marked("envSensor4Status", &S::envSensor4Status, na), field("fan1Rpm", &S::fan1Rpm),
                  marked("fan1Status", &S::fan1Status, na), field("fan2Rpm", &S::fan2Rpm),
                  marked("fan2Status", &S::fan2Status, na)});
    add(&S::energyGS,
        {guarded(field("mainsVoltage", &S::mainsVoltage), &S::mainsStatus, 255, 255),
         guarded(field("mainsCurrent", &S::mainsCurrent), &S::mainsStatus, 255, 255),
         guarded(field("mainsFrequency", &S::mainsFrequency), &S::mainsStatus, 255, 255),
         marked("mainsStatus", &S::mainsStatus, na), marked("controlSupplyStatus", &S::controlSupplyStatus, na),
         guarded(field("backupBatteryVoltage", &S::backupBatteryVoltage), &S::backupBatteryStatus, 127, 255),
         marked("backupBatteryStatus", &S::backupBatteryStatus, na)});
    add(&S::energyUAV, {field("uavSupplyVoltage", &S::uavSupplyVoltage),
                        field("uavSupplyCurrent", &S::uavSupplyCurrent),
                        field("uavPowerConsumption", &S::uavPowerConsumption),
                        field("uavExtSupplyStatus", &S::uavExtSupplyStatus), field("uavCellCount", &S::uavCellCount)});
    add(&S::sysState, {field("activationStatus", &S::activationStatus),
                       marked("retractionStatus", &S::retractionStatus, na),
                       marked("batteryStatus", &S::batteryStatus, na), field("systemTime", &S::systemTime),
                       field("operationTime", &S::operationTime), field("flightTime", &S::flightTime),
                       field("flightTimeOpSum", &S::flightTimeOpSum),
                       field("flightCountOpSum", &S::flightCountOpSum), field("errorCode", &S::errorCode)});
    add(&S::hwModuleStatus,
        {marked("hwMainCtrl", &S::hwMainCtrl, na), marked("hwReelCtrl", &S::hwReelCtrl, na),
         marked("hwLpwrCtrl", &S::hwLpwrCtrl, na), marked("hwHpwrCtrl", &S::hwHpwrCtrl, na),
         marked("hwEnvCtrl", &S::hwEnvCtrl, na)});
    return fields;
}

inline Field<D> version(const char* key, std::string D::*member) {
    Field<D> f = field(key, member);
    f.textMarker = "0.0.0";
    return f;
}

inline std::vector<Field<D>> detailsFields() {
    return {field("productType", &D::productType),
            field("model", &D::model),
            field("serialNumber", &D::serialNumber),
            field("dayOfProduction", &D::dayOfProduction),
            field("hwVersion", &D::hwVersion),
            version("swVersionMainCtrl", &D::swVersionMainCtrl),
            version("swVersionReelCtrl", &D::swVersionReelCtrl),
            version("swVersionLpwrCtrl", &D::swVersionLpwrCtrl),
            version("swVersionHpwrCtrl", &D::swVersionHpwrCtrl),
            version("swVersionEnvCtrl", &D::swVersionEnvCtrl),
            version("swVersionNetCtrl", &D::swVersionNetCtrl),
            version("swVersionBbatCtrl", &D::swVersionBbatCtrl),
            field("protocolVersion", &D::protocolVersion),
            field("uavCellVoltages", &D::uavCellVoltages),
            field("maxPower", &D::maxPower),
            field("cableType", &D::cableType),
            field("maxCableLength", &D::maxCableLength),
            marked("networkType", &D::networkType, na),
            field("flightTimeSum", &D::flightTimeSum),
            field("flightCount", &D::flightCount),
            field("operationTimeSum", &D::operationTimeSum),
            field("operationCount", &D::operationCount),
            field("systemTimeSum", &D::systemTimeSum),
            field("systemUseCount", &D::systemUseCount),
            marked("lastMaintenance", &D::lastMaintenance, 0),
            field("timeToMaintenance", &D::timeToMaintenance),
            field("maintenanceRequired", &D::maintenanceRequired)};
}

inline std::vector<Field<C>> configFields() {
    return {field("systemActivation", &C::systemActivation),
            field("cableRetractionTorque", &C::cableRetractionTorque),
            field("cableRetractionStartLength", &C::cableRetractionStartLength),
            marked("cableRetractionStatus", &C::cableRetractionStatus, na)};
}

inline std::vector<Field<F>> reportingFields() {
    return {marked("cab", &F::cab, na),           marked("env", &F::env, na),
            marked("energyGS", &F::energyGS, na), marked("energyUAV", &F::energyUAV, na),
            marked("sysState", &F::sysState, na), marked("hwModuleStatus", &F::hwModuleStatus, na)};
}

template <class R>
const std::vector<Field<R>>& fieldsOf();
template <>
inline const std::vector<Field<S>>& fieldsOf<S>() {
    static const std::vector<Field<S>> fields = statusFields();
    return fields;
}
template <>
inline const std::vector<Field<D>>& fieldsOf<D>() {
    static const std::vector<Field<D>> fields = detailsFields();
    return fields;
}
template <>
inline const std::vector<Field<C>>& fieldsOf<C>() {
    static const std::vector<Field<C>> fields = configFields();
    return fields;
}
template <>
inline const std::vector<Field<F>>& fieldsOf<F>() {
    static const std::vector<Field<F>> fields = reportingFields();
    return fields;
}

template <class R>
json write(const R& record) {
    json object = json::object();
    for (const Field<R>& f : fieldsOf<R>()) object[f.key] = f.value(record);
    return object;
}

template <class R>
void read(const json& object, R& record) {
    const R defaults{};
    if (!object.is_object()) return;
    for (const Field<R>& f : fieldsOf<R>()) f.read(object, record, defaults);
}

}  // namespace detail

// Records to JSON objects.
inline json toJson(const Moorwinch::systemStatus& status) { return detail::write(status); }
inline json toJson(const Moorwinch::systemDetails& details) { return detail::write(details); }
inline json toJson(const Moorwinch::systemConfig& config) { return detail::write(config); }
inline json toJson(const Moorwinch::systemStatusConfig& reporting) { return detail::write(reporting); }

// JSON objects back to records (see the file comment for the rules).
inline void fromJson(const json& object, Moorwinch::systemStatus& status) { detail::read(object, status); }
inline void fromJson(const json& object, Moorwinch::systemDetails& details) { detail::read(object, details); }
inline void fromJson(const json& object, Moorwinch::systemConfig& config) { detail::read(object, config); }
inline void fromJson(const json& object, Moorwinch::systemStatusConfig& reporting) {
    detail::read(object, reporting);
}

// The health verdict as "ok", "warning" or "error".
inline const char* verdictName(MoorwinchDefinitions::systemError verdict) {
    switch (verdict) {
        case MoorwinchDefinitions::statusError: return "error";
        case MoorwinchDefinitions::statusWarning: return "warning";
        default: return "ok";
    }
}

}  // namespace MoorwinchJson
}  // namespace KORVANE

#endif
