#include "StationModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

#include "MoorwinchProtocol.h"

namespace moorwinch_sim {
namespace {

using json = nlohmann::json;

// Room for the longest reply (the details with their tail are about 1.3 kB).
constexpr std::size_t replyBufferSize = 8192;

// The protocol tables are one per process: publishing a model's state and
// encoding it must not interleave with another model doing the same.
std::mutex& tablesMutex() {
    static std::mutex mutex;
    return mutex;
}

double secondsOf(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::uint32_t wholeSeconds(double s) {
    return s <= 0 ? 0 : s >= 4294967295.0 ? 4294967295u : static_cast<std::uint32_t>(s);
}

bool integerOf(const json& value, long long& out) {
    if (value.is_number_unsigned()) {
        const auto v = value.get<unsigned long long>();
        out = v > static_cast<unsigned long long>(std::numeric_limits<long long>::max())
                  ? std::numeric_limits<long long>::max()
                  : static_cast<long long>(v);
        return true;
    }
    if (value.is_number_integer()) {
        out = value.get<long long>();
        return true;
    }
    return false;
}

const char* statusText(unsigned short status) {
    switch (status) {
        case 1: return "buffer overflow";
        case 2: return "request timed out";
        case 3: return "request malformed";
        case 4: return "unknown command";
        case 5: return "data do not fit the command";
        case 6: return "value refused";
        default: return "";
    }
}

// The status block honours every reporting flag. The library's composite
// encoder always carries the module block, so it serves only while that flag is on.
void encodeSystemStatus(char* dst) {
    if (mw_config_status.hw_module_status.value == 1) {
        mw_sys_status_json(dst);
        return;
    }
    const struct {
        const mw_entry_u8& flag;
        void (*encode)(char*);
    } blocks[] = {
        {mw_config_status.cab, mw_cab_json},
        {mw_config_status.env, mw_env_json},
        {mw_config_status.energy_gs, mw_energy_gs_json},
        {mw_config_status.energy_uav, mw_energy_uav_json},
        {mw_config_status.sys_state, mw_sys_state_json},
    };
    std::strcat(dst, "\"");
    std::strcat(dst, mw_sys_status.key);
    std::strcat(dst, "\":{");
    mw_config_status_json(dst);
    for (const auto& block : blocks) {
        if (block.flag.value != 1) continue;
        jsonDelimiter(dst);
        block.encode(dst);
    }
    std::strcat(dst, "}");
}

// The whole reply line from the tables: envelope, the data block if any, "\n".
std::string encodeReply(unsigned short id, unsigned short status, void (*body)(char*)) {
    std::vector<char> buffer(replyBufferSize, '\0');
    char* text = buffer.data();
    set_mw_com_msg_id(id);
    set_mw_com_status(status);
    if (status == 0) {
        mw_communication_json(text);
    } else {
        set_mw_com_status_msg(statusText(status));
        mw_communication_debug_json(text);
    }
    if (body) {
        jsonDelimiter(text);
        body(text);
    }
    mw_complete_json(text);
    return std::string(text) + "\n";
}

// Writes bytes no faster than a line of baud bits per second carries them, in
// chunks of about 5 ms; each chunk leaves when its last byte would have arrived,
// to the microsecond, so that a client's share of the line rate can be measured.
void sendPaced(PtyStation& station, const std::string& bytes, unsigned int baud) {
    if (baud == 0) {
        station.send(bytes);
        return;
    }
    using namespace std::chrono;
    const double secondsPerByte = 10.0 / baud;
    const std::size_t chunk = std::max<std::size_t>(1, baud / 2000);
    const auto start = steady_clock::now();
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        const std::size_t n = std::min(chunk, bytes.size() - at);
        const auto due = start + duration_cast<steady_clock::duration>(duration<double>((at + n) * secondsPerByte));
        const auto wait = due - steady_clock::now();
        if (wait.count() > 0 && !station.pause(wait)) return;
        station.send(bytes.substr(at, n));
    }
}

// A value rounded into its wire field, held within the field's range.
template <class T>
T toWire(double value) {
    const double low = std::numeric_limits<T>::min(), high = std::numeric_limits<T>::max();
    return static_cast<T>(std::lround(std::clamp(value, low, high)));
}
// The same for a temperature or humidity, kept off -128, the station's "no reading".
signed char reading(double value) { return static_cast<signed char>(std::lround(std::clamp(value, -127.0, 127.0))); }

std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

// The unit's life before this power-on.
constexpr std::uint32_t flightTimeBefore = 1534210;  // s
constexpr std::uint32_t flightsBefore = 1287;
constexpr std::uint32_t operationTimeBefore = 1872045;  // s
constexpr std::uint32_t operationsBefore = 1402;
constexpr std::uint32_t systemTimeBefore = 3250870;  // s
constexpr std::uint32_t usesBefore = 1650;
constexpr std::uint32_t lastMaintenance = 1711929600;  // 2024-04-01
constexpr std::uint32_t productConfigured = 1678752000;  // 2023-03-14

// The aircraft's supply needs a moment to come up after activation.
constexpr double supplyStartSeconds = 1.0;
constexpr double uavSupplyMillivolts = 25200;  // 6 cells of 4.2 V
constexpr int hoverCurrent = 32;            // A
constexpr int groundCurrent = 2;            // A, powered on the ground
constexpr double mainsVolts = 230;
constexpr short tetherVolts = 400;
constexpr int idleMainsMilliamps = 450;
constexpr double conversionEfficiency = 0.9;

}  // namespace

const std::vector<ScenarioInfo>& scenarios() {
    static const std::vector<ScenarioInfo> all = {
        {Scenario::healthy, "healthy", "every status code OK"},
        {Scenario::warning, "warning", "environment sensor 1 reports a humidity failure"},
        {Scenario::error, "error", "the reel controller reports a hardware error, the system a generic error"},
        {Scenario::maintenance, "maintenance", "every status code OK, but maintenance is required"},
        {Scenario::flight, "flight",
         "a flight that loops: climb, hover in gusts, descent (see below)"},
    };
    return all;
}

bool scenarioFromName(const std::string& name, Scenario& scenario) {
    for (const ScenarioInfo& info : scenarios()) {
        if (name == info.name) {
            scenario = info.scenario;
            return true;
        }
    }
    return false;
}

StationModel::Codes StationModel::codesOf(Scenario scenario) {
    Codes codes;
    switch (scenario) {
        case Scenario::healthy:
        case Scenario::flight: break;
        case Scenario::warning:
            codes.envSensors[0] = 3;  // humidity failure
            codes.humidity = -128;    // no reading
            break;
        case Scenario::error:
            codes.modules[1] = 128;  // reel controller: hardware error
            codes.error = 1;
            break;
        case Scenario::maintenance:
            codes.maintenanceRequired = 1;
            codes.timeToMaintenance = 0;
            break;
    }
    return codes;
}

const std::string& StationModel::noiseBytes() {
    static const std::string noise("\x00\xfe\x7f~#noise#", 11);
    return noise;
}

StationModel::StationModel(Scenario scenario, const StationFaults& faults, const FlightSettings& flight)
    : faultSettings(faults),
      codes(codesOf(scenario)),
      inFlightScenario(scenario == Scenario::flight),
      profile(flight.seed, flight.loopSeconds) {
    setClock(nullptr);
}

void StationModel::setFaults(const StationFaults& faults) {
    std::lock_guard<std::mutex> lock(mutex);
    faultSettings = faults;
    requestsSinceFaults = 0;
}

StationFaults StationModel::faults() const {
    std::lock_guard<std::mutex> lock(mutex);
    return faultSettings;
}

void StationModel::setClock(std::function<Clock::time_point()> now) {
    std::lock_guard<std::mutex> lock(mutex);
    clock = now ? std::move(now) : [] { return Clock::now(); };
    poweredOn = lastUpdate = activatedAt = flightOrigin = clock();
    grounded = false;
    wallAtPowerOn = std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
}

void StationModel::setPlayback(std::unique_ptr<Playback> recorded) {
    std::lock_guard<std::mutex> lock(mutex);
    playback = std::move(recorded);
}

void StationModel::setLog(std::ostream* stream) {
    std::lock_guard<std::mutex> lock(mutex);
    logStream = stream;
}

void StationModel::log(const char* direction, const std::string& text) const {
    if (!logStream) return;
    std::string line = std::string(direction) + " " + printable(text) + "\n";
    logStream->write(line.data(), static_cast<std::streamsize>(line.size()));
    logStream->flush();
}

std::string StationModel::respond(const std::string& line) {
    StationFaults used;
    return respond(line, used);
}

std::string StationModel::respond(const std::string& line, StationFaults& used) {
    std::lock_guard<std::mutex> lock(mutex);
    used = faultSettings;
    log("<-", line);
    ++requestsSinceFaults;
    if (faultSettings.silent || (faultSettings.dropEvery != 0 && requestsSinceFaults % faultSettings.dropEvery == 0)) {
        log("--", "(no reply)");
        return "";
    }
    std::string reply = answer(line, clock());
    log("->", reply.substr(0, reply.size() - 1));
    return faultSettings.noise ? noiseBytes() + reply : reply;
}

void StationModel::attach(PtyStation& station) {
    station.setHandler([this](const std::string& line, PtyStation& s) {
        StationFaults used;
        const std::string reply = respond(line, used);
        if (reply.empty()) return;
        if (used.delayMs != 0 && !s.pause(std::chrono::milliseconds(used.delayMs))) return;
        sendPaced(s, reply, used.baud);
    });
}

// ---------------------------------------------------------------------------
// Requests

const std::vector<StationModel::Command>& StationModel::commands() {
    // Built on first use, after the tables' static initialisation.
    static const std::vector<Command> table = {
        {mw_command.get_protocol.key, &StationModel::getProtocol, false},
        {mw_command.get_system_status.key, &StationModel::getStatus, false},
        {mw_command.get_system_details.key, &StationModel::getDetails, false},
        {mw_command.get_system_config.key, &StationModel::getConfig, false},
        {mw_command.get_hwversion.key, &StationModel::getHwVersion, false},
        {mw_command.get_swversion.key, &StationModel::getSwVersion, false},
        {mw_command.set_activation.key, &StationModel::setActivation, true},
        {mw_command.set_ret_torque.key, &StationModel::setRetTorque, true},
        {mw_command.set_ret_start.key, &StationModel::setRetStart, true},
        {mw_command.config_status->key, &StationModel::setReportingFlags, true},
    };
    return table;
}

std::string StationModel::answer(const std::string& line, Clock::time_point now) {
    advance(now);

    // An id that cannot be read from the envelope is still answered, under the
    // id found in the text if any, so that the host sees why it was refused.
    long scanned = PtyStation::messageId(line);
    unsigned short id = scanned >= 0 && scanned <= 65535 ? static_cast<unsigned short>(scanned) : 0;
    Outcome outcome{statusMalformed, nullptr};

    json request;
    bool parsed = true;
    try {
        request = json::parse(line);
    } catch (const json::exception&) {
        parsed = false;
    }
    const json* value = nullptr;
    const std::string* command = nullptr;
    if (parsed && request.is_object()) {
        auto com = request.find(mw_objects[4]);
        auto body = request.find(mw_command.key);
        long long requestId = -1;
        if (com != request.end() && com->is_object()) {
            auto idMember = com->find(mw_communication.msg_id.key);
            if (idMember != com->end() && integerOf(*idMember, requestId) && requestId >= 0 && requestId <= 65535)
                id = static_cast<unsigned short>(requestId);
            else
                requestId = -1;
        }
        if (requestId >= 0 && body != request.end() && body->is_object() && body->size() == 1) {
            command = &body->begin().key();
            value = &body->begin().value();
        }
    }

    if (faultSettings.wrongId) id = static_cast<unsigned short>(id + 1);
    if (faultSettings.comStatus >= 0) {
        outcome = {static_cast<unsigned short>(faultSettings.comStatus), nullptr};
    } else if (command) {
        outcome = {statusUnknownCommand, nullptr};
        for (const Command& known : commands()) {
            if (*command == known.key) {
                outcome = playback && known.changes ? Outcome{statusRefused, nullptr} : (this->*known.handler)(*value);
                break;
            }
        }
    }

    std::lock_guard<std::mutex> tables(tablesMutex());
    publish(now);
    return encodeReply(id, outcome.status, outcome.status == statusOk ? outcome.body : nullptr);
}

StationModel::Outcome StationModel::getProtocol(const json&) { return {statusOk, mw_system_protocol_json}; }
StationModel::Outcome StationModel::getStatus(const json&) {
    if (playback) playback->start(lastUpdate);
    return {statusOk, encodeSystemStatus};
}
StationModel::Outcome StationModel::getDetails(const json&) { return {statusOk, mw_sys_details_json}; }
StationModel::Outcome StationModel::getConfig(const json&) { return {statusOk, mw_sys_config_json}; }
StationModel::Outcome StationModel::getHwVersion(const json&) { return {statusOk, mw_system_hw_version_json}; }
StationModel::Outcome StationModel::getSwVersion(const json&) { return {statusOk, mw_system_sw_version_json}; }

StationModel::Outcome StationModel::setActivation(const json& value) {
    constexpr long long remote = 16;
    long long v = 0;
    if (!integerOf(value, v)) return {statusWrongData, nullptr};
    if (v != 0 && v != remote) return {statusRefused, nullptr};
    if (inFlightScenario) {
        const double t = flightTime(secondsOf(lastUpdate - flightOrigin));
        if (v == remote) {
            moveFlightTo(profile.takeOff(t, grounded));
            grounded = false;
        } else if (!grounded) {
            const double landing = profile.landing(t);
            moveFlightTo(landing);
            grounded = true;
            groundedAt = profile.idleEnd(landing);
        }
    }
    activate(v == remote);
    return {statusOk, nullptr};
}

void StationModel::beginOperation() {
    activatedAt = lastUpdate;
    operationSeconds = 0;
    flightSecondsThisOp = 0;
    flightsThisOp = 0;
    ++operationsTotal;
}

StationModel::Outcome StationModel::setRetTorque(const json& value) {
    long long v = 0;
    if (!integerOf(value, v)) return {statusWrongData, nullptr};
    if (v < 0 || v > 100) return {statusRefused, nullptr};
    retTorque = static_cast<std::uint16_t>(v);
    return {statusOk, nullptr};
}

// At least 30 cm, and the station keeps it in 16 bits.
StationModel::Outcome StationModel::setRetStart(const json& value) {
    long long v = 0;
    if (!integerOf(value, v)) return {statusWrongData, nullptr};
    if (v < 30 || v > 65535) return {statusRefused, nullptr};
    retStartCm = static_cast<std::uint16_t>(v);
    return {statusOk, nullptr};
}

// Flags left out keep their setting; 0 and 1 are the only settings. All or nothing.
StationModel::Outcome StationModel::setReportingFlags(const json& value) {
    if (!value.is_object()) return {statusWrongData, nullptr};
    const struct {
        const char* key;
        std::uint8_t StationModel::*flag;
    } rows[] = {
        {mw_config_status.cab.key, &StationModel::reportCab},
        {mw_config_status.env.key, &StationModel::reportEnv},
        {mw_config_status.energy_gs.key, &StationModel::reportEnergyGs},
        {mw_config_status.energy_uav.key, &StationModel::reportEnergyUav},
        {mw_config_status.sys_state.key, &StationModel::reportSysState},
        {mw_config_status.hw_module_status.key, &StationModel::reportHwModules},
    };
    long long flags[6];
    for (std::size_t i = 0; i < 6; ++i) {
        flags[i] = this->*rows[i].flag;
        auto member = value.find(rows[i].key);
        if (member == value.end()) continue;
        if (!integerOf(*member, flags[i])) return {statusWrongData, nullptr};
        if (flags[i] != 0 && flags[i] != 1) return {statusRefused, nullptr};
    }
    for (std::size_t i = 0; i < 6; ++i) this->*rows[i].flag = static_cast<std::uint8_t>(flags[i]);
    return {statusOk, nullptr};
}

// ---------------------------------------------------------------------------
// Dynamics

double StationModel::reelSpeed() const {
    const double target = activation != 0 ? hoverLengthCm : 0;
    return lengthCm < target ? reelSpeedCmS : lengthCm > target ? -reelSpeedCmS : 0;
}

// Moves the tether and the clocks from the last request to now, in pieces that
// end where the motion changes or a flight starts or ends, so that every
// counter is exact whatever the time between requests.
void StationModel::advance(Clock::time_point now) {
    if (now <= lastUpdate) return;
    if (inFlightScenario) {
        advanceFlight(now);
        return;
    }
    double left = secondsOf(now - lastUpdate);
    lastUpdate = now;
    const double threshold = flightThresholdCm;
    while (left > 0) {
        const double rate = reelSpeed();
        const double target = activation != 0 ? hoverLengthCm : 0;
        double step = left;
        double endLength = lengthCm + rate * step;
        auto stopAt = [&](double length) {
            const double t = (length - lengthCm) / rate;
            if (t < step) {
                step = t;
                endLength = length;
            }
        };
        if (rate != 0) {
            stopAt(target);
            if ((rate > 0 && lengthCm < threshold) || (rate < 0 && lengthCm > threshold)) stopAt(threshold);
        }
        accrue(activation != 0, (lengthCm + endLength) / 2 > threshold, step);
        lengthCm = endLength;
        left -= step;
    }
}

// The same for the flight, in pieces that end where the profile may change
// activation or being airborne.
void StationModel::advanceFlight(Clock::time_point now) {
    double t = secondsOf(lastUpdate - flightOrigin);
    double left = secondsOf(now - lastUpdate);
    lastUpdate = now;
    while (left > 0) {
        double step = left;
        if (!grounded || t < groundedAt) {
            const double end = std::min(profile.at(flightTime(t), grounded).until, grounded ? groundedAt : t + left);
            step = std::min(left, std::max(end - t, 1e-9));
        }
        const FlightState middle = profile.at(flightTime(t + step / 2), grounded);
        activate(middle.activated);
        accrue(middle.activated, middle.lengthCm > airborneAboveCm, step);
        t += step;
        left -= step;
    }
    activate(profile.at(flightTime(t), grounded).activated);  // at a phase's first instant, the phase's
}

void StationModel::activate(bool active) {
    if (active && activation == 0) beginOperation();
    activation = active ? 16 : 0;
}

// Adds seconds spent so to the counters; a flight starts when the aircraft
// leaves the ground.
void StationModel::accrue(bool active, bool airborne, double seconds) {
    if (airborne && !flying) {
        flightSeconds = 0;
        ++flightsThisOp;
        ++flightsTotal;
    }
    flying = airborne;
    if (active) {
        operationSeconds += seconds;
        operationSecondsTotal += seconds;
    }
    if (flying) {
        flightSeconds += seconds;
        flightSecondsThisOp += seconds;
        flightSecondsTotal += seconds;
    }
}

// The flight's time for seconds since its origin: a grounded flight waits.
double StationModel::flightTime(double sinceOrigin) const {
    return grounded ? std::min(sinceOrigin, groundedAt) : sinceOrigin;
}

// Continues the flight at t from now on.
void StationModel::moveFlightTo(double t) {
    flightOrigin = lastUpdate - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(t));
}

