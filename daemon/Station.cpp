#include "Station.h"

#include <MoorwinchJson.h>
#include <sys/stat.h>

#include <algorithm>

#include "Log.h"
#include "Metrics.h"
#include "Replies.h"

namespace moorwinchd {
namespace {

using KORVANE::Moorwinch;
using KORVANE::MoorwinchJson::toJson;

// Events the server has not taken yet; far more than one poll's worth, so that
// only a stuck server loop would ever reach it.
constexpr std::size_t maxEvents = 4096;
// The thread goes round its loop at least this often, for the watchdog.
constexpr std::chrono::seconds maxWait{1};

bool deviceExists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

int verdictNumber(KORVANE::MoorwinchDefinitions::systemError verdict) {
    switch (verdict) {
        case KORVANE::MoorwinchDefinitions::statusError: return 2;
        case KORVANE::MoorwinchDefinitions::statusWarning: return 1;
        default: return 0;
    }
}

}  // namespace

std::optional<std::string> Station::valueRefusal(const Request& request) {
    // An object without a port checks the range first and fails for want of a
    // connection after it: the range is judged by the library alone.
    Moorwinch unopened;
    try {
        if (request.torque) unopened.setCableRetractionTorque(*request.torque);
    } catch (const KORVANE::ValueException& e) {
        return std::string(e.what());
    } catch (const std::exception&) {
    }
    try {
        if (request.startLength) unopened.setCableRetractionStartLength(*request.startLength);
    } catch (const KORVANE::ValueException& e) {
        return std::string(e.what());
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

Station::Station(StationSettings s, Metrics& m) : settings(std::move(s)), metrics(m) {
    latest.port = settings.port;
    latest.interval = settings.interval;
    latest.timeoutMs = settings.timeoutMs;
    latest.stateSince = WallClock::now();
    latest.libraryBuild = winch.getLibBuild();
    latest.libraryProtocol = winch.getLibProtocolVersion();
    if (settings.trace)
        winch.setTrace([](Moorwinch::traceDirection direction, const std::string& text, WallClock::time_point) {
            log(Level::debug, "trace ", direction == Moorwinch::traceDirection::sent ? "-> " : "<- ", text);
        });
}

Station::~Station() { stop(); }

void Station::start(std::function<void()> wake) {
    wakeServer = std::move(wake);
    beat = Clock::now().time_since_epoch().count();
    thread = std::thread([this] { run(); });
}

void Station::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    if (thread.joinable()) thread.join();
    try {
        if (winch.isConnected()) winch.closeConnection();
    } catch (const std::exception& e) {
        log(Level::warning, "closing ", settings.port, ": ", e.what());
    }
}

Snapshot Station::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return latest;
}

bool Station::submit(Command command) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (pending.size() >= maxPendingCommands) return false;
        pending.push_back(std::move(command));
    }
    changed.notify_all();
    return true;
}

std::vector<Event> Station::take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Event> taken;
    taken.swap(events);
    return taken;
}

Clock::time_point Station::heartbeat() const { return Clock::time_point(Clock::duration(beat.load())); }

void Station::publish(Event::Kind kind, std::uint64_t client, std::string text) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (events.size() >= maxEvents) {
            log(Level::warning, "event queue full; dropping an event");
            return;
        }
        events.push_back(Event{kind, client, std::make_shared<const std::string>(std::move(text))});
    }
    if (wakeServer) wakeServer();
}

// Sleeps until the time, a command or stop, in slices short enough for the watchdog.
bool Station::waitFor(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex);
    const auto slice = std::min(until, Clock::now() + maxWait);
    changed.wait_until(lock, slice, [this] { return stopping || !pending.empty(); });
    beat = Clock::now().time_since_epoch().count();
    return !stopping;
}

bool Station::exchange(const char* op, const std::function<void()>& call, std::string& type, std::string& text) {
    const auto start = Clock::now();
    std::string result = "ok";
    try {
        call();
    } catch (const KORVANE::IOException& e) {
        type = "IOException", text = e.what(), result = "io_error";
    } catch (const KORVANE::DataException& e) {
        type = "DataException", text = e.what(), result = "data_error";
    } catch (const KORVANE::ValueException& e) {
        type = "ValueException", text = e.what(), result = "value_error";
    } catch (const std::exception& e) {
        // The serial library's own errors: the device went away under a read.
        type = "IOException", text = e.what(), result = "serial_error";
    }
    metrics.exchange(op, result.c_str(), std::chrono::duration<double>(Clock::now() - start).count());
    beat = Clock::now().time_since_epoch().count();
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++latest.exchanges;
    }
    // A refused value sent nothing and says nothing about the line.
    if (result == "ok") failuresInRow = 0;
    else if (result == "serial_error") failuresInRow = failuresToDisconnect;
    else if (result != "value_error") ++failuresInRow;
    return result == "ok";
}

