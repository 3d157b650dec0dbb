#include "Recording.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

#include <nlohmann/json.hpp>

#include "MoorwinchHistory.h"
#include "MoorwinchJson.h"

namespace moorwinch_sim {
namespace {

using json = nlohmann::json;
namespace history = KORVANE::MoorwinchHistory;

// Leaves an entry out, keeping where the first one was and why.
void skip(Recording& recording, const std::string& where, const std::string& why) {
    if (recording.skipped++ == 0) recording.firstSkipped = where + ": " + why;
}

void keep(Recording& recording, const std::string& path, std::int64_t time, const Status& status) {
    if (recording.statuses.size() >= maxRecordedStatuses)
        throw RecordingError(path + ": more than " + std::to_string(maxRecordedStatuses) +
                             " status records, too many to replay");
    recording.statuses.push_back({time, status});
}

// Lines as `moorwinch --json watch` prints them: {"time":..,"status":{..},..}.
class JsonLinesSource : public RecordingSource {
public:
    const char* kind() const override { return "JSON Lines"; }
    bool recognises(const std::string&) const override { return true; }

    Recording read(const std::string& path) const override {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw RecordingError(path + ": " + std::strerror(errno));
        Recording recording;
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
                    take(recording, path, ++number, line);
                    line.clear();
                    ++at;
                }
            }
        }
        if (in.bad()) throw RecordingError(path + ": " + std::strerror(errno));
        if (!line.empty()) take(recording, path, ++number, line);
        return recording;
    }

private:
    static void take(Recording& recording, const std::string& path, std::size_t number, const std::string& line) {
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
        keep(recording, path, *time, record);
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

// A history file as the service writes it. The polls are read at once; the
// details and configuration are asked for as the playback reaches them.
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
            history::PollCursor cursor = reader->polls();
            history::Poll poll;
            while (cursor.next(poll)) {
                const std::string why = unsendable(poll.status);
                if (!why.empty())
                    skip(recording, "the poll of " + history::formatTime(poll.time), why);
                else
                    keep(recording, path, poll.time, poll.status);
            }
            recording.detailsAt = lookUp(reader, &history::Reader::details, &history::DetailsRecord::details);
            recording.configAt = lookUp(reader, &history::Reader::config, &history::ConfigRecord::config);
            return recording;
        } catch (const history::Error& e) {
            const std::string text = e.what();
            throw RecordingError(text.rfind(path, 0) == 0 ? text : path + ": " + text);
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
    if (recording.statuses.empty())
        throw RecordingError(path + ": no status record to replay" +
                             (recording.skipped ? " (" + std::to_string(recording.skipped) +
                                                      " entries unusable; the first at " + recording.firstSkipped + ")"
                                                : std::string()));
    std::stable_sort(recording.statuses.begin(), recording.statuses.end(),
                     [](const Timed<Status>& a, const Timed<Status>& b) { return a.time < b.time; });
    return recording;
}

Playback::Playback(std::shared_ptr<const Recording> played, double playbackSpeed, bool loops)
    : recording(std::move(played)), speed(playbackSpeed), loop(loops) {
    const auto& statuses = recording->statuses;
    span = statuses.back().time - statuses.front().time;
    period = span + (statuses.size() > 1 ? span / static_cast<std::int64_t>(statuses.size() - 1) : 0);
}

void Playback::start(Clock::time_point now) {
    if (started) return;
    started = true;
    startedAt = now;
}

std::int64_t Playback::recordedTime(Clock::time_point now) const {
    const std::int64_t first = recording->statuses.front().time;
    if (!started) return first;
    double elapsed = std::chrono::duration<double, std::micro>(now - startedAt).count() * speed;
    if (loop && period > 0) elapsed = std::fmod(elapsed, static_cast<double>(period));
    // Past the last record it stays; bounded so that the sum cannot overflow.
    elapsed = std::clamp(elapsed, 0.0, static_cast<double>(period));
    return first + static_cast<std::int64_t>(elapsed);
}

Playback::Served Playback::at(Clock::time_point now) const {
    const std::int64_t time = recordedTime(now);
    const auto& statuses = recording->statuses;
    const auto after = std::upper_bound(statuses.begin(), statuses.end(), time,
                                        [](std::int64_t t, const Timed<Status>& r) { return t < r.time; });
    Served served{&std::prev(after)->record, std::nullopt, std::nullopt};
    if (recording->detailsAt) served.details = recording->detailsAt(time);
    if (recording->configAt) served.config = recording->configAt(time);
    return served;
}

}  // namespace moorwinch_sim