// The values that move, from the tether's motion or from the flight.
struct StationModel::Readings {
    double lengthCm, speedCmS;
    std::uint8_t supply;  // the aircraft's: 0 off, 1 starting, 2 on
    double uavAmps, uavMillivolts;
    double temperatures[4];
    double humidity;  // -128: no reading
    std::uint8_t sensor1;
    double pressure, mainsVolts, mainsHertz, fanRpm;
};

StationModel::Readings StationModel::readings(Clock::time_point now) const {
    const bool active = activation != 0;
    if (!inFlightScenario) {
        const std::uint8_t supply = !active ? 0 : secondsOf(now - activatedAt) < supplyStartSeconds ? 1 : 2;
        return {lengthCm,
                reelSpeed(),
                supply,
                static_cast<double>(supply != 2 ? 0 : flying ? hoverCurrent : groundCurrent),
                supply == 2 ? uavSupplyMillivolts : 0.0,
                {active ? 38.0 : 34.0, 29, 27, 26},  // the power electronics warm up under load
                static_cast<double>(codes.humidity),
                codes.envSensors[0],
                1013,
                mainsVolts,
                50,
                active ? 3200.0 : 1800.0};
    }
    const FlightState f = profile.at(flightTime(secondsOf(now - flightOrigin)), grounded);
    // The tether's retraction torque is load the aircraft pulls against.
    const double torqueAmps = f.uavAmps > 0 ? retTorque * FlightProfile::ampsPerTorquePercent : 0;
    return {f.lengthCm,
            f.speedCmS,
            static_cast<std::uint8_t>(!f.activated ? 0 : f.supplyStarting ? 1 : 2),
            f.uavAmps + torqueAmps,
            f.uavMillivolts,
            {f.temperatures[0], f.temperatures[1], f.temperatures[2], f.temperatures[3]},
            f.humidityFault ? -128.0 : f.humidity,
            f.humidityFault ? std::uint8_t{3} : codes.envSensors[0],
            f.pressure,
            f.mainsVolts,
            f.mainsHertz,
            f.fanRpm};
}