// A failed exchange on an open line: log it, and give the line up when it looks lost.
void Station::failed(const std::string& type, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        latest.lastError = text;
    }
    log(Level::warning, type, ": ", text);
    if (failuresInRow >= failuresToDisconnect || !deviceExists(settings.port) || !winch.isConnected())
        disconnect(text);
}

bool Station::connect() {
    std::string type, text;
    Moorwinch::systemDetails details;
    Moorwinch::systemConfig config;
    winch.setConnectionTimeout(settings.timeoutMs);
    const bool ok = exchange("open", [&] { winch.openConnection(settings.port); }, type, text) &&
                    exchange("details", [&] { winch.getSystemDetails(details); }, type, text) &&
                    exchange("config", [&] { winch.getSystemConfig(config); }, type, text);
    if (!ok) {
        try {
            winch.closeConnection();  // a failed handshake leaves the port open
        } catch (const std::exception&) {
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (latest.lastError != text) log(Level::warning, "cannot use ", settings.port, ": ", text);
        else log(Level::debug, "still cannot use ", settings.port, ": ", text);
        latest.lastError = text;
        return false;
    }
    failuresInRow = 0;
    std::string line;
    bool again = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto now = WallClock::now();
        again = latest.haveDetails;  // not the first connection
        if (again) ++latest.reconnects;
        latest.connected = true;
        latest.stateSince = now;
        latest.lastError.clear();
        latest.details = details;
        latest.config = config;
        latest.haveDetails = latest.haveConfig = true;
        latest.detailsTime = latest.configTime = now;
        line = stateEvent(latest);
    }
    metrics.connected(true);
    if (again) metrics.reconnected();
    metrics.details(toJson(details));
    log(Level::notice, "connected to ", settings.port, " (", details.model, " ", details.serialNumber, ", protocol ",
        details.protocolVersion, ")");
    publish(Event::state, 0, std::move(line));
    return true;
}

void Station::disconnect(const std::string& reason) {
    if (!snapshot().connected) return;
    try {
        winch.closeConnection();
    } catch (const std::exception& e) {
        log(Level::debug, "closing ", settings.port, ": ", e.what());
    }
    std::string line;
    {
        std::lock_guard<std::mutex> lock(mutex);
        latest.connected = false;
        latest.stateSince = WallClock::now();
        latest.lastError = reason;
        line = stateEvent(latest);
    }
    metrics.connected(false);
    metrics.forget();
    log(Level::warning, "disconnected from ", settings.port, ": ", reason);
    publish(Event::state, 0, std::move(line));
}

void Station::poll() {
    std::string type, text;
    Moorwinch::systemStatus status;
    const bool ok = exchange("status", [&] { winch.getSystemStatus(status); }, type, text);
    std::uint64_t number;
    Moorwinch::systemDetails details;
    {
        std::lock_guard<std::mutex> lock(mutex);
        number = ++latest.polls;
        if (!ok) ++latest.pollFailures;
        details = latest.details;
    }
    if (!ok) {
        failed(type, text);
        return;
    }
    KORVANE::MoorwinchDefinitions::systemError verdict;
    std::vector<std::string> conditions;
    winch.checkSystemStatus(status, details, verdict, true, conditions);
    const auto now = WallClock::now();
    const json data = toJson(status);
    {
        std::lock_guard<std::mutex> lock(mutex);
        latest.status = status;
        latest.haveStatus = true;
        latest.statusTime = now;
        latest.verdict = verdict;
        latest.conditions = std::move(conditions);
    }
    metrics.status(data, unixSeconds(now), verdictNumber(verdict));
    log(Level::debug, "poll ", number, " ok");
    publish(Event::status, 0, statusEvent(data, now, number));
}

