#include "History.h"

#include <algorithm>

#include "Log.h"
#include "Replies.h"

namespace moorwinchd {
namespace {

namespace H = KORVANE::MoorwinchHistory;

// Without since, an answer covers the hour before its end.
constexpr H::Time defaultRange = 3600 * H::microsecondsPerSecond;

H::WriterOptions writerOptions(const HistorySettings& s) {
    H::WriterOptions o;
    o.maxAgeDays = s.maxAgeDays;
    o.maxSizeMB = s.maxSizeMB;
    o.log = [](const std::string& message) { log(Level::warning, message); };
    return o;
}

std::string dumped(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// {"id":...,"ok":true,"data":{"<name>":[items]}} as okReply writes it, built
// item by item: an answer may hold a hundred thousand rows.
template <class Items, class ToJson>
std::string listReply(const json& id, const char* name, const Items& items, ToJson toJson) {
    std::string line = "{\"id\":" + dumped(id) + ",\"ok\":true,\"data\":{\"" + name + "\":[";
    bool first = true;
    for (const auto& item : items) {
        if (!first) line += ',';
        first = false;
        line += dumped(toJson(item));
    }
    return line + "]}}\n";
}

}  // namespace

H::Time historyTime(WallClock::time_point time) {
    return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
}

History::History(const HistorySettings& settings)
    : path(settings.path), writer(settings.path, writerOptions(settings)) {}

void History::poll(WallClock::time_point time, KORVANE::MoorwinchDefinitions::systemError verdict,
                   const KORVANE::Moorwinch::systemStatus& status) {
    writer.appendPoll(historyTime(time), verdict, status);
}

void History::event(WallClock::time_point time, const std::string& kind, const std::string& message,
                    const json& data) {
    writer.appendEvent(historyTime(time), kind, message, data);
}

void History::details(WallClock::time_point time, const KORVANE::Moorwinch::systemDetails& details) {
    writer.appendDetails(historyTime(time), details);
}

void History::config(WallClock::time_point time, const KORVANE::Moorwinch::systemConfig& config) {
    writer.appendConfig(historyTime(time), config);
}

// The file may not be there before the writer first wrote it.
H::Reader& History::open() {
    std::lock_guard<std::mutex> lock(readerMutex);
    if (!reader) reader.emplace(path);
    return *reader;
}

std::string History::answer(const Request& r) {
    try {
        const H::Time now = H::now();
        const H::Time until = r.until.is_null() ? now : H::timeFromJson(r.until, now);
        const H::Time since = r.since.is_null() ? std::max(H::minTime, until - defaultRange) : H::timeFromJson(r.since, now);
        if (r.op == Op::events)
            return listReply(r.id, "events", open().events(since, until),
                             [](const H::Event& e) { return H::toJson(e); });
        const H::FieldSet fields(r.fields);
        if (r.step)
            return listReply(r.id, "buckets", open().buckets(since, until, fields, H::fromSeconds(*r.step)),
                             [&](const H::Bucket& b) { return H::toJson(b, fields); });
        return listReply(r.id, "rows", open().rows(since, until, fields),
                         [&](const H::Row& row) { return H::toJson(row, fields); });
    } catch (const H::QueryError& e) {
        return errorReply(r.id, {"BadRequest", "badRequest", e.what()});
    } catch (const std::exception& e) {
        return errorReply(r.id, {"Unavailable", "unavailable", std::string("the history cannot be read: ") + e.what()});
    }
}

std::string historyReply(const Request& request, History* history) {
    if (!history)
        return errorReply(request.id,
                          {"Unavailable", "unavailable", "no history: start moorwinchd with --history PATH"});
    return history->answer(request);
}

}  // namespace moorwinchd
