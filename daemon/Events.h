// The station's events, from one source: connected, disconnected, verdict (a
// change of the health verdict or its conditions), stale (no successful poll
// for the stale bound while connected, and its end), config and reporting (a
// change of the station: who, old and new values, result). Each event is at
// once a log line with its priority and a stable MESSAGE_ID, a row of the
// history's events (with --history), a count in the metrics and, through the
// notifier (with --on-event), a run of the event commands.
#ifndef MOORWINCHD_EVENTS_H
#define MOORWINCHD_EVENTS_H

#include <Moorwinch.h>

#include <mutex>
#include <string>
#include <vector>

#include "Log.h"
#include "Station.h"

namespace moorwinchd {

class History;
class Metrics;
class Notifier;

struct StationEvent {
    std::string kind;
    WallClock::time_point time;
    Level level = Level::notice;
    std::string message;  // for people; also the log line
    // {"event","time","port","serialNumber","message",...}: the one line an
    // event command reads, and the data of the history's row.
    json data;
    // The same for the event commands' environment: MOORWINCH_EVENT=... .
    std::vector<std::string> environment;
    // What a delay of notifications looks at: the condition the event belongs
    // to ("connection", "verdict", "stale"; "" for a change, told at once),
    // the condition's state after it, and whether that state is one a person
    // is told of only once it lasts (disconnected, stale, a verdict not ok).
    std::string condition;
    std::string state;
    bool bad = false;
};

class Events {
public:
    // history and notifier may be null (no --history, no --on-event).
    Events(std::string port, Metrics& metrics, History* history, Notifier* notifier);
    Events(const Events&) = delete;
    Events& operator=(const Events&) = delete;

    // Safe from any thread.
    void connected(WallClock::time_point time, const KORVANE::Moorwinch::systemDetails& details);
    void disconnected(WallClock::time_point time, const std::string& error);
    void verdict(WallClock::time_point time, KORVANE::MoorwinchDefinitions::systemError verdict,
                 const std::vector<std::string>& conditions);
    void stale(WallClock::time_point time, bool stale, double age);
    // A set or reporting change that reached the station: the records'
    // mapping before and after (after null when it could not be read), and
    // the failure when it failed.
    void change(WallClock::time_point time, const Request& request, const Author& author, const json& before,
                const json& after, const Failure* failure);

private:
    StationEvent make(const char* kind, WallClock::time_point time, Level level, std::string message);
    void raise(StationEvent event);

    const std::string port;
    Metrics& metrics;
    History* const history;
    Notifier* const notifier;
    std::mutex mutex;
    std::string serialNumber;  // of the last details read
};

// A change refused before it reached the station (rights, range, busy,
// queue, disconnected): logged at notice with the audit's own MESSAGE_ID,
// naming who asked for what and why it was refused; braked per source (Log.h),
// so that clients without rights cannot flood the log.
void auditRefusal(const Author& author, const Request& request, const std::string& reason);

// The MESSAGE_ID of an event kind (and "refused" for refused changes).
const char* messageId(const std::string& kind);

}  // namespace moorwinchd

#endif
