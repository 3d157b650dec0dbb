// A model of the ground station behind the serial line: it keeps the station's
// state (configuration, reporting flags, tether, counters, the codes of a
// scenario) and answers each request line with the reply bytes the station would
// send. Every reply is built by putting the state into the library's protocol
// tables with its setters and writing it out with its encoders, so the model
// doubles as the proof that those produce the station's side of the protocol.
//
// The tables are process-wide and unguarded. The model serialises its own use of
// them, so several models in one process are safe with each other, but nothing
// else in the process may write the tables while a model answers.
#ifndef MOORWINCH_SIM_STATION_MODEL_H
#define MOORWINCH_SIM_STATION_MODEL_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "FlightProfile.h"
#include "PtyStation.h"
#include "Recording.h"

namespace moorwinch_sim {

// Which codes the station reports, chosen for the verdict the health check gives.
enum class Scenario {
    healthy,      // every code OK
    warning,      // environment sensor 1 reports a humidity failure
    error,        // the reel controller reports a hardware error
    maintenance,  // every code OK, but maintenance is due
    flight,       // flies the loop of FlightProfile, with a humidity failure on the way
};

struct ScenarioInfo {
    Scenario scenario;
    const char* name;
    const char* description;
};
// All scenarios, in the order above.
const std::vector<ScenarioInfo>& scenarios();
// False when name is not a scenario's name.
bool scenarioFromName(const std::string& name, Scenario& scenario);

// Misbehaviour on the line, for testing callers. The program's options and the
// tests set the same fields.
struct StationFaults {
    bool silent = false;          // never answer
    unsigned int delayMs = 0;     // wait this long before each reply
    bool noise = false;           // send stray bytes before each reply
    bool wrongId = false;         // answer with a message id other than the request's
    int comStatus = -1;           // answer every request with this status and no data; < 0: off
    unsigned int dropEvery = 0;   // leave every Nth request unanswered; 0: off
    unsigned int baud = 0;        // pace replies as a line of this speed would (10 bits a byte); 0: off
};

// The flight scenario's seed and the length of its loop on the station's clock.
struct FlightSettings {
    std::uint64_t seed = 1;
    double loopSeconds = FlightProfile::naturalSeconds;
};

class StationModel {
public:
    using Clock = std::chrono::steady_clock;

    // Status codes of the station: 3 request malformed, 4 unknown command,
    // 5 value of the wrong type, 6 value refused.
    static constexpr unsigned short statusOk = 0;
    static constexpr unsigned short statusMalformed = 3;
    static constexpr unsigned short statusUnknownCommand = 4;
    static constexpr unsigned short statusWrongData = 5;
    static constexpr unsigned short statusRefused = 6;

    // The stray bytes sent before each reply under the noise fault: no "{" and no line feed.
    static const std::string& noiseBytes();

    // Under the flight scenario the loop starts at power-on. A client that
    // deactivates the station brings the aircraft down (the supply off, the
    // tether reeled in along the descent) and keeps it idle; activating it
    // starts the pre-flight at once, or climbs again from the tether out.
    explicit StationModel(Scenario scenario = Scenario::healthy, const StationFaults& faults = StationFaults(),
                          const FlightSettings& flight = FlightSettings());
    StationModel(const StationModel&) = delete;
    StationModel& operator=(const StationModel&) = delete;

    // Replaces the faults and restarts the count of requests that dropEvery uses.
    void setFaults(const StationFaults& faults);
    StationFaults faults() const;

    // Where time comes from (steady_clock by default). The station's state is
    // derived from it at each request; a test can drive it by hand. The time of
    // the call is the station's power-on.
    void setClock(std::function<Clock::time_point()> now);

    // When set, each request and each reply is written there as one line.
    void setLog(std::ostream* log);

    // Answers with the recording instead of the station's own state: its
    // status records, and its details and configuration where it has them
    // (the configuration otherwise as the replayed status shows it). The
    // playback's clock starts with the first status request. A recording
    // cannot be changed: every setting is refused with status 6.
    void setPlayback(std::unique_ptr<Playback> playback);

    // The bytes to send in answer to one request line (without its line feed),
    // noise included; empty when no reply is to be sent.
    std::string respond(const std::string& line);

    // Makes this model the station's handler, with the delay and baud pacing of
    // the faults. The model must outlive the station's serving.
    void attach(PtyStation& station);

