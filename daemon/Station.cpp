#include "Station.h"

#include <MoorwinchJson.h>
#include <sys/stat.h>

#include <algorithm>

#include "Events.h"
#include "History.h"
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
// Outside library calls the thread goes round its loop at least this often.
constexpr std::chrono::seconds maxWait{1};
// Room for a loaded machine's scheduling on top of a bound before the thread
// counts as stuck.
constexpr std::chrono::seconds slack{1};

// The documented bound of one library call in connection timeouts T: the
// exchange lock wait (T), the reply wait and one line (T).
constexpr int queryBound = 3;        // reply wait T: the handshake, status, config, torque, start length
constexpr int detailsBound = 12;     // reply wait 10 T
constexpr int activationBound = 32;  // reply wait 30 T
constexpr int reportingBound = 35;   // a status exchange, then the change with its reply wait of 30 T

// The reporting flags in the order of reportingKeys.
using Change = Moorwinch::systemStatusConfigChange;
using Status = Moorwinch::systemStatus;
constexpr std::optional<std::int32_t> Change::*changeFlags[6] = {&Change::cab,       &Change::env,
                                                                 &Change::energyGS,  &Change::energyUAV,
                                                                 &Change::sysState,  &Change::hwModuleStatus};
constexpr std::int32_t Status::*statusFlags[6] = {&Status::cab,       &Status::env,      &Status::energyGS,
                                                  &Status::energyUAV, &Status::sysState, &Status::hwModuleStatus};

// The reporting flags a status shows, as the reporting op answers them.
json reportingFlags(const Status& status) {
    json flags = json::object();
    for (int i = 0; i < 6; ++i) {
        const std::int32_t value = status.*statusFlags[i];
        flags[reportingKeys[i]] = value == 255 ? json(nullptr) : json(value);
    }
    return flags;
}

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

Station::Station(StationSettings s, Metrics& m, Events& e, History* h)
    : settings(std::move(s)),
      interval(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings.interval))),
      metrics(m),
      events(e),
      history(h) {
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

void Station::start(std::function<void()> wakeUp) {
    wakeServer = std::move(wakeUp);
    {
        std::lock_guard<std::mutex> lock(mutex);
        beat = Clock::now();
        nextSlot = beat + interval;
    }
    thread = std::thread([this] { run(); });
}

void Station::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    if (thread.joinable()) thread.join();
    std::deque<Command> left;
    {
        std::lock_guard<std::mutex> lock(mutex);
        left.swap(pending);
    }
    for (Command& c : left)
        answer(c, errorReply(c.request.id, {"Unavailable", "unavailable", "the service is stopping; nothing was sent"}));
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

std::optional<Failure> Station::submit(Command command) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        // The thread may have taken its last command already.
        if (stopping) return Failure{"Unavailable", "unavailable", "the service is stopping; nothing was sent"};
        if (pending.size() >= maxPendingCommands)
            return Failure{"Unavailable", "unavailable",
                           "too many changes waiting for the station (" + std::to_string(maxPendingCommands) +
                               "); try again"};
        pending.push_back(std::move(command));
    }
    changed.notify_all();
    return std::nullopt;
}

std::vector<Event> Station::take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Event> taken;
    taken.swap(outbox);
    return taken;
}

void Station::answer(Command& command, std::string line) {
    if (command.reply) command.reply(std::move(line));
    command.reply = nullptr;  // exactly once
}

void Station::wake() {
    if (wakeServer) wakeServer();
}

void Station::publish(Event::Kind kind, std::string text) {
    bool full;
    {
        std::lock_guard<std::mutex> lock(mutex);
        full = outbox.size() >= maxEvents;
        if (!full) outbox.push_back(Event{kind, std::make_shared<const std::string>(std::move(text))});
    }
    if (full) log(Level::warning, "event queue full; dropping an event");
    wake();
}

