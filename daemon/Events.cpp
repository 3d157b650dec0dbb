#include "Events.h"

#include <MoorwinchHistory.h>
#include <MoorwinchJson.h>

#include <algorithm>
#include <cmath>

#include "History.h"
#include "Metrics.h"
#include "Notifier.h"

namespace moorwinchd {
namespace {

using KORVANE::MoorwinchJson::verdictName;

struct KindId {
    const char* kind;
    const char* id;
};
// Fixed for good: journalctl MESSAGE_ID=... and alarm rules rely on them.
constexpr KindId messageIds[] = {
    {"connected", "265b56256df14782ae323e90ba5b93c3"},    {"disconnected", "11f54fe1f9bb48508262dee7d2d548ab"},
    {"verdict", "7defb0de708141f796a6c7a2717db4d6"},      {"stale", "e3da1e768b5a4515b2cbdd3a02a8fd43"},
    {"config", "f9a6bd05d74c4c86b7f0500338c52f52"},       {"reporting", "e34ba213156f49308ab58a975246c5ee"},
    {"refused", "ea9fcdde324a489eb4f1842f127edf7a"},
};

// The members a change names, under the names of the record it changes.
json requested(const Request& r) {
    json wanted = json::object();
    if (r.op == Op::setReporting) {
        for (int i = 0; i < 6; ++i)
            if (r.reporting[i]) wanted[reportingKeys[i]] = *r.reporting[i];
        return wanted;
    }
    if (r.torque) wanted["cableRetractionTorque"] = *r.torque;
    if (r.startLength) wanted["cableRetractionStartLength"] = KORVANE::MoorwinchJson::detail::shortest(*r.startLength);
    if (r.activation) wanted["systemActivation"] = *r.activation;
    return wanted;
}

// The members of the record that the change names.
json part(const json& record, const json& names) {
    if (!record.is_object()) return nullptr;
    json values = json::object();
    for (const auto& item : names.items()) values[item.key()] = record.value(item.key(), json());
    return values;
}

// "cableRetractionTorque 40 -> 55, systemActivation false -> true"; without
// the values after, those asked for; without those before, no arrow.
std::string changes(const json& old, const json& now, const json& names) {
    std::string text;
    for (const auto& item : names.items()) {
        if (!text.empty()) text += ", ";
        text += item.key() + " ";
        if (old.is_object()) text += old.value(item.key(), json()).dump() + " -> ";
        if (now.is_object()) text += now.value(item.key(), json()).dump();
        else text += item.value().dump() + (old.is_object() ? " (asked; not read back)" : "");
    }
    return text;
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (const std::string& p : parts) text += (text.empty() ? "" : separator) + p;
    return text;
}

}  // namespace

const char* messageId(const std::string& kind) {
    for (const KindId& k : messageIds)
        if (kind == k.kind) return k.id;
    return messageIds[0].id;
}

Events::Events(std::string p, Metrics& m, History* h, Notifier* n)
    : port(std::move(p)), metrics(m), history(h), notifier(n) {}

StationEvent Events::make(const char* kind, WallClock::time_point time, Level level, std::string message) {
    StationEvent e;
    e.kind = kind;
    e.time = time;
    e.level = level;
    e.message = std::move(message);
    std::string serial;
    {
        std::lock_guard<std::mutex> lock(mutex);
        serial = serialNumber;
    }
    e.data = {{"event", kind},
              {"time", KORVANE::MoorwinchHistory::formatTime(historyTime(time))},
              {"port", port},
              {"message", e.message}};
    if (!serial.empty()) e.data["serialNumber"] = serial;
    return e;
}

namespace {

// The event's members as the commands' environment: texts as they are, lists
// joined with "; ", other values as JSON.
std::vector<std::string> environmentOf(const json& data) {
    static const struct {
        const char* member;
        const char* variable;
    } names[] = {{"event", "MOORWINCH_EVENT"},     {"time", "MOORWINCH_TIME"},
                 {"port", "MOORWINCH_PORT"},       {"serialNumber", "MOORWINCH_SERIAL_NUMBER"},
                 {"message", "MOORWINCH_MESSAGE"}, {"verdict", "MOORWINCH_VERDICT"},
                 {"conditions", "MOORWINCH_CONDITIONS"}, {"error", "MOORWINCH_ERROR"},
                 {"stale", "MOORWINCH_STALE"},     {"result", "MOORWINCH_RESULT"}};
    std::vector<std::string> environment;
    for (const auto& n : names) {
        auto it = data.find(n.member);
        if (it == data.end()) continue;
        std::string value;
        if (it->is_string()) value = it->get<std::string>();
        else if (it->is_array()) {
            for (const json& item : *it) value += (value.empty() ? "" : "; ") + item.get<std::string>();
        } else if (it->is_boolean()) value = it->get<bool>() ? "1" : "0";
        else if (it->is_object() && it->contains("message")) value = (*it)["message"].get<std::string>();
        else value = it->dump(-1, ' ', false, json::error_handler_t::replace);
        value.erase(std::remove(value.begin(), value.end(), '\0'), value.end());
        environment.push_back(std::string(n.variable) + "=" + value);
    }
    return environment;
}

}  // namespace

void Events::raise(StationEvent e) {
    for (std::string& variable : environmentOf(e.data)) e.environment.push_back(std::move(variable));
    std::vector<std::string> fields = {"MOORWINCH_EVENT=" + e.kind, "MOORWINCH_PORT=" + port};
    if (auto author = e.data.find("author"); author != e.data.end())
        fields.push_back("MOORWINCH_AUTHOR=" + author->dump(-1, ' ', false, json::error_handler_t::replace));
    logWithId(e.level, messageId(e.kind), e.message, fields);
    metrics.event(e.kind.c_str());
    if (history) history->event(e.time, e.kind, e.message, e.data);
    if (notifier) notifier->offer(e);
}

void Events::connected(WallClock::time_point time, const KORVANE::Moorwinch::systemDetails& details) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        serialNumber = details.serialNumber;
    }
    StationEvent e = make("connected", time, Level::notice,
                          "connected to " + port + " (" + details.model + " " + details.serialNumber + ", protocol " +
                              details.protocolVersion + ")");
    e.condition = "connection";
    e.state = "connected";
    raise(std::move(e));
}

