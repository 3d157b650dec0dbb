// A station's recorded session, read from a file, and the clock that plays it
// back: status records in their recorded time order, and the details and
// configuration read along the way where the file has them.
#ifndef MOORWINCH_SIM_RECORDING_H
#define MOORWINCH_SIM_RECORDING_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "RecordTables.h"

namespace moorwinch_sim {

struct TimedStatus {
    std::int64_t time;  // microseconds since 1970 UTC
    Status status;
};

// The status records of a recording in time order, read as the playback
// needs them; every record is one the station can send.
class StatusStream {
public:
    virtual ~StatusStream() = default;
    // The next record; false after the last.
    virtual bool next(TimedStatus& record) = 0;
    // Back before the first record.
    virtual void rewind() = 0;
    // So that next() gives the last record at or before time; false when that
    // cannot be found quickly, and nothing changed.
    virtual bool seek(std::int64_t time) = 0;
};

struct Recording {
    std::string kind;                   // of file, e.g. "JSON Lines"
    std::unique_ptr<StatusStream> statuses;  // at least one record
    std::size_t skipped = 0;            // entries found unusable while reading the file
    std::string firstSkipped;           // where the first of them is and why, e.g. "line 3: no status"
    // The details and configuration last read at or before a time; empty when
    // the file has none.
    std::function<std::optional<Details>(std::int64_t time)> detailsAt;
    std::function<std::optional<Config>(std::int64_t time)> configAt;
};

// A file that cannot be replayed; the text names the file and the reason.
class RecordingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bounds on what is held, so that a file cannot take the memory. A history
// database is read as it plays, so its length is not bounded.
constexpr std::size_t maxRecordedStatuses = 1000000;  // of JSON Lines, which are sorted in memory
constexpr std::size_t maxRecordingLineBytes = 1 << 20;

// One kind of recording file: known by its first bytes.
class RecordingSource {
public:
    virtual ~RecordingSource() = default;
    virtual const char* kind() const = 0;
    virtual bool recognises(const std::string& firstBytes) const = 0;
    // Throws RecordingError.
    virtual Recording read(const std::string& path) const = 0;
};

// Opens path with the first source that recognises it: a history database or
// JSON Lines as `moorwinch --json watch` prints them. Lines that cannot be
// replayed (no status, a value the station cannot send) are left out and
// counted; a file with no usable status record is a RecordingError.
Recording readRecording(const std::string& path);

// The recording played back on the station's clock: from the first status
// request on, recorded time runs speed times as fast as the station's clock,
// from the first record. After the last record the last one stays, or the
// recording starts again when it loops (a loop lasts the recording's span and
// the interval between its first two records). Far ahead, the stream is
// sought rather than read through.
class Playback {
public:
    using Clock = std::chrono::steady_clock;

    struct Served {
        const Status* status;
        std::optional<Details> details;  // none when the recording has none for the time
        std::optional<Config> config;
    };

    Playback(Recording recording, double speed, bool loop);

    // Starts the clock, once.
    void start(Clock::time_point now);
    // What to serve at now; the first records until the clock has started.
    // The time asked for never goes back.
    Served at(Clock::time_point now);

private:
    bool read(TimedStatus& record);
    bool seek(std::int64_t time);
    void beginPass();

    Recording recording;
    double speed;
    bool loop;
    bool started = false;
    Clock::time_point startedAt;
    std::int64_t first = 0;      // the first record's time
    std::int64_t passStart = 0;  // where the pass being played starts, on the unlooped recorded time
    TimedStatus current{}, upcoming{};
    bool hasUpcoming = false;
    std::int64_t firstInterval = 0;  // between the first two records
    std::int64_t period = -1;        // of a loop, once the first pass has ended
};

}  // namespace moorwinch_sim

#endif
