// The one owner of the station: a thread that holds the library object, opens
// the port, polls the status every interval, runs the clients' changes between
// polls, and on a failing line closes, reopens with backoff and reads details
// and configuration again. Clients never touch the library; they read the
// latest snapshot and receive the station's events through take().
#ifndef MOORWINCHD_STATION_H
#define MOORWINCHD_STATION_H

#include <Moorwinch.h>
#include <MoorwinchService.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Auth.h"
#include "Request.h"

namespace moorwinchd {

class Events;
class History;
class Metrics;
using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

// Failed exchanges in a row that count as a lost line; a vanished device or a
// serial-port error counts at once.
constexpr int failuresToDisconnect = 3;
// Reopening waits 0.5 s, doubling up to 8 s.
constexpr std::chrono::milliseconds firstBackoff{500}, lastBackoff{8000};
// Changes waiting for the station, of all clients together; more are refused
// as Unavailable.
constexpr std::size_t maxPendingCommands = 64;

struct StationSettings {
    std::string port;
    double interval = 1.0;
    unsigned int timeoutMs = 400;
    bool trace = false;
};

// The content of an error reply: the type and kind, the message, and where the
// station refused or an argument was refused, the station's status and
// message and the field.
struct Failure {
    Failure() = default;
    Failure(std::string t, std::string k, std::string m)
        : type(std::move(t)), kind(std::move(k)), message(std::move(m)) {}
    std::string type, kind, message;
    int stationStatus = -1;
    std::string stationMessage, field;
};

// An exception of the library as the error of a reply: type is its class.
template <class E>
Failure libraryFailure(const char* type, const E& e) {
    Failure f(type, KORVANE::errorKindName(e.kind()), e.what());
    f.stationStatus = e.detail().stationStatus;
    f.stationMessage = e.detail().stationMessage;
    f.field = e.detail().field;
    return f;
}

// What the station last told us, with when.
struct Snapshot {
    bool connected = false;
    std::string port;
    WallClock::time_point stateSince;
    std::string lastError;
    bool haveStatus = false, haveDetails = false, haveConfig = false;
    KORVANE::Moorwinch::systemStatus status;
    KORVANE::Moorwinch::systemDetails details;
    KORVANE::Moorwinch::systemConfig config;
    WallClock::time_point statusTime, detailsTime, configTime;
    KORVANE::MoorwinchDefinitions::systemError verdict = KORVANE::MoorwinchDefinitions::statusOk;
    std::vector<std::string> conditions;
    std::uint64_t polls = 0, pollFailures = 0, pollsMissed = 0, reconnects = 0, exchanges = 0, commands = 0;
    std::string libraryBuild, libraryProtocol;
    double interval = 0;
    unsigned int timeoutMs = 0;

    // Seconds after which polled data are stale (the rule clients share).
    double staleAfter() const { return KORVANE::MoorwinchService::staleAfterSeconds(interval, timeoutMs); }
};

// A change of the station (set, reporting set), judged already (Changes.h),
// with who asked and where its reply goes: the reply line is handed to the
// sink exactly once, from the station's thread (or from stop()).
struct Command {
    Request request;
    Author author;
    std::function<void(std::string line)> reply;
};

// A line for every watcher.
struct Event {
    enum Kind { status, state, gap } kind;
    std::shared_ptr<const std::string> line;  // the complete line with its "\n"
};

class Station {
public:
    // history may be null (no --history).
    Station(StationSettings settings, Metrics& metrics, Events& events, History* history);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // wake is called whenever events are waiting.
    void start(std::function<void()> wake);
    // Ends the thread and closes the port; changes still waiting are answered
    // Unavailable.
    void stop();

    Snapshot snapshot() const;
    // Queues the change; otherwise says why not (too many waiting, stopping),
    // and nothing was sent.
    std::optional<Failure> submit(Command command);
    std::vector<Event> take();

    // Gives the watchers a gap for every poll slot that can no longer be
    // polled, also while the thread is inside a long library call, and tells
    // of data gone stale. Returns when it should be called next.
    Clock::time_point tick(Clock::time_point now);
    // For the watchdog: whether the thread is inside a library call that has
    // not outrun its documented bound, or goes round its loop.
    bool responsive(Clock::time_point now) const;

private:
    void run();
    bool connect();
    void disconnect(const std::string& reason);
    void refuseWaiting();
    void poll();
    void execute(Command& command);
    void executeSet(Command& command);
    void executeReporting(Command& command);
    bool readConfig();
    // Runs one library call whose bound is the given number of connection
    // timeouts, counting it; false after a failure, described in failure.
    bool exchange(const char* op, int bound, const std::function<void()>& call, Failure& failure);
    void failed(const Failure& failure);
    void waitUntil(Clock::time_point until);
    void publish(Event::Kind kind, std::string line);
    void answer(Command& command, std::string line);
    // With the mutex held: queues the gap of a slot that passed; true when it did.
    bool closeSlots(Clock::time_point now);
    // The stale event when the last successful poll (or the connect) is older
    // than the stale bound while connected; returns when to look again.
    Clock::time_point checkStale(Clock::time_point now);
    // The end of stale data, at a successful poll.
    void fresh(Clock::time_point now);
    void wake();

    const StationSettings settings;
    const Clock::duration interval;
    Metrics& metrics;
    Events& events;
    History* const history;
    KORVANE::Moorwinch winch;
    std::function<void()> wakeServer;

    mutable std::mutex mutex;
    std::condition_variable changed;
    Snapshot latest;
    std::deque<Command> pending;
    std::vector<Event> outbox;  // lines for the watchers, until take()
    bool stopping = false;
    // The library call in progress (op null when none) and the end of its
    // bound, the last call's name, and when the thread last went round its loop.
    const char* callOp = nullptr;
    const char* lastOp = "";
    Clock::time_point callDeadline, beat;
    // The poll slot due next: one every interval, each gives the watchers one
    // line, a status event or a gap.
    Clock::time_point nextSlot;

    int failuresInRow = 0;
    // The verdict last told (the station thread's own).
    KORVANE::MoorwinchDefinitions::systemError toldVerdict = KORVANE::MoorwinchDefinitions::statusOk;
    std::vector<std::string> toldConditions;
    // With the mutex: the last successful poll or connect, and whether the
    // data were told stale since.
    Clock::time_point lastGood;
    bool staleTold = false;
    // Held from the change of staleTold to its event (taken before mutex), so
    // that the socket thread's stale and the station thread's end of it are
    // raised in the order they happened.
    std::mutex staleOrder;
    std::thread thread;
};

}  // namespace moorwinchd

#endif
