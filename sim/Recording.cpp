#include "Recording.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "MoorwinchHistory.h"
#include "MoorwinchJson.h"

namespace moorwinch_sim {
namespace {

using json = nlohmann::json;
namespace history = KORVANE::MoorwinchHistory;

// Recorded time beyond which the playback seeks instead of reading through.
constexpr std::int64_t seekBeyond = 600 * history::microsecondsPerSecond;

// Leaves an entry out, keeping where the first one was and why.
void skip(Recording& recording, const std::string& where, const std::string& why) {
    if (recording.skipped++ == 0) recording.firstSkipped = where + ": " + why;
}

// Records held in memory, in time order.
class MemoryStream : public StatusStream {
public:
    explicit MemoryStream(std::vector<TimedStatus> all) : records(std::move(all)) {}
    bool next(TimedStatus& record) override {
        if (at == records.size()) return false;
        record = records[at++];
        return true;
    }
    void rewind() override { at = 0; }
    bool seek(std::int64_t time) override {
        const auto after = std::upper_bound(records.begin(), records.end(), time,
                                            [](std::int64_t t, const TimedStatus& r) { return t < r.time; });
        at = after == records.begin() ? 0 : static_cast<std::size_t>(after - records.begin()) - 1;
        return true;
    }

private:
    std::vector<TimedStatus> records;
    std::size_t at = 0;
};

// Lines as `moorwinch --json watch` prints them: {"time":..,"status":{..},..}.
// They may come in any order, so they are read whole and sorted.
class JsonLinesSource : public RecordingSource {
public:
    const char* kind() const override { return "JSON Lines"; }
    bool recognises(const std::string&) const override { return true; }

    Recording read(const std::string& path) const override {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw RecordingError(path + ": " + std::strerror(errno));
        Recording recording;
        std::vector<TimedStatus> records;
        std::string line;
        std::size_t number = 0;
        char chunk[65536];
        while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
            const std::size_t got = static_cast<std::size_t>(in.gcount());
            for (std::size_t at = 0; at < got;) {
                const char* end = static_cast<const char*>(std::memchr(chunk + at, '\n', got - at));
                const std::size_t stop = end ? static_cast<std::size_t>(end - chunk) : got;
                line.append(chunk + at, stop - at);
                if (line.size() > maxRecordingLineBytes)
                    throw RecordingError(path + ": line " + std::to_string(number + 1) + " is longer than " +
                                         std::to_string(maxRecordingLineBytes / 1024) + " KiB");
                at = stop;
                if (end) {
                    take(recording, records, path, ++number, line);
                    line.clear();
                    ++at;
                }
            }
        }
        if (in.bad()) throw RecordingError(path + ": " + std::strerror(errno));
        if (!line.empty()) take(recording, records, path, ++number, line);
        std::stable_sort(records.begin(), records.end(),
                         [](const TimedStatus& a, const TimedStatus& b) { return a.time < b.time; });
        recording.statuses = std::make_unique<MemoryStream>(std::move(records));
        return recording;
    }

private:
    static void take(Recording& recording, std::vector<TimedStatus>& records, const std::string& path,
                     std::size_t number, const std::string& line) {
        if (std::all_of(line.begin(), line.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)); }))
            return;
        const std::string where = "line " + std::to_string(number);
        const json document = json::parse(line, nullptr, false);
        if (document.is_discarded()) return skip(recording, where, "not JSON");
        if (!document.is_object()) return skip(recording, where, "not a JSON object");
        const std::optional<std::int64_t> time = timeOf(document);
        if (!time) return skip(recording, where, "no \"time\" as ISO 8601");
        const auto status = document.find("status");
        if (status == document.end()) return skip(recording, where, "no status");
        if (status->is_null()) return skip(recording, where, "a failed sample");
        if (!status->is_object()) return skip(recording, where, "the status is not an object");
        Status record;
        KORVANE::MoorwinchJson::fromJson(*status, record);
        const std::string why = unsendable(record);
        if (!why.empty()) return skip(recording, where, why);
        if (records.size() >= maxRecordedStatuses)
            throw RecordingError(path + ": more than " + std::to_string(maxRecordedStatuses) +
                                 " status records, too many to replay");
        records.push_back({*time, record});
    }

    // The history library reads the times the tool writes.
    static std::optional<std::int64_t> timeOf(const json& document) {
        const auto time = document.find("time");
        if (time == document.end() || !time->is_string()) return std::nullopt;
        try {
            return history::parseTime(time->get<std::string>(), history::now());
        } catch (const history::QueryError&) {
            return std::nullopt;
        }
    }
};

RecordingError historyError(const std::string& path, const history::Error& e) {
    const std::string text = e.what();
    return RecordingError(text.rfind(path, 0) == 0 ? text : path + ": " + text);
}

// The polls of a history file, read as the playback reaches them; a poll the
// station cannot send is passed over.
class HistoryStream : public StatusStream {
public:
    HistoryStream(std::shared_ptr<const history::Reader> opened, std::string file)
        : reader(std::move(opened)), path(std::move(file)), cursor(reader->polls()) {}

    bool next(TimedStatus& record) override {
        try {
            history::Poll poll;
            while (cursor.next(poll)) {
                if (!unsendable(poll.status).empty()) continue;
                record = {poll.time, poll.status};
                return true;
            }
            return false;
        } catch (const history::Error& e) {
            throw historyError(path, e);
        }
    }
    void rewind() override { cursor = reader->polls(); }