void Events::disconnected(WallClock::time_point time, const std::string& error) {
    StationEvent e = make("disconnected", time, Level::warning, "disconnected from " + port + ": " + error);
    e.data["error"] = error;
    e.condition = "connection";
    e.state = "disconnected";
    e.bad = true;
    raise(std::move(e));
}

void Events::verdict(WallClock::time_point time, KORVANE::MoorwinchDefinitions::systemError verdict,
                     const std::vector<std::string>& conditions) {
    const std::string name = verdictName(verdict);
    const Level level = verdict == KORVANE::MoorwinchDefinitions::statusError     ? Level::error
                        : verdict == KORVANE::MoorwinchDefinitions::statusWarning ? Level::warning
                                                                                  : Level::notice;
    StationEvent e = make("verdict", time, level,
                          "health " + name + (conditions.empty() ? "" : ": " + joined(conditions, "; ")));
    e.data["verdict"] = name;
    e.data["conditions"] = conditions;
    e.condition = "verdict";
    e.state = conditions.empty() ? name : name + ": " + joined(conditions, "; ");
    e.bad = verdict != KORVANE::MoorwinchDefinitions::statusOk;
    raise(std::move(e));
}

void Events::stale(WallClock::time_point time, bool stale, double age) {
    StationEvent e = make("stale", time, stale ? Level::warning : Level::notice,
                          stale ? "no successful poll for " + secondsText(age) + " s: the data are stale"
                                : "a successful poll again after " + secondsText(age) + " s: the data are fresh");
    e.data["stale"] = stale;
    e.data["age"] = std::round(age * 1000) / 1000;
    e.condition = "stale";
    e.state = stale ? "stale" : "fresh";
    e.bad = stale;
    raise(std::move(e));
}

void Events::change(WallClock::time_point time, const Request& r, const Author& author, const json& before,
                    const json& after, const Failure* failure) {
    const bool reporting = r.op == Op::setReporting;
    const json names = requested(r);
    const json old = part(before, names), now = part(after, names);
    StationEvent e = make(reporting ? "reporting" : "config", time, Level::notice,
                          author.describe() + (reporting ? " changed the reporting: " : " changed the configuration: ") +
                              changes(old, now, names) + (failure ? "; failed: " + failure->message : "; ok"));
    e.data["author"] = author.toJson();
    e.environment.push_back("MOORWINCH_AUTHOR=" + author.describe());
    e.data["requested"] = names;
    e.data["old"] = old;
    e.data["new"] = now;
    e.data["result"] = failure ? json{{"type", failure->type}, {"kind", failure->kind}, {"message", failure->message}}
                               : json("ok");
    raise(std::move(e));
}

void auditRefusal(const Author& author, const Request& r, const std::string& reason) {
    if (!unbraked(Level::notice, "refused changes", author.source())) return;
    const json names = requested(r);
    logWithId(Level::notice, messageId("refused"),
              "refused a change from " + author.describe() + ": " + changes(nullptr, nullptr, names) + ": " + reason,
              {"MOORWINCH_AUTHOR=" + author.toJson().dump(-1, ' ', false, json::error_handler_t::replace)});
}

}  // namespace moorwinchd