bool Station::readConfig() {
    std::string type, text;
    Moorwinch::systemConfig config;
    if (!exchange("config", [&] { winch.getSystemConfig(config); }, type, text)) {
        failed(type, text);
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    latest.config = config;
    latest.configTime = WallClock::now();
    return true;
}

void Station::execute(Command& command) {
    Request& r = command.request;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++latest.commands;
    }
    auto reply = [&](std::string line) { publish(Event::reply, command.client, std::move(line)); };
    if (!snapshot().connected) {
        reply(errorReply(r.id, "Unavailable", "the station is disconnected; nothing was sent"));
        return;
    }
    std::string type, text;
    bool ok = true;
    if (r.op == Op::set) {
        log(Level::info, "client ", command.client, " sets", r.activation ? " activation" : "",
            r.torque ? " torque" : "", r.startLength ? " startLength" : "");
        // The library's order: deactivate first, activate last.
        if (r.activation && !*r.activation)
            ok = exchange("set_activation", [&] { winch.setSystemActivation(false); }, type, text);
        if (ok && r.torque)
            ok = exchange("set_torque", [&] { winch.setCableRetractionTorque(*r.torque); }, type, text);
        if (ok && r.startLength)
            ok = exchange("set_start_length", [&] { winch.setCableRetractionStartLength(*r.startLength); }, type,
                          text);
        if (ok && r.activation && *r.activation)
            ok = exchange("set_activation", [&] { winch.setSystemActivation(true); }, type, text);
        if (!ok) failed(type, text);
        // Earlier steps stay done after a failure, so the configuration is read either way.
        const bool fresh = snapshot().connected && readConfig();
        const Snapshot s = snapshot();
        if (!ok) reply(errorReply(r.id, type, text));
        else reply(okReply(r.id, toJson(s.config), {{"stale", !fresh}}));
        return;
    }
    // Reporting flags: the ones not named keep the station's current value.
    const Snapshot before = snapshot();
    Moorwinch::systemStatusConfig flags;
    std::int32_t Moorwinch::systemStatusConfig::*members[6] = {
        &Moorwinch::systemStatusConfig::cab,      &Moorwinch::systemStatusConfig::env,
        &Moorwinch::systemStatusConfig::energyGS, &Moorwinch::systemStatusConfig::energyUAV,
        &Moorwinch::systemStatusConfig::sysState, &Moorwinch::systemStatusConfig::hwModuleStatus};
    const std::int32_t current[6] = {before.status.cab,       before.status.env,      before.status.energyGS,
                                     before.status.energyUAV, before.status.sysState, before.status.hwModuleStatus};
    for (int i = 0; i < 6; ++i) {
        const std::int32_t value = r.reporting[i] ? *r.reporting[i] : current[i];
        if (value != 0 && value != 1) {
            reply(errorReply(r.id, "BadRequest",
                             std::string("the station's flag \"") + reportingKeys[i] +
                                 "\" is not known; give all six flags"));
            return;
        }
        flags.*members[i] = value;
    }
    log(Level::info, "client ", command.client, " sets the reporting flags");
    if (!exchange("set_reporting", [&] { winch.setSystemStatusConfig(flags); }, type, text)) {
        failed(type, text);
        reply(errorReply(r.id, type, text));
        return;
    }
    // After every change, as after a reconnect; the flags are reported in the status.
    if (snapshot().connected) readConfig();
    if (snapshot().connected) poll();
    const Snapshot after = snapshot();
    json data = json::object();
    const std::int32_t now[6] = {after.status.cab,       after.status.env,      after.status.energyGS,
                                 after.status.energyUAV, after.status.sysState, after.status.hwModuleStatus};
    for (int i = 0; i < 6; ++i) data[reportingKeys[i]] = now[i] == 255 ? json(nullptr) : json(now[i]);
    reply(okReply(r.id, data, {{"stale", after.statusTime <= before.statusTime}}));
}

void Station::run() {
    auto backoff = firstBackoff;
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings.interval));
    Clock::time_point nextPoll = Clock::now();
    bool connected = false;
    while (true) {
        beat = Clock::now().time_since_epoch().count();
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) return;
            connected = latest.connected;
        }
        if (!connected) {
            if (connect()) {
                backoff = firstBackoff;
                nextPoll = Clock::now();
                continue;
            }
            // Commands that arrive while the device is away are answered at once.
            const auto until = Clock::now() + backoff;
            backoff = std::min(backoff * 2, lastBackoff);
            while (Clock::now() < until && waitFor(until)) {
                std::deque<Command> refused;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    refused.swap(pending);
                }
                for (Command& c : refused) execute(c);
            }
            continue;
        }
        std::deque<Command> next;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!pending.empty()) {
                next.push_back(std::move(pending.front()));
                pending.pop_front();
            }
        }
        if (!next.empty()) {
            execute(next.front());
            continue;
        }
        const auto now = Clock::now();
        if (now >= nextPoll) {
            // Slots that passed entirely while an exchange ran are missed, not made up.
            while (now - nextPoll >= interval) {
                nextPoll += interval;
                metrics.pollMissed();
                std::lock_guard<std::mutex> lock(mutex);
                ++latest.pollsMissed;
            }
            nextPoll += interval;
            poll();
            continue;
        }
        waitFor(nextPoll);
    }
}

}  // namespace moorwinchd