    // The last poll at or before time, looked for in widening windows; a
    // recording with a longer gap there is read through instead.
    bool seek(std::int64_t time) override {
        try {
            const history::FieldSet oneColumn({"cab"});  // only the times are wanted
            for (const history::Time seconds : {60, 3600, 86400}) {
                const history::Time since = std::max(history::minTime, time - seconds * history::microsecondsPerSecond);
                const auto rows = reader->rows(since, time, oneColumn);
                if (rows.empty()) continue;
                cursor = reader->polls(rows.back().time);
                return true;
            }
        } catch (const history::Error&) {
        }
        return false;
    }

private:
    std::shared_ptr<const history::Reader> reader;
    std::string path;
    history::PollCursor cursor;
};

// The record of a history file last read at or before a time. A file that
// fails during the playback, or a record the station cannot send, leaves the
// station's own.
template <class R, class Found>
std::function<std::optional<R>(std::int64_t)> lookUp(std::shared_ptr<const history::Reader> reader,
                                                     std::optional<Found> (history::Reader::*ask)(history::Time) const,
                                                     R Found::*member) {
    return [reader, ask, member](std::int64_t time) -> std::optional<R> {
        try {
            const std::optional<Found> found = ((*reader).*ask)(time);
            if (found && unsendable((*found).*member).empty()) return (*found).*member;
        } catch (const history::Error&) {
        }
        return std::nullopt;
    };
}

// A history file as the service writes it. The polls, and the details and
// configuration, are read as the playback reaches them.
class HistorySource : public RecordingSource {
public:
    const char* kind() const override { return "history database"; }
    bool recognises(const std::string& firstBytes) const override {
        return firstBytes == std::string("SQLite format 3\0", 16);
    }

    Recording read(const std::string& path) const override {
        try {
            const auto reader = std::make_shared<const history::Reader>(path);
            Recording recording;
            recording.statuses = std::make_unique<HistoryStream>(reader, path);
            recording.detailsAt = lookUp(reader, &history::Reader::details, &history::DetailsRecord::details);
            recording.configAt = lookUp(reader, &history::Reader::config, &history::ConfigRecord::config);
            return recording;
        } catch (const history::Error& e) {
            throw historyError(path, e);
        }
    }
};

}  // namespace

Recording readRecording(const std::string& path) {
    struct stat file;
    if (::stat(path.c_str(), &file) != 0) throw RecordingError(path + ": " + std::strerror(errno));
    if (!S_ISREG(file.st_mode)) throw RecordingError(path + ": not a regular file");
    std::string head(16, '\0');
    {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw RecordingError(path + ": " + std::strerror(errno));
        in.read(&head[0], static_cast<std::streamsize>(head.size()));
        head.resize(static_cast<std::size_t>(in.gcount()));
    }

    static const HistorySource history;
    static const JsonLinesSource jsonLines;
    const RecordingSource* const sources[] = {&history, &jsonLines};
    Recording recording;
    for (const RecordingSource* source : sources) {
        if (!source->recognises(head)) continue;
        recording = source->read(path);
        recording.kind = source->kind();
        break;
    }
    TimedStatus first;
    if (!recording.statuses || !recording.statuses->next(first))
        throw RecordingError(path + ": no status record to replay" +
                             (recording.skipped ? " (" + std::to_string(recording.skipped) +
                                                      " entries unusable; the first at " + recording.firstSkipped + ")"
                                                : std::string()));
    recording.statuses->rewind();
    return recording;
}

Playback::Playback(Recording played, double playbackSpeed, bool loops)
    : recording(std::move(played)), speed(playbackSpeed), loop(loops) {
    beginPass();
    first = passStart = current.time;
    firstInterval = hasUpcoming ? upcoming.time - first : 0;
}

void Playback::start(Clock::time_point now) {
    if (started) return;
    started = true;
    startedAt = now;
}

// Reads the next record; a file that fails on the way ends the recording there.
bool Playback::read(TimedStatus& record) {
    try {
        return recording.statuses->next(record);
    } catch (const RecordingError&) {
        return false;
    }
}

// So that the record at or before time is next; false when the stream has to
// be read through instead.
bool Playback::seek(std::int64_t time) {
    try {
        return recording.statuses->seek(time);
    } catch (const RecordingError&) {
        return false;
    }
}

// From the first record again (which a file changed since may have moved).
void Playback::beginPass() {
    recording.statuses->rewind();
    TimedStatus head;
    if (read(head)) current = head;
    hasUpcoming = read(upcoming);
}

Playback::Served Playback::at(Clock::time_point now) {
    // Recorded time as if the recording ran on without looping; bounded so
    // that no sum below can overflow.
    const double elapsed =
        started ? std::chrono::duration<double, std::micro>(now - startedAt).count() * speed : 0.0;
    const std::int64_t time = first + static_cast<std::int64_t>(std::clamp(elapsed, 0.0, 1e18));
    for (;;) {
        const std::int64_t inPass = first + (time - passStart);
        if (hasUpcoming && inPass - upcoming.time > seekBeyond && seek(inPass)) {
            TimedStatus head;
            if (read(head)) current = head;
            hasUpcoming = read(upcoming);
        }
        while (hasUpcoming && passStart + (upcoming.time - first) <= time) {
            current = upcoming;
            hasUpcoming = read(upcoming);
        }
        if (hasUpcoming || !loop) break;
        if (period < 0) period = current.time - first + firstInterval;
        if (period <= 0 || time < passStart + period) break;
        passStart += (time - passStart) / period * period;  // whole loops at once
        beginPass();
    }
    const std::int64_t recorded = first + (time - passStart);
    Served served{&current.status, std::nullopt, std::nullopt};
    if (recording.detailsAt) served.details = recording.detailsAt(recorded);
    if (recording.configAt) served.config = recording.configAt(recorded);
    return served;
}

}  // namespace moorwinch_sim
