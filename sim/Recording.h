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
#include <vector>

#include "RecordTables.h"

namespace moorwinch_sim {

template <class R>
struct Timed {
    std::int64_t time;  // microseconds since 1970 UTC
    R record;
};

struct Recording {
    std::string kind;                     // of file, e.g. "JSON Lines"
    std::vector<Timed<Status>> statuses;  // in time order; never empty once read
    std::size_t skipped = 0;              // entries left out as unusable
    std::string firstSkipped;             // where the first of them is and why, e.g. "line 3: no status"
    // The details and configuration last read at or before a time; empty when
    // the file has none. They are looked up as the playback goes.
    std::function<std::optional<Details>(std::int64_t time)> detailsAt;
    std::function<std::optional<Config>(std::int64_t time)> configAt;
};

// A file that cannot be replayed; the text names the file and the reason.
class RecordingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bounds on what is read, so that a file cannot take the memory.
constexpr std::size_t maxRecordedStatuses = 1000000;
constexpr std::size_t maxRecordingLineBytes = 1 << 20;

// One kind of recording file: known by its first bytes, read whole.
class RecordingSource {
public:
    virtual ~RecordingSource() = default;
    virtual const char* kind() const = 0;
    virtual bool recognises(const std::string& firstBytes) const = 0;
    // Throws RecordingError; the statuses it returns may still be empty.
    virtual Recording read(const std::string& path) const = 0;
};

// Reads path with the first source that recognises it. Entries that cannot be
// replayed (no status, a value the station cannot send) are left out and
// counted; a file with no usable status record is a RecordingError.
Recording readRecording(const std::string& path);

// The recording played back on the station's clock: from the first status
// request on, recorded time runs speed times as fast as the station's clock,
// from the first record. After the last record the last one stays, or the
// recording starts again when it loops (a loop lasts the recording's span and
// one mean interval between records).
class Playback {
public:
    using Clock = std::chrono::steady_clock;

    struct Served {
        const Status* status;
        std::optional<Details> details;  // none when the recording has none for the time
        std::optional<Config> config;
    };

    Playback(std::shared_ptr<const Recording> recording, double speed, bool loop);

    // Starts the clock, once.
    void start(Clock::time_point now);
    // What to serve at now; the first records until the clock has started.
    Served at(Clock::time_point now) const;

private:
    std::int64_t recordedTime(Clock::time_point now) const;

    std::shared_ptr<const Recording> recording;
    double speed;
    bool loop;
    bool started = false;
    Clock::time_point startedAt;
    std::int64_t span;    // from the first record to the last
    std::int64_t period;  // of a loop
};

}  // namespace moorwinch_sim

#endif