// Puts the whole state into the tables. Called with the tables' lock held.
void StationModel::publish(Clock::time_point now) const {
    const bool active = activation != 0;
    const double systemSeconds = secondsOf(now - poweredOn);
    const Readings r = readings(now);
    const auto uavCurrent = toWire<short>(r.uavAmps);  // whole amperes on the line
    const double uavWatts = r.uavMillivolts / 1000.0 * uavCurrent;
    const double mainsMilliamps = idleMainsMilliamps + uavWatts / conversionEfficiency / r.mainsVolts * 1000;
    const double ttmLeft = codes.timeToMaintenance - operationSecondsTotal;
    const std::uint32_t ttm = wholeSeconds(ttmLeft);

    set_mw_sys_conf_activation(activation);
    set_mw_sys_conf_ret_status(retStatus);
    set_mw_sys_conf_ret_torque(retTorque);
    set_mw_sys_conf_ret_start(retStartCm);

    set_mw_config_status_cab(reportCab);
    set_mw_config_status_env(reportEnv);
    set_mw_config_status_energy_gs(reportEnergyGs);
    set_mw_config_status_energy_uav(reportEnergyUav);
    set_mw_config_status_sys_state(reportSysState);
    set_mw_config_status_hardware_modules(reportHwModules);

    void (*const moduleSetters[7])(unsigned char) = {
        set_mw_hw_module_status_main_ctrl, set_mw_hw_module_status_reel_ctrl, set_mw_hw_module_status_lpwr_ctrl,
        set_mw_hw_module_status_hpwr_ctrl, set_mw_hw_module_status_env_ctrl,  set_mw_hw_module_status_net_ctrl,
        set_mw_hw_module_status_bbat_ctrl};
    for (int i = 0; i < 7; ++i) moduleSetters[i](codes.modules[i]);

    set_mw_cab_length(toWire<short>(r.lengthCm));
    set_mw_cab_speed(toWire<short>(r.speedCmS));
    set_mw_cab_tether_status(codes.tether);
    set_mw_cab_guide_status(codes.guide);
    set_mw_cab_reel_status(codes.reel);

    void (*const temperatureSetters[4])(signed char) = {set_mw_env_temp1, set_mw_env_temp2, set_mw_env_temp3,
                                                         set_mw_env_temp4};
    for (int i = 0; i < 4; ++i) temperatureSetters[i](reading(r.temperatures[i]));
    set_mw_env_hum1(r.humidity == -128 ? -128 : reading(r.humidity));
    set_mw_env_press1(toWire<unsigned short>(r.pressure));
    void (*const sensorSetters[4])(unsigned char) = {set_mw_env_sensor1_status, set_mw_env_sensor2_status,
                                                      set_mw_env_sensor3_status, set_mw_env_sensor4_status};
    for (int i = 0; i < 4; ++i) sensorSetters[i](i == 0 ? r.sensor1 : codes.envSensors[i]);
    const unsigned short fanRpm = codes.fans != 0 ? 0 : toWire<unsigned short>(r.fanRpm);
    set_mw_env_fan1(fanRpm);
    set_mw_env_fan2(fanRpm);
    set_mw_env_fan1_status(codes.fans);
    set_mw_env_fan2_status(codes.fans);

    set_mw_energy_gs_mains_u(toWire<short>(r.mainsVolts));
    set_mw_energy_gs_mains_i(toWire<short>(mainsMilliamps));
    set_mw_energy_gs_mains_f(toWire<unsigned short>(r.mainsHertz * 1000));
    set_mw_energy_gs_mains_status(codes.mains);
    void (*const supplySetters[6])(short) = {set_mw_energy_gs_ctrl_supl1, set_mw_energy_gs_ctrl_supl2,
                                             set_mw_energy_gs_ctrl_supl3, set_mw_energy_gs_ctrl_supl4,
                                             set_mw_energy_gs_ctrl_supl5, set_mw_energy_gs_ctrl_supl6};
    const short supplyMillivolts[6] = {24000, 12000, 5000, 3300, 24000, 12000};
    for (int i = 0; i < 6; ++i) supplySetters[i](supplyMillivolts[i]);
    void (*const supplyStatusSetters[6])(unsigned char) = {
        set_mw_energy_gs_ctrl_supl1_status, set_mw_energy_gs_ctrl_supl2_status, set_mw_energy_gs_ctrl_supl3_status,
        set_mw_energy_gs_ctrl_supl4_status, set_mw_energy_gs_ctrl_supl5_status, set_mw_energy_gs_ctrl_supl6_status};
    for (int i = 0; i < 6; ++i) supplyStatusSetters[i](codes.controlSupply);
    set_mw_energy_gs_ctrl_supl_status(codes.controlSupply);
    set_mw_energy_gs_bat_u(27);
    set_mw_energy_gs_bat_status(codes.backupBattery);

    set_mw_energy_uav_ext_u(r.supply == 2 ? tetherVolts : 0);
    set_mw_energy_uav_ext_i(toWire<short>(uavWatts / conversionEfficiency / tetherVolts * 1000));
    set_mw_energy_uav_uav_u(toWire<short>(r.uavMillivolts));
    set_mw_energy_uav_uav_i(uavCurrent);
    set_mw_energy_uav_ext_status(r.supply);
    set_mw_energy_uav_uav_status(r.supply);
    set_mw_energy_uav_cell_count(6);

    set_mw_sys_state_flight_time(flying ? wholeSeconds(flightSeconds) : 0);
    set_mw_sys_state_flight_time_op_sum(active ? wholeSeconds(flightSecondsThisOp) : 0);
    set_mw_sys_state_flight_count_op_sum(active ? flightsThisOp : 0);
    set_mw_sys_state_operation_time(active ? wholeSeconds(operationSeconds) : 0);
    set_mw_sys_state_system_time(wholeSeconds(systemSeconds));
    set_mw_sys_state_error(codes.error);
    set_mw_sys_state_network_status(0);
    set_mw_sys_state_memory_status(0);
    set_mw_sys_state_auth_enable(0);

    set_mw_sys_details_product_type("Skyhold.Platform ground station");
    set_mw_sys_details_model("SGS-100");
    set_mw_sys_details_serial_number("KV-SGS-2303-0417");
    set_mw_sys_details_day_of_production("2023-03-14");
    set_mw_sys_details_hw_version("2.1.0");
    set_mw_sw_version_main_ctrl("3.6.2");
    set_mw_sw_version_reel_ctrl("2.4.1");
    set_mw_sw_version_lpwr_ctrl("1.9.0");
    set_mw_sw_version_hpwr_ctrl("1.9.3");
    set_mw_sw_version_env_ctrl("1.3.5");
    set_mw_sw_version_net_ctrl("1.1.0");
    set_mw_sw_version_bbat_ctrl("1.0.7");
    set_mw_sys_details_uav_cell_voltages("4.20");
    set_mw_sys_details_max_power(2000);
    set_mw_sys_details_cable_type("2-wire power line, 100 m");
    set_mw_sys_details_max_cable_length(10000);  // cm
    set_mw_sys_details_network_type(1);           // data over the 2-wire power line
    set_mw_sys_details_flight_time_sum(flightTimeBefore + wholeSeconds(flightSecondsTotal));
    set_mw_sys_details_flight_count(flightsBefore + flightsTotal);
    set_mw_sys_details_operation_time_sum(operationTimeBefore + wholeSeconds(operationSecondsTotal));
    set_mw_sys_details_operation_count(operationsBefore + operationsTotal);
    set_mw_sys_details_system_time_sum(systemTimeBefore + wholeSeconds(systemSeconds));
    set_mw_sys_details_system_use_count(usesBefore + 1);
    set_mw_sys_details_maintenance_last_timestamp(lastMaintenance);
    set_mw_sys_details_time_to_maintenance(ttm);
    set_mw_sys_details_maintenance_required(codes.maintenanceRequired != 0 || ttm == 0 ? 1 : 0);
    set_mw_sys_details_maintenance_counter(3);
    set_mw_sys_details_rtc_time(static_cast<unsigned int>(wallAtPowerOn + static_cast<long long>(systemSeconds)));
    set_mw_sys_details_product_config_timestamp(productConfigured);

    if (playback) {
        const Playback::Served served = playback->at(now);
        if (served.config) publishRecorded(*served.config);
        publishRecorded(*served.status);
        if (served.details) publishRecorded(*served.details);
    }
}

}  // namespace moorwinch_sim
