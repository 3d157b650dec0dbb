#include "Replies.h"

#include <MoorwinchJson.h>

#include <cmath>

namespace moorwinchd {
namespace {

using KORVANE::MoorwinchJson::toJson;
// Envelopes keep their members in the order written: "id", "ok", "data" first.
using ordered = nlohmann::ordered_json;

std::string line(const ordered& object) {
    // Texts from the station or the client may hold bytes that are not UTF-8.
    return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

json timeOrNull(bool known, WallClock::time_point time) {
    return known ? json(unixSeconds(time)) : json(nullptr);
}

double ageOf(WallClock::time_point time) {
    const double age = std::chrono::duration<double>(WallClock::now() - time).count();
    return std::round(std::max(age, 0.0) * 1000) / 1000;
}

// Reads carry when their data were read and how old they are. Polled data are
// stale when the station is disconnected or when they are older than the one
// freshness rule allows, connected or not; details and configuration are read
// again at every connect and after every change, so they are stale only while
// disconnected.
json freshness(const Snapshot& s, WallClock::time_point time, bool polled) {
    const double age = ageOf(time);
    return {{"time", unixSeconds(time)}, {"age", age}, {"stale", !s.connected || (polled && age > s.staleAfter())}};
}

std::string notYet(const json& id, const Snapshot& s, const char* what) {
    std::string message = std::string("no ") + what + " read from the station yet";
    if (!s.connected) message += " (disconnected" + (s.lastError.empty() ? "" : ": " + s.lastError) + ")";
    return errorReply(id, {"Unavailable", "unavailable", message});
}

json reportingOf(const KORVANE::Moorwinch::systemStatus& status) {
    KORVANE::Moorwinch::systemStatusConfig flags;
    flags.cab = status.cab;
    flags.env = status.env;
    flags.energyGS = status.energyGS;
    flags.energyUAV = status.energyUAV;
    flags.sysState = status.sysState;
    flags.hwModuleStatus = status.hwModuleStatus;
    return toJson(flags);
}

json stateData(const Snapshot& s, const ServerCounts& c) {
    return {{"state", s.connected ? "connected" : "disconnected"},
            {"port", s.port},
            {"since", unixSeconds(s.stateSince)},
            {"lastPoll", timeOrNull(s.haveStatus, s.statusTime)},
            {"age", s.haveStatus ? json(ageOf(s.statusTime)) : json(nullptr)},
            {"stale", !s.connected || !s.haveStatus || ageOf(s.statusTime) > s.staleAfter()},
            {"lastError", s.lastError.empty() ? json(nullptr) : json(s.lastError)},
            {"interval", s.interval},
            {"timeout", s.timeoutMs},
            {"polls", s.polls},
            {"pollFailures", s.pollFailures},
            {"pollsMissed", s.pollsMissed},
            {"reconnects", s.reconnects},
            {"exchanges", s.exchanges},
            {"commands", s.commands},
            {"clients", c.clients},
            {"watchers", c.watchers},
            {"clientsDropped", c.dropped}};
}

}  // namespace

double unixSeconds(WallClock::time_point time) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
    return static_cast<double>(us) / 1e6;
}

std::string okReply(const json& id, json data, const json& extra) {
    ordered reply = {{"id", id}, {"ok", true}, {"data", std::move(data)}};
    for (const auto& item : extra.items()) reply[item.key()] = item.value();
    return line(reply);
}

std::string errorReply(const json& id, const Failure& f) {
    ordered error = {{"type", f.type}, {"kind", f.kind}, {"message", f.message}};
    if (f.stationStatus >= 0) {
        error["stationStatus"] = f.stationStatus;
        error["stationMessage"] = f.stationMessage;
    }
    if (!f.field.empty()) error["field"] = f.field;
    return line({{"id", id}, {"ok", false}, {"error", error}});
}

std::string statusEvent(const json& data, WallClock::time_point time, std::uint64_t poll) {
    return line({{"event", "status"}, {"time", unixSeconds(time)}, {"poll", poll}, {"data", data}});
}

std::string stateEvent(const Snapshot& s) {
    ordered event = {{"event", "state"},
                  {"state", s.connected ? "connected" : "disconnected"},
                  {"time", unixSeconds(s.stateSince)},
                  {"port", s.port}};
    if (!s.connected && !s.lastError.empty()) event["error"] = s.lastError;
    return line(event);
}

std::string gapEvent(WallClock::time_point time, bool connected, const std::string& error) {
    return line({{"event", "gap"},
                 {"time", unixSeconds(time)},
                 {"state", connected ? "connected" : "disconnected"},
                 {"error", error}});
}

json watchData(bool watching, const Snapshot& s) {
    return {{"watching", watching},
            {"state", s.connected ? "connected" : "disconnected"},
            {"interval", s.interval},
            {"staleAfter", s.staleAfter()}};
}

std::string readReply(const Request& r, const Snapshot& s, const ServerCounts& counts) {
    switch (r.op) {
        case Op::status:
            if (!s.haveStatus) return notYet(r.id, s, "status");
            return okReply(r.id, toJson(s.status), freshness(s, s.statusTime, true));
        case Op::reporting:
            if (!s.haveStatus) return notYet(r.id, s, "status");
            return okReply(r.id, reportingOf(s.status), freshness(s, s.statusTime, true));
        case Op::details:
            if (!s.haveDetails) return notYet(r.id, s, "details");
            return okReply(r.id, toJson(s.details), freshness(s, s.detailsTime, false));
        case Op::config:
            if (!s.haveConfig) return notYet(r.id, s, "configuration");
            return okReply(r.id, toJson(s.config), freshness(s, s.configTime, false));
        case Op::check:
            if (!s.haveStatus || !s.haveDetails) return notYet(r.id, s, "status");
            return okReply(r.id,
                           {{"verdict", KORVANE::MoorwinchJson::verdictName(s.verdict)}, {"conditions", s.conditions}},
                           freshness(s, s.statusTime, true));
        case Op::version:
            return okReply(r.id, {{"service", MOORWINCHD_VERSION},
                                  {"library", s.libraryBuild},
                                  {"libraryProtocol", s.libraryProtocol},
                                  {"stationProtocol", s.haveDetails ? json(s.details.protocolVersion) : json(nullptr)}});
        case Op::state:
            return okReply(r.id, stateData(s, counts));
        default:
            return errorReply(r.id, {"BadRequest", "badRequest", "not a read"});
    }
}

}  // namespace moorwinchd
