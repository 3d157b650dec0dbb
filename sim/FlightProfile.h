// The flight scenario: a station that goes through a tethered flight and starts
// again, as a function of time. One loop is a table of phases (idle on the
// ground, pre-flight, climb, hover in gusts, descent, landed); what the station
// reports at any moment follows from the phase and the time spent in it, from a
// first-order lag for the heat of the electronics, and from seeded smooth noise
// for gusts and drifting sensors. The same seed and moment always give the same
// readings, so a test drives the station with its own clock.
#ifndef MOORWINCH_SIM_FLIGHT_PROFILE_H
#define MOORWINCH_SIM_FLIGHT_PROFILE_H

#include <cstddef>
#include <cstdint>

namespace moorwinch_sim {

// The aircraft counts as airborne with more tether than this out.
constexpr double airborneAboveCm = 100;

// What the flight has the station report at one moment.
struct FlightState {
    const char* phase;
    bool activated;
    bool supplyStarting;  // the aircraft's supply is still coming up
    double lengthCm;
    double speedCmS;      // at the unscaled flight's pace (see FlightProfile)
    double uavAmps;       // drawn by the aircraft, the retraction torque's share left out
    double uavMillivolts;
    double temperatures[4];  // degrees Celsius
    double humidity;         // per cent
    bool humidityFault;      // environment sensor 1 reports a humidity failure
    double pressure;         // hPa
    double mainsVolts;
    double mainsHertz;
    double fanRpm;
    // The time (on the flight's scale) until which activation and being
    // airborne stay as they are; always after the moment asked for.
    double until;
};

class FlightProfile {
public:
    // The unscaled loop: four minutes.
    static constexpr double naturalSeconds = 240;
    // The tether out while hovering, and the gusts' reach around it.
    static constexpr double hoverLengthM = 60;
    static constexpr double gustReachM = 3;
    // Extra load on the aircraft per per cent of retraction torque.
    static constexpr double ampsPerTorquePercent = 0.05;

    // loopSeconds: how long one loop takes on the station's clock; every phase
    // is scaled alike. Speeds stay those of the unscaled flight, so that a
    // flight compressed into seconds still reports what a real one would.
    FlightProfile(std::uint64_t seed, double loopSeconds);

    // t: seconds since the flight's start on the station's clock. grounded: the
    // station was deactivated by a client, so the supply is off whatever the
    // phase says.
    FlightState at(double t, bool grounded = false) const;

    // Where the flight continues when a client deactivates it at t: on the
    // descent at the same tether length when airborne, at the next idle when on
    // the ground; t itself when already idle.
    double landing(double t) const;
    // Where it continues when a client activates it at t: at the pre-flight of
    // this loop when idle, on the climb at the same tether length when coming
    // down; t itself when already activated.
    double takeOff(double t, bool grounded) const;
    // The end of the idle phase at or after t: a deactivated flight waits there.
    double idleEnd(double t) const;

    double loopSeconds() const { return loop; }

private:
    double noise(std::uint64_t channel, double natural, double period) const;
    double knot(std::uint64_t channel, std::int64_t index) const;
    double heatAt(std::size_t phase, double intoPhase, double loopStartHeat) const;

    std::uint64_t seed;
    double loop;
    double scale;           // natural seconds per second of the station's clock
    double heatAtLoopStart;  // the lagged load where a loop starts, once settled
};

}  // namespace moorwinch_sim

#endif
