#include "History.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Failures.h"
#include "MoorwinchHistory.h"
#include "Output.h"
#include "ServiceBackend.h"
#include "ServiceLines.h"

namespace moorwinch_tool {
namespace {

namespace h = KORVANE::MoorwinchHistory;
using serviceLines::textOf;

// Without --since the range is the hour before its end.
constexpr h::Time defaultSpan = 3600 * h::microsecondsPerSecond;

struct Answer {
    std::vector<h::Row> rows;
    std::vector<h::Bucket> buckets;
    std::vector<h::Event> events;
};

// The units of the status members that have one, for the table's header.
struct Unit {
    const char* key;
    const char* unit;
};
const Unit units[] = {
    {"cableLength", "m"},          {"cableSpeed", "m/s"},         {"cableRetractionTorque", "%"},
    {"cableRetractionStartLength", "m"},
    {"temperature1", "\xC2\xB0" "C"}, {"temperature2", "\xC2\xB0" "C"}, {"temperature3", "\xC2\xB0" "C"},
    {"temperature4", "\xC2\xB0" "C"}, {"humidity1", "%"},         {"pressure1", "hPa"},
    {"fan1Rpm", "1/min"},          {"fan2Rpm", "1/min"},          {"mainsVoltage", "V"},
    {"mainsCurrent", "A"},         {"mainsFrequency", "Hz"},      {"backupBatteryVoltage", "V"},
    {"uavSupplyVoltage", "V"},     {"uavSupplyCurrent", "A"},     {"uavPowerConsumption", "W"},
    {"systemTime", "s"},           {"operationTime", "s"},        {"flightTime", "s"},
    {"flightTimeOpSum", "s"},
};

// "cableLength (m)", or the bare name of a member without a unit.
std::string withUnit(const std::string& name, const std::string& suffix = "") {
    for (const Unit& u : units)
        if (name == u.key) return name + suffix + " (" + u.unit + ")";
    return name + suffix;
}

// Reading -----------------------------------------------------------------

h::Time stepOf(double seconds) { return std::llround(seconds * static_cast<double>(h::microsecondsPerSecond)); }

Answer fromFile(const Invocation& inv, const h::FieldSet& fields) {
    const h::Reader reader(inv.historyFile);
    const h::Time now = h::now();
    const h::Time until = inv.until ? h::parseTime(*inv.until, now) : now;
    const h::Time since = inv.since ? h::parseTime(*inv.since, now) : std::max(h::minTime, until - defaultSpan);
    Answer answer;
    if (inv.command == Command::events)
        answer.events = reader.events(since, until);
    else if (inv.stepSeconds)
        answer.buckets = reader.buckets(since, until, fields, stepOf(*inv.stepSeconds));
    else
        answer.rows = reader.rows(since, until, fields);
    return answer;
}

// The service's items read back into the library's records. Time and verdict
// must be there; a value of another type than a number reads as none, as
// everything the tool reads from the service.
bool readTime(const json& item, h::Time& time) {
    const auto t = item.find("time");
    if (t == item.end() || !t->is_number()) return false;
    try {
        time = h::timeFromJson(*t, 0);
        return true;
    } catch (const h::QueryError&) {
        return false;
    }
}

bool readVerdict(const json& item, h::Verdict& verdict) {
    const std::string name = textOf(item, "verdict");
    for (h::Verdict v : {KORVANE::MoorwinchDefinitions::statusOk, KORVANE::MoorwinchDefinitions::statusWarning,
                         KORVANE::MoorwinchDefinitions::statusError})
        if (name == KORVANE::MoorwinchJson::verdictName(v)) {
            verdict = v;
            return true;
        }
    return false;
}

std::optional<double> numberAt(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_number() ? std::optional<double>(it->get<double>()) : std::nullopt;
}

bool readRow(const json& item, const h::FieldSet& fields, h::Row& row) {
    if (!readTime(item, row.time) || !readVerdict(item, row.verdict)) return false;
    for (std::size_t i = 0; i < fields.size(); ++i) row.values.push_back(numberAt(item, fields.name(i)));
    return true;
}

bool readBucket(const json& item, const h::FieldSet& fields, h::Bucket& bucket) {
    if (!readTime(item, bucket.time) || !readVerdict(item, bucket.verdict)) return false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const json stats = serviceLines::objectOf(item, fields.name(i));
        const auto min = numberAt(stats, "min"), max = numberAt(stats, "max"), mean = numberAt(stats, "mean");
        bucket.values.push_back(min && max && mean ? std::optional<h::Stats>(h::Stats{*min, *max, *mean})
                                                   : std::nullopt);
    }
    return true;
}

bool readEvent(const json& item, h::Event& event) {
    if (!readTime(item, event.time)) return false;
    event.kind = textOf(item, "kind");
    event.message = textOf(item, "message");
    const auto data = item.find("data");
    if (data != item.end() && data->is_object()) event.data = *data;
    return !event.kind.empty();
}

// Times are sent as given, so that a relative one counts back from the
// service's clock, which stamped the polls.
Answer fromService(const Invocation& inv, const h::FieldSet& fields, ServiceBackend& service) {
    const bool events = inv.command == Command::events;
    json request = {{"op", events ? "events" : "history"}};
    if (inv.since) request["since"] = *inv.since;
    if (inv.until) request["until"] = *inv.until;
    if (!events && !inv.fields.empty()) request["fields"] = fields.names();
    if (!events && inv.stepSeconds) request["step"] = *inv.stepSeconds;

    Answer answer;
    std::size_t count = 0;
    bool bad = false;
    service.askItems(request, [&](const json& item) {
        if (bad || ++count > h::answerLimit) {
            bad = true;
        } else if (events) {
            answer.events.emplace_back();
            bad = !readEvent(item, answer.events.back());
        } else if (inv.stepSeconds) {
            answer.buckets.emplace_back();
            bad = !readBucket(item, fields, answer.buckets.back());
        } else {
            answer.rows.emplace_back();
            bad = !readRow(item, fields, answer.rows.back());
        }
    });
    if (bad)
        throw ServiceError("", "badReply",
                           "the answer's item " + std::to_string(count) +
                               (count > h::answerLimit ? " is beyond the limit of " + std::to_string(h::answerLimit)
                                                       : " has no time, verdict or kind"));
    return answer;
}

// Printing ----------------------------------------------------------------

enum class Form { table, csv, json };

// RFC 4180: a field with a comma, a quote or a line break is quoted, its
// quotes doubled.
std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// A value as the JSON has it, for CSV; nothing for null.
std::string csvValue(const json& value) { return value.is_null() ? "" : value.dump(); }

// A value for people: a float to the float's precision; "-" for null.
std::string tableValue(const json& value) {
    if (value.is_null()) return "-";
    if (value.is_number_float()) return shortestDecimal(static_cast<float>(value.get<double>()));
    return value.dump();
}

std::string localTimeOf(h::Time time) {
    return localTime(std::chrono::system_clock::time_point(std::chrono::microseconds(time)), true);
}

// How one kind of item is printed: its JSON (the library's, the service's), and
// the CSV and table cells made from it.
template <class Item>
struct Layout {
    std::vector<std::string> csvHeader, tableHeader;
    std::function<json(const Item&)> toJson;
    std::function<std::vector<std::string>(const Item&, const json&)> csvCells, tableCells;
    std::size_t leftAligned;  // the first columns (time, verdict or kind) and, for events, the last
    const char* nothing;      // said when the range holds none
};

Layout<h::Row> rowLayout(const h::FieldSet& fields) {
    Layout<h::Row> layout{{"time", "verdict"}, {"time", "verdict"}, {}, {}, {}, 2, "no polls in the range"};
    const std::vector<std::string> names = fields.names();
    for (const std::string& name : names) {
        layout.csvHeader.push_back(name);
        layout.tableHeader.push_back(withUnit(name));
    }
    layout.toJson = [fields](const h::Row& row) { return h::toJson(row, fields); };
    const auto cells = [names](const json& j, std::vector<std::string> line, std::string (*value)(const json&)) {
        line.push_back(j.at("verdict").get<std::string>());
        for (const std::string& name : names) line.push_back(value(j.at(name)));
        return line;
    };
    layout.csvCells = [cells](const h::Row& row, const json& j) { return cells(j, {h::formatTime(row.time)}, csvValue); };
    layout.tableCells = [cells](const h::Row& row, const json& j) { return cells(j, {localTimeOf(row.time)}, tableValue); };
    return layout;
}

Layout<h::Bucket> bucketLayout(const h::FieldSet& fields) {
    Layout<h::Bucket> layout{{"time", "verdict"}, {"time", "verdict"}, {}, {}, {}, 2, "no polls in the range"};
    const std::vector<std::string> names = fields.names();
    static const char* const stats[] = {"min", "max", "mean"};
    for (const std::string& name : names) {
        for (const char* stat : stats) layout.csvHeader.push_back(name + "_" + stat);
        layout.tableHeader.push_back(withUnit(name, " min/mean/max"));
    }
    layout.toJson = [fields](const h::Bucket& bucket) { return h::toJson(bucket, fields); };
    layout.csvCells = [names](const h::Bucket& bucket, const json& j) {
        std::vector<std::string> line = {h::formatTime(bucket.time), j.at("verdict").get<std::string>()};
        for (const std::string& name : names)
            for (const char* stat : stats) line.push_back(csvValue(j.at(name).at(stat)));
        return line;
    };
    layout.tableCells = [names](const h::Bucket& bucket, const json& j) {
        std::vector<std::string> line = {localTimeOf(bucket.time), j.at("verdict").get<std::string>()};
        for (const std::string& name : names) {
            const json& s = j.at(name);
            line.push_back(s.at("min").is_null() ? "-"
                                                 : tableValue(s.at("min")) + "/" + tableValue(s.at("mean")) + "/" +
                                                       tableValue(s.at("max")));
        }
        return line;
    };
    return layout;
}

Layout<h::Event> eventLayout() {
    Layout<h::Event> layout{{"time", "kind", "message", "data"}, {"time", "kind", "message"}, {}, {}, {}, 3,
                            "no events in the range"};
    layout.toJson = [](const h::Event& event) { return h::toJson(event); };
    layout.csvCells = [](const h::Event& event, const json&) {
        return std::vector<std::string>{
            h::formatTime(event.time), event.kind, event.message,
            event.data.is_null() ? "" : event.data.dump(-1, ' ', false, json::error_handler_t::replace)};
    };
    layout.tableCells = [](const h::Event& event, const json&) {
        return std::vector<std::string>{localTimeOf(event.time), serviceLines::shown(event.kind),
                                        serviceLines::shown(event.message)};
    };
    return layout;
}

// Display width: UTF-8 continuation bytes take no column.
std::size_t columns(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

template <class Item>
void print(const std::vector<Item>& items, const Layout<Item>& layout, Form form, std::ostream& out,
           std::ostream& err) {
    const auto line = [&out](const std::vector<std::string>& cells) {
        for (std::size_t i = 0; i < cells.size(); ++i) out << (i ? "," : "") << csvField(cells[i]);
        out << "\n";
    };
    switch (form) {
        case Form::json:
            for (const Item& item : items) out << jsonLine(layout.toJson(item));
            return;
        case Form::csv:
            line(layout.csvHeader);
            for (const Item& item : items) line(layout.csvCells(item, layout.toJson(item)));
            return;
        case Form::table: break;
    }
    if (items.empty()) {
        err << "moorwinch: " << layout.nothing << "\n";
        return;
    }
    // Two passes, so that a long answer is never held as text.
    std::vector<std::size_t> widths;
    for (const std::string& cell : layout.tableHeader) widths.push_back(columns(cell));
    for (const Item& item : items) {
        const std::vector<std::string> cells = layout.tableCells(item, layout.toJson(item));
        for (std::size_t i = 0; i < cells.size(); ++i) widths[i] = std::max(widths[i], columns(cells[i]));
    }
    const bool textLast = layout.leftAligned == layout.tableHeader.size();  // not padded
    const auto row = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            const std::string pad(widths[i] - columns(cells[i]), ' ');
            const bool last = i + 1 == cells.size();
            if (i) text += "  ";
            if (i >= layout.leftAligned)
                text += pad + cells[i];
            else
                text += cells[i] + (last && textLast ? "" : pad);
        }
        out << text << "\n";
    };
    row(layout.tableHeader);
    for (const Item& item : items) row(layout.tableCells(item, layout.toJson(item)));
}

}  // namespace

int showHistory(const Invocation& inv, std::ostream& out, std::ostream& err) {
    std::unique_ptr<ServiceBackend> service;
    if (inv.daemon)
        service = std::make_unique<ServiceBackend>(inv.service, inv.tokenFile, ServiceBackend::replyWaitMs(inv.timeoutMs),
                                                   inv.trace ? &err : nullptr);
    try {
        const h::FieldSet fields(inv.fields);
        const Answer answer = service ? fromService(inv, fields, *service) : fromFile(inv, fields);
        const Form form = inv.json ? Form::json : inv.csv ? Form::csv : Form::table;
        if (inv.command == Command::events)
            print(answer.events, eventLayout(), form, out, err);
        else if (inv.stepSeconds)
            print(answer.buckets, bucketLayout(fields), form, out, err);
        else
            print(answer.rows, rowLayout(fields), form, out, err);
        out << std::flush;
        return exitSuccess;
    } catch (const std::exception& e) {
        err << "moorwinch: " << failureText(e, service ? service->subject() : "") << "\n";
        return failureExitCode(e);
    }
}

}  // namespace moorwinch_tool