// A slot of a connected station can be polled until the next slot comes; one
// of a disconnected station cannot be polled at all. Slots that passed
// together (a loop that could not look in time) give one gap.
bool Station::closeSlots(Clock::time_point now) {
    const bool connected = latest.connected;
    const Clock::time_point closesAt = connected ? nextSlot + interval : nextSlot;
    if (now < closesAt) return false;
    const auto passed = 1 + (now - closesAt) / interval;
    nextSlot += passed * interval;
    std::string error;
    if (connected) {
        latest.pollsMissed += static_cast<std::uint64_t>(passed);
        metrics.pollsMissed(static_cast<std::uint64_t>(passed));
        error = std::string("no poll: the station is busy with ") + (callOp ? callOp : lastOp);
    } else {
        error = latest.lastError.empty() ? "not connected yet" : latest.lastError;
    }
    if (outbox.size() >= maxEvents) return false;
    outbox.push_back(
        Event{Event::gap, std::make_shared<const std::string>(gapEvent(WallClock::now(), connected, error))});
    return true;
}

Clock::time_point Station::tick(Clock::time_point now) {
    bool published;
    Clock::time_point next;
    {
        std::lock_guard<std::mutex> lock(mutex);
        published = closeSlots(now);
        next = latest.connected ? nextSlot + interval : nextSlot;
    }
    if (published) wake();
    return std::min(next, checkStale(now));
}

Clock::time_point Station::checkStale(Clock::time_point now) {
    const auto bound = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
        KORVANE::MoorwinchService::staleAfterSeconds(settings.interval, settings.timeoutMs)));
    std::lock_guard<std::mutex> order(staleOrder);
    double age;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!latest.connected || staleTold) return Clock::time_point::max();
        if (now <= lastGood + bound) return lastGood + bound + std::chrono::milliseconds(1);
        staleTold = true;
        age = std::chrono::duration<double>(now - lastGood).count();
    }
    events.stale(WallClock::now(), true, age);
    return Clock::time_point::max();
}

void Station::fresh(Clock::time_point now) {
    std::lock_guard<std::mutex> order(staleOrder);
    double age;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const bool told = staleTold;
        staleTold = false;
        age = std::chrono::duration<double>(now - lastGood).count();
        lastGood = now;
        if (!told) return;
    }
    events.stale(WallClock::now(), false, age);
}

bool Station::responsive(Clock::time_point now) const {
    std::lock_guard<std::mutex> lock(mutex);
    if (callOp) return now <= callDeadline + slack;
    return now - beat <= maxWait + slack;
}

// Sleeps until the time, a change or stop, in slices short enough for the watchdog.
void Station::waitUntil(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_until(lock, std::min(until, Clock::now() + maxWait), [this] { return stopping || !pending.empty(); });
}

bool Station::exchange(const char* op, int bound, const std::function<void()>& call, Failure& failure) {
    const auto start = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex);
        callOp = lastOp = op;
        callDeadline = start + bound * std::chrono::milliseconds(settings.timeoutMs);
    }
    std::string result = "ok";
    bool lineLost = false, answered = false;
    try {
        call();
    } catch (const KORVANE::IOException& e) {
        failure = libraryFailure("IOException", e), result = "io_error";
        lineLost = e.kind() == KORVANE::errorKind::portGone || e.kind() == KORVANE::errorKind::notConnected;
    } catch (const KORVANE::DataException& e) {
        failure = libraryFailure("DataException", e), result = "data_error";
        answered = e.kind() == KORVANE::errorKind::stationRefused;
    } catch (const KORVANE::ValueException& e) {
        failure = libraryFailure("ValueException", e), result = "value_error";
    } catch (const std::exception& e) {
        // What the library lets through from below it: the port is in no state to go on.
        failure = {"IOException", KORVANE::errorKindName(KORVANE::errorKind::portError), e.what()};
        result = "serial_error";
        lineLost = true;
    }
    const auto end = Clock::now();
    metrics.exchange(op, result.c_str(), std::chrono::duration<double>(end - start).count());
    {
        std::lock_guard<std::mutex> lock(mutex);
        callOp = nullptr;
        beat = end;
        ++latest.exchanges;
    }
    // A refusal of the station is an answer; one of the library sent nothing
    // and says nothing about the line. A device that went away or a port that
    // closed under the call is a lost line at once.
    if (result == "ok" || answered) failuresInRow = 0;
    else if (lineLost) failuresInRow = failuresToDisconnect;
    else if (result != "value_error") ++failuresInRow;
    return result == "ok";
}