    // The tether's motion: paid out at a fixed speed while activated until the
    // aircraft holds position, reeled in at the same speed when deactivated.
    static constexpr int hoverLengthCm = 5000;
    static constexpr int reelSpeedCmS = 100;
    // A flight lasts while more than this is out.
    static constexpr int flightThresholdCm = static_cast<int>(airborneAboveCm);

private:
    // The codes that a scenario chooses.
    struct Codes {
        std::uint8_t modules[7] = {1, 1, 1, 1, 1, 1, 1};  // MAIN ... BBAT controllers: enabled
        std::uint8_t tether = 0, guide = 0, reel = 0;
        std::uint8_t envSensors[4] = {0, 0, 0, 0};
        std::int8_t humidity = 41;
        std::uint8_t fans = 0;  // both running
        std::uint8_t mains = 0, controlSupply = 0, backupBattery = 0;
        std::uint8_t error = 0;
        std::uint8_t maintenanceRequired = 0;
        std::uint32_t timeToMaintenance = 1209600;  // s, before this session's use
    };
    // What a handler makes of a command: the status, and the block the reply carries.
    struct Outcome {
        unsigned short status;
        void (*body)(char*);
    };
    using Handler = Outcome (StationModel::*)(const nlohmann::json& value);
    struct Command {
        const char* key;
        Handler handler;
        bool changes;  // a setting, which a recording refuses
    };
    static const std::vector<Command>& commands();
    static Codes codesOf(Scenario scenario);

    struct Readings;

    std::string respond(const std::string& line, StationFaults& used);
    std::string answer(const std::string& line, Clock::time_point now);
    double reelSpeed() const;
    void advance(Clock::time_point now);
    void advanceFlight(Clock::time_point now);
    void beginOperation();
    void activate(bool active);
    void accrue(bool active, bool airborne, double seconds);
    double flightTime(double sinceOrigin) const;
    void moveFlightTo(double t);
    Readings readings(Clock::time_point now) const;
    void publish(Clock::time_point now) const;
    void log(const char* direction, const std::string& text) const;

    Outcome getProtocol(const nlohmann::json&);
    Outcome getStatus(const nlohmann::json&);
    Outcome getDetails(const nlohmann::json&);
    Outcome getConfig(const nlohmann::json&);
    Outcome getHwVersion(const nlohmann::json&);
    Outcome getSwVersion(const nlohmann::json&);
    Outcome setActivation(const nlohmann::json& value);
    Outcome setRetTorque(const nlohmann::json& value);
    Outcome setRetStart(const nlohmann::json& value);
    Outcome setReportingFlags(const nlohmann::json& value);

    mutable std::mutex mutex;
    std::function<Clock::time_point()> clock;
    std::ostream* logStream = nullptr;
    StationFaults faultSettings;
    unsigned long requestsSinceFaults = 0;
    Codes codes;

    // Configuration and reporting flags, in wire units.
    std::uint8_t activation = 0;  // 0 or 16
    std::uint8_t retStatus = 16;  // retraction controlled remotely
    std::uint16_t retTorque = 40;
    std::uint16_t retStartCm = 150;
    std::uint8_t reportCab = 1, reportEnv = 1, reportEnergyGs = 1, reportEnergyUav = 1, reportSysState = 1,
                 reportHwModules = 1;

    // Dynamics, advanced lazily to the time of each request.
    Clock::time_point poweredOn, lastUpdate, activatedAt;
    double lengthCm = 0;
    bool flying = false;
    double operationSeconds = 0;       // this activation
    double flightSeconds = 0;          // this flight
    double flightSecondsThisOp = 0;
    unsigned int flightsThisOp = 0;
    double operationSecondsTotal = 0;  // since power-on
    double flightSecondsTotal = 0;
    unsigned int operationsTotal = 0;
    unsigned int flightsTotal = 0;
    long long wallAtPowerOn = 0;       // seconds since 1970

    // The flight scenario: where its loop started, and whether a client
    // deactivated it (it then waits at the end of an idle phase).
    bool inFlightScenario;
    FlightProfile profile;
    Clock::time_point flightOrigin;
    bool grounded = false;
    double groundedAt = 0;

    std::unique_ptr<Playback> playback;
};

}  // namespace moorwinch_sim

#endif
