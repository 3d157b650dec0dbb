// The one owner of the station: a thread that holds the library object, opens
// the port, polls the status every interval, runs the clients' commands between
// polls, and on a failing line closes, reopens with backoff and reads details
// and configuration again. Clients never touch the library; they read the
// latest snapshot and receive the station's events through take().
#ifndef MOORWINCHD_STATION_H
#define MOORWINCHD_STATION_H

#include <Moorwinch.h>

#include <atomic>
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

#include "Request.h"

namespace moorwinchd {

class Metrics;
using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

// Failed exchanges in a row that count as a lost line; a vanished device or a
// serial-port error counts at once.
constexpr int failuresToDisconnect = 3;
// Reopening waits 0.5 s, doubling up to 8 s.
constexpr std::chrono::milliseconds firstBackoff{500}, lastBackoff{8000};
// Commands waiting for the station; more are refused as Unavailable.
constexpr std::size_t maxPendingCommands = 64;

struct StationSettings {
    std::string port;
    double interval = 1.0;
    unsigned int timeoutMs = 400;
    bool trace = false;
};

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
};

// One client's change of the station, answered through an Event::reply.
struct Command {
    std::uint64_t client = 0;
    Request request;
};

struct Event {
    enum Kind { status, state, reply } kind;
    std::uint64_t client = 0;  // reply: the client that asked
    std::shared_ptr<const std::string> line;  // the complete line with its "\n"
};

class Station {
public:
    Station(StationSettings settings, Metrics& metrics);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // wake is called (from the station thread) whenever events are waiting.
    void start(std::function<void()> wake);
    // Ends the thread and closes the port.
    void stop();

    Snapshot snapshot() const;
    // The library's own refusal of a setting out of range (its ValueException
    // text), judged before anything is queued or sent; nullopt when in range.
    static std::optional<std::string> valueRefusal(const Request& request);
    // False when too many commands are waiting.
    bool submit(Command command);
    std::vector<Event> take();
    // When the thread last went round its loop, for the watchdog.
    Clock::time_point heartbeat() const;

private:
    void run();
    bool connect();
    void disconnect(const std::string& reason);
    void poll();
    void execute(Command& command);
    bool readConfig();
    // Runs one exchange, counting it; false after a failure, with its reply type and text.
    bool exchange(const char* op, const std::function<void()>& call, std::string& type, std::string& text);
    void failed(const std::string& type, const std::string& text);
    bool waitFor(Clock::time_point until);
    void publish(Event::Kind kind, std::uint64_t client, std::string line);

    const StationSettings settings;
    Metrics& metrics;
    KORVANE::Moorwinch winch;
    std::function<void()> wakeServer;

    mutable std::mutex mutex;
    std::condition_variable changed;
    Snapshot latest;
    std::deque<Command> pending;
    std::vector<Event> events;
    bool stopping = false;
    std::atomic<Clock::rep> beat{0};

    int failuresInRow = 0;
    std::thread thread;
};

}  // namespace moorwinchd

#endif