// A failed exchange on an open line: log it, and give the line up when it looks lost.
void Station::failed(const Failure& failure) {
    if (failure.type == "ValueException" || failure.kind == KORVANE::errorKindName(KORVANE::errorKind::stationRefused))
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        latest.lastError = failure.message;
    }
    log(Level::warning, failure.type, ": ", failure.message);
    if (failuresInRow >= failuresToDisconnect || !deviceExists(settings.port) || !winch.isConnected())
        disconnect(failure.message);
}

bool Station::connect() {
    Failure failure;
    Moorwinch::systemDetails details;
    Moorwinch::systemConfig config;
    winch.setConnectionTimeout(settings.timeoutMs);
    const bool ok =
        exchange("open", queryBound, [&] { winch.openConnection(settings.port); }, failure) &&
        exchange("details", detailsBound, [&] { winch.getSystemDetails(details); }, failure) &&
        exchange("config", queryBound, [&] { winch.getSystemConfig(config); }, failure);
    if (!ok) {
        try {
            winch.closeConnection();  // a failed handshake leaves the port open
        } catch (const std::exception&) {
        }
        bool again;
        {
            std::lock_guard<std::mutex> lock(mutex);
            again = latest.lastError == failure.message;
            latest.lastError = failure.message;
        }
        if (again) log(Level::debug, "still cannot use ", settings.port, ": ", failure.message);
        else log(Level::warning, "cannot use ", settings.port, ": ", failure.message);
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
        nextSlot = lastGood = Clock::now();  // the first poll at once; fresh until it is late
    }
    metrics.connected(true);
    if (again) metrics.reconnected();
    metrics.details(toJson(details));
    const auto now = WallClock::now();
    if (history) {
        history->details(now, details);
        history->config(now, config);
    }
    events.connected(now, details);
    publish(Event::state, std::move(line));
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
    const auto now = WallClock::now();
    {
        std::lock_guard<std::mutex> lock(mutex);
        latest.connected = false;
        latest.stateSince = now;
        latest.lastError = reason;
        line = stateEvent(latest);
    }
    metrics.connected(false);
    metrics.forget();
    events.disconnected(now, reason);
    publish(Event::state, std::move(line));
}

void Station::poll() {
    Failure failure;
    Moorwinch::systemStatus status;
    const bool ok = exchange("status", queryBound, [&] { winch.getSystemStatus(status); }, failure);
    std::uint64_t number;
    Moorwinch::systemDetails details;
    {
        std::lock_guard<std::mutex> lock(mutex);
        number = ++latest.polls;
        if (!ok) ++latest.pollFailures;
        details = latest.details;
    }
    if (!ok) {
        publish(Event::gap, gapEvent(WallClock::now(), true, failure.message));
        failed(failure);
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
        latest.conditions = conditions;
    }
    metrics.status(data, unixSeconds(now), verdictNumber(verdict));
    if (history) history->poll(now, verdict, status);
    fresh(Clock::now());
    if (verdict != toldVerdict || conditions != toldConditions) {
        toldVerdict = verdict;
        toldConditions = conditions;
        events.verdict(now, verdict, conditions);
    }
    log(Level::debug, "poll ", number, " ok");
    publish(Event::status, statusEvent(data, now, number));
}

bool Station::readConfig() {
    Failure failure;
    Moorwinch::systemConfig config;
    if (!exchange("config", queryBound, [&] { winch.getSystemConfig(config); }, failure)) {
        failed(failure);
        return false;
    }
    const auto now = WallClock::now();
    {
        std::lock_guard<std::mutex> lock(mutex);
        latest.config = config;
        latest.configTime = now;
    }
    if (history) history->config(now, config);
    return true;
}

// Changes that arrive while the device is away are answered at once.
void Station::refuseWaiting() {
    std::deque<Command> refused;
    {
        std::lock_guard<std::mutex> lock(mutex);
        refused.swap(pending);
    }
    for (Command& c : refused) execute(c);
}

void Station::execute(Command& command) {
    bool connected;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++latest.commands;
        connected = latest.connected;
    }
    if (!connected) {
        const std::string refusal = "the station is disconnected; nothing was sent";
        auditRefusal(command.author, command.request, refusal);
        answer(command, errorReply(command.request.id, {"Unavailable", "unavailable", refusal}));
    } else if (command.request.op == Op::set)
        executeSet(command);
    else
        executeReporting(command);
}

