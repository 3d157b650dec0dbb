#include "FlightProfile.h"

#include <algorithm>
#include <cmath>

namespace moorwinch_sim {
namespace {

struct Phase {
    const char* name;
    double seconds;  // unscaled
    bool activated;
    double fromM, toM;  // tether at the phase's start and end, paid out or reeled in evenly
    bool gusts;         // the aircraft holds position against gusts
    double uavAmps;     // the aircraft's draw
    double load;        // share of full load on the power electronics, which heats them
};

// One loop. It starts idle on the ground (a deactivated flight waits there);
// exactly one phase climbs and one descends.
constexpr Phase phases[] = {
    {"idle", 30, false, 0, 0, false, 0, 0.0},
    {"pre-flight", 10, true, 0, 0, false, 3, 0.1},
    {"climb", 40, true, 0, FlightProfile::hoverLengthM, false, 42, 1.0},
    {"hover", 90, true, FlightProfile::hoverLengthM, FlightProfile::hoverLengthM, true, 30, 0.7},
    {"descent", 60, true, FlightProfile::hoverLengthM, 0, false, 20, 0.5},
    {"landed", 10, true, 0, 0, false, 3, 0.1},
};
constexpr std::size_t phaseCount = sizeof phases / sizeof phases[0];

// Stretches of the loop (unscaled seconds from its start, inside the hover) in
// which environment sensor 1 reports a humidity failure.
constexpr struct {
    double from, to;
} humidityFaults[] = {{110, 140}};

constexpr double supplyStartSeconds = 2;  // the aircraft's supply coming up
constexpr double heatLagSeconds = 30;     // time constant of the electronics' temperature
constexpr double gustSeconds = 6;         // between the gusts' turning points
constexpr double gustAmpsPerMetrePerSecond = 8;
constexpr double uavMillivolts = 25200;
constexpr double idleFanRpm = 1800, fanRpmPerHeat = 1600;

// Each sensor's reading at rest, and how far full heat lifts it.
constexpr double ambientCelsius[4] = {24, 22, 21, 20};
constexpr double heatRiseCelsius[4] = {24, 12, 6, 3};

// Noise channels, one per wandering quantity.
enum Channel : std::uint64_t {
    gustChannel = 1,
    humidityChannel,
    pressureChannel,
    mainsVoltsChannel,
    mainsHertzChannel,
    temperatureChannel,  // four, one per sensor
};

double phaseStart(std::size_t k) {
    double start = 0;
    for (std::size_t i = 0; i < k; ++i) start += phases[i].seconds;
    return start;
}

std::size_t movingPhase(bool up) {
    for (std::size_t k = 0; k < phaseCount; ++k)
        if (up ? phases[k].toM > phases[k].fromM : phases[k].toM < phases[k].fromM) return k;
    return 0;
}

// The share of a linear phase at which its tether is at lengthM, within 0 to 1.
double shareAt(const Phase& p, double lengthM) {
    return std::clamp((lengthM - p.fromM) / (p.toM - p.fromM), 0.0, 1.0);
}

// splitmix64: a well-spread hash, so that neighbouring knots are unrelated.
std::uint64_t mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// Smoothstep between knots, and its slope.
double smooth(double f) { return f * f * (3 - 2 * f); }
double slope(double f) { return 6 * f * (1 - f); }

// Where in the loop an unscaled moment lies.
struct Place {
    double loopStart;  // unscaled
    std::size_t phase;
    double into;  // unscaled seconds into the phase
    std::int64_t loopIndex;
};

Place placeOf(double natural) {
    const double loops = std::floor(natural / FlightProfile::naturalSeconds);
    Place place{loops * FlightProfile::naturalSeconds, phaseCount - 1, 0, static_cast<std::int64_t>(loops)};
    const double inLoop = natural - place.loopStart;
    double start = 0;
    for (std::size_t k = 0; k < phaseCount; ++k) {
        if (inLoop < start + phases[k].seconds || k + 1 == phaseCount) {
            place.phase = k;
            place.into = std::max(0.0, inLoop - start);
            break;
        }
        start += phases[k].seconds;
    }
    return place;
}

}  // namespace

FlightProfile::FlightProfile(std::uint64_t seedValue, double loopSeconds)
    : seed(mix(seedValue)), loop(loopSeconds), scale(naturalSeconds / loopSeconds), heatAtLoopStart(0) {
    // The loop's heat settles within a few loops; start where it has settled.
    for (int i = 0; i < 100; ++i) {
        const double next = heatAt(phaseCount, 0, heatAtLoopStart);
        const bool settled = std::fabs(next - heatAtLoopStart) < 1e-12;
        heatAtLoopStart = next;
        if (settled) break;
    }
}

// The lagged load intoPhase seconds into a phase (phaseCount: the loop's end).
double FlightProfile::heatAt(std::size_t phase, double intoPhase, double loopStartHeat) const {
    double heat = loopStartHeat;
    for (std::size_t k = 0; k <= phase && k < phaseCount; ++k) {
        const double spent = k == phase ? intoPhase : phases[k].seconds;
        heat = phases[k].load + (heat - phases[k].load) * std::exp(-spent / heatLagSeconds);
    }
    return heat;
}

double FlightProfile::knot(std::uint64_t channel, std::int64_t index) const {
    const std::uint64_t bits = mix(mix(seed ^ mix(channel)) ^ static_cast<std::uint64_t>(index));
    return static_cast<double>(bits >> 11) * 0x1.0p-52 - 1;  // -1 to 1
}

// Smooth seeded noise from -1 to 1 with a turning point every period.
double FlightProfile::noise(std::uint64_t channel, double natural, double period) const {
    const double position = natural / period;
    const double base = std::floor(position);
    const auto index = static_cast<std::int64_t>(base);
    const double a = knot(channel, index);
    return a + (knot(channel, index + 1) - a) * smooth(position - base);
}

FlightState FlightProfile::at(double t, bool grounded) const {
    const double natural = t * scale;
    const Place place = placeOf(natural);
    const Phase& p = phases[place.phase];
    const double share = place.into / p.seconds;
    const double start = place.loopStart + phaseStart(place.phase);

    FlightState s{};
    s.phase = p.name;
    double lengthM = p.fromM + (p.toM - p.fromM) * share;
    double speedMS = (p.toM - p.fromM) / p.seconds;
    double untilNatural = start + p.seconds;
    if (p.gusts) {
        // Turning points pinned to no displacement where the hover starts and
        // ends, so that the tether joins the climb and the descent.
        const auto turns = static_cast<std::int64_t>(std::max(1.0, std::round(p.seconds / gustSeconds)));
        const double spacing = p.seconds / static_cast<double>(turns);
        const double position = place.into / spacing;
        const auto k = std::min(static_cast<std::int64_t>(position), turns - 1);
        const auto point = [&](std::int64_t i) {
            return i <= 0 || i >= turns ? 0.0 : knot(gustChannel, place.loopIndex * (turns + 1) + i);
        };
        const double f = position - static_cast<double>(k), a = point(k), b = point(k + 1);
        lengthM += gustReachM * (a + (b - a) * smooth(f));
        speedMS = gustReachM * (b - a) * slope(f) / spacing;
    } else if (p.fromM != p.toM) {
        const double crossing = shareAt(p, airborneAboveCm / 100);
        if (crossing > 0 && crossing < 1 && share < crossing) untilNatural = start + crossing * p.seconds;
    }
    s.lengthCm = std::max(0.0, lengthM * 100);
    s.speedCmS = speedMS * 100;
    s.until = untilNatural / scale;

    s.activated = p.activated && !grounded;
    const bool poweringUp = !phases[place.phase == 0 ? phaseCount - 1 : place.phase - 1].activated;
    s.supplyStarting = s.activated && poweringUp && place.into < supplyStartSeconds;
    const bool supplied = s.activated && !s.supplyStarting;
    s.uavAmps = supplied ? p.uavAmps + (p.gusts ? gustAmpsPerMetrePerSecond * std::fabs(speedMS) : 0) : 0;
    s.uavMillivolts = supplied ? uavMillivolts : 0;

    const double heat = heatAt(place.phase, place.into, heatAtLoopStart);
    for (int i = 0; i < 4; ++i)
        s.temperatures[i] = ambientCelsius[i] + heatRiseCelsius[i] * heat +
                            0.4 * noise(temperatureChannel + static_cast<std::uint64_t>(i), natural, 20);
    const double inLoop = natural - place.loopStart;
    for (const auto& fault : humidityFaults)
        if (inLoop >= fault.from && inLoop < fault.to) s.humidityFault = true;
    s.humidity = 41 + 4 * noise(humidityChannel, natural, 30);
    s.pressure = 1013 + 1.5 * noise(pressureChannel, natural, 90);
    s.mainsVolts = 230 + 2 * noise(mainsVoltsChannel, natural, 5);
    s.mainsHertz = 50 + 0.03 * noise(mainsHertzChannel, natural, 7);
    s.fanRpm = idleFanRpm + fanRpmPerHeat * heat;
    return s;
}

double FlightProfile::landing(double t) const {
    const Place place = placeOf(t * scale);
    const Phase& p = phases[place.phase];
    if (!p.activated) return t;
    const FlightState s = at(t);
    if (s.lengthCm <= 0) return (place.loopStart + naturalSeconds) / scale;
    const std::size_t descent = movingPhase(false);
    const double share = shareAt(phases[descent], s.lengthCm / 100);
    return (place.loopStart + phaseStart(descent) + share * phases[descent].seconds) / scale;
}

double FlightProfile::takeOff(double t, bool grounded) const {
    const Place place = placeOf(t * scale);
    if (!grounded && phases[place.phase].activated) return t;
    const FlightState s = at(t, grounded);
    if (s.lengthCm > 0) {
        const std::size_t climb = movingPhase(true);
        const double share = shareAt(phases[climb], s.lengthCm / 100);
        return (place.loopStart + phaseStart(climb) + share * phases[climb].seconds) / scale;
    }
    // The pre-flight follows the idle phase; past it, the next loop's.
    const double preFlight = phaseStart(1);
    const double inLoop = t * scale - place.loopStart;
    return (place.loopStart + preFlight + (inLoop > preFlight ? naturalSeconds : 0)) / scale;
}

double FlightProfile::idleEnd(double t) const {
    const Place place = placeOf(t * scale);
    const double end = phases[0].seconds;
    const double inLoop = t * scale - place.loopStart;
    return (place.loopStart + end + (inLoop > end ? naturalSeconds : 0)) / scale;
}

}  // namespace moorwinch_sim