void Station::executeSet(Command& command) {
    const Request& r = command.request;
    const json before = toJson(snapshot().config);
    Failure failure;
    bool ok = true;
    // The library's order: deactivate first, activate last.
    if (r.activation && !*r.activation)
        ok = exchange("set_activation", activationBound, [&] { winch.setSystemActivation(false); }, failure);
    if (ok && r.torque)
        ok = exchange("set_torque", queryBound, [&] { winch.setCableRetractionTorque(*r.torque); }, failure);
    if (ok && r.startLength)
        ok = exchange("set_start_length", queryBound, [&] { winch.setCableRetractionStartLength(*r.startLength); },
                      failure);
    if (ok && r.activation && *r.activation)
        ok = exchange("set_activation", activationBound, [&] { winch.setSystemActivation(true); }, failure);
    if (!ok) failed(failure);
    // Earlier steps stay done after a failure, so the configuration is read either way.
    const bool fresh = snapshot().connected && readConfig();
    const json after = toJson(snapshot().config);
    events.change(WallClock::now(), r, command.author, before, fresh ? after : json(), ok ? nullptr : &failure);
    answer(command, ok ? okReply(r.id, after, {{"stale", !fresh}}) : errorReply(r.id, failure));
}

// The named flags change, the others keep what the station reports (the
// library's one partial change).
void Station::executeReporting(Command& command) {
    const Request& r = command.request;
    Change change;
    for (int i = 0; i < 6; ++i) change.*changeFlags[i] = r.reporting[i];
    Failure failure;
    Moorwinch::systemStatusConfig sent;
    const Snapshot start = snapshot();
    const json flagsBefore = start.haveStatus ? reportingFlags(start.status) : json();
    if (!exchange("set_reporting", reportingBound, [&] { winch.changeSystemStatusConfig(change, sent); }, failure)) {
        failed(failure);
        events.change(WallClock::now(), r, command.author, flagsBefore, json(), &failure);
        answer(command, errorReply(r.id, failure));
        return;
    }
    // After every change, as after a reconnect; the flags are reported in the status.
    if (snapshot().connected) readConfig();
    if (snapshot().connected) poll();
    const Snapshot after = snapshot();
    const bool stale = after.statusTime <= start.statusTime;
    const json data = reportingFlags(after.status);
    events.change(WallClock::now(), r, command.author, flagsBefore, stale ? json() : data, nullptr);
    answer(command, okReply(r.id, data, {{"stale", stale}}));
}

// The order of work while connected: a poll is due when its slot has come, a
// change when a client sent one (each client has at most one waiting, the
// server sees to that). When both are ready they take turns, so a due poll
// waits for at most one change, and a waiting change for at most one poll
// even when polls take longer than the interval.
void Station::run() {
    auto backoff = firstBackoff;
    auto nextAttempt = Clock::now();
    bool changeLast = false;
    while (true) {
        const auto now = Clock::now();
        bool connected, changeWaiting, published;
        Clock::time_point slot;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) return;
            beat = now;
            published = closeSlots(now);
            connected = latest.connected;
            slot = nextSlot;
            changeWaiting = !pending.empty();
        }
        if (published) wake();
        if (!connected) {
            if (changeWaiting) refuseWaiting();
            if (now < nextAttempt) {
                waitUntil(std::min(nextAttempt, slot));
            } else if (connect()) {
                backoff = firstBackoff;
                changeLast = false;
            } else {
                nextAttempt = Clock::now() + backoff;
                backoff = std::min(backoff * 2, lastBackoff);
            }
            continue;
        }
        if (now >= slot && (!changeWaiting || changeLast)) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                nextSlot += interval;
            }
            poll();
            changeLast = false;
        } else if (changeWaiting) {
            Command command;
            {
                std::lock_guard<std::mutex> lock(mutex);
                command = std::move(pending.front());
                pending.pop_front();
            }
            execute(command);
            changeLast = true;
        } else {
            waitUntil(slot);
        }
    }
}

}  // namespace moorwinchd
