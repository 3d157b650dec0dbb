// MoorwinchHistory: the station's history in one SQLite file, written by the
// service and read by the tool, the simulator's replay and the Python module.
//
// The file
//   WAL journal, application_id 0x4D4F4857 ("MOHW"), user_version 1; a file of
//   another application or version is refused (FileError). Three tables:
//     polls(time INTEGER PRIMARY KEY, verdict INTEGER NOT NULL, <one column per
//           member of systemStatus, named as the member>)
//       verdict 0 ok, 1 warning, 2 error; values in the record's units (REAL
//       for float members, INTEGER for integer members), NULL exactly where
//       the JSON mapping (MoorwinchJson.h) gives null.
//     events(id INTEGER PRIMARY KEY, time INTEGER NOT NULL, kind TEXT NOT NULL,
//            message TEXT, data TEXT)      data a JSON object; index on time.
//     records(time INTEGER PRIMARY KEY, kind TEXT NOT NULL, data TEXT NOT NULL)
//       kind "details" or "config", data the JSON mapping of the record.
//   Times are microseconds since 1970-01-01 UTC (Time below).
//
// Durability
//   The writer commits what it was given at least every half second, on its own
//   thread. Killing the writing process loses at most the rows of the last
//   second and leaves a file that passes PRAGMA integrity_check. The connection
//   runs with synchronous=FULL, so a commit is on the disk when it returns: a
//   power cut or kernel crash loses at most the same last second.
//
// Errors
//   FileError: the file cannot be opened or read, or is not a history file of
//   this version. QueryError: a question that cannot be answered as asked
//   (unknown field, since after until, more than answerLimit rows, a bad time);
//   what() names the field, the limit or the form expected.
#ifndef KORVANE_MOORWINCH_HISTORY_H
#define KORVANE_MOORWINCH_HISTORY_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Moorwinch.h"
#include "MoorwinchJson.h"

namespace KORVANE {
namespace MoorwinchHistory {

using json = MoorwinchJson::json;
using Verdict = MoorwinchDefinitions::systemError;

// Microseconds since 1970-01-01 UTC, the file's own time.
using Time = std::int64_t;
constexpr Time microsecondsPerSecond = 1000000;
constexpr Time minTime = 0;                   // 1970-01-01T00:00:00Z
constexpr Time maxTime = 253402300799999999;  // 9999-12-31T23:59:59.999999Z

// Answers hold at most this many rows, buckets or events.
constexpr std::size_t answerLimit = 100000;

// Retention defaults of the writer.
constexpr unsigned defaultMaxAgeDays = 30;
constexpr std::uint64_t defaultMaxSizeMB = 1024;  // MB of 2^20 bytes

// The kinds of event the service records (more may come).
namespace EventKind {
constexpr const char* connected = "connected";
constexpr const char* disconnected = "disconnected";
constexpr const char* verdict = "verdict";
constexpr const char* config = "config";
constexpr const char* reporting = "reporting";
}  // namespace EventKind

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class FileError : public Error {
public:
    using Error::Error;
};
class QueryError : public Error {
public:
    using Error::Error;
};

// Times ------------------------------------------------------------------

Time now();
// Unix seconds (a fraction is kept to the microsecond); QueryError when not
// finite or outside [minTime, maxTime].
Time fromSeconds(double seconds);
double toSeconds(Time time);
// ISO 8601 UTC with milliseconds: "2024-05-01T12:00:00.250Z".
std::string formatTime(Time time);

// A WHEN as the tool, the service and the Python module take it:
//   Unix seconds            "1714564800", "1714564800.25"
//   ISO 8601 with a zone    "2024-05-01T12:00:00Z", "2024-05-01T14:00:00.5+02:00"
//                           (seconds and fraction optional, offset +hh:mm, +hhmm or +hh)
//   relative to now         "30s", "10m", "2h", "1d" (that long before now), "now"
// QueryError names the text and the forms accepted.
Time parseTime(const std::string& text, Time now);
// The same from JSON: a number is Unix seconds, a string any form above.
Time timeFromJson(const json& value, Time now);

// Fields -----------------------------------------------------------------

// A chosen subset of systemStatus members, in the order given.
class FieldSet {
public:
    FieldSet();  // every member, in the record's order
    // Those members; an empty list means every member. QueryError names an
    // unknown or repeated member.
    explicit FieldSet(const std::vector<std::string>& names);

    std::size_t size() const { return members.size(); }
    const char* name(std::size_t i) const;
    bool isInteger(std::size_t i) const;
    std::vector<std::string> names() const;
    // Position of the member in the record (and of its column after time and verdict).
    std::size_t member(std::size_t i) const { return members[i]; }

private:
    std::vector<std::size_t> members;
};

// Results ----------------------------------------------------------------

// One poll, the chosen fields in the FieldSet's order; nullopt where NULL.
struct Row {
    Time time = 0;
    Verdict verdict = MoorwinchDefinitions::statusOk;
    std::vector<std::optional<double>> values;
};

struct Stats {
    double min = 0;
    double max = 0;
    double mean = 0;
};

// The polls of [time, time + step): the worst verdict and per field the
// statistics of its non-NULL values (nullopt when it had none).
struct Bucket {
    Time time = 0;
    Verdict verdict = MoorwinchDefinitions::statusOk;
    std::vector<std::optional<Stats>> values;
};

struct Event {
    Time time = 0;
    std::string kind;
    std::string message;
    json data;  // an object, or null
};

// A poll read back into its record (NULL gives the record's default, as the
// JSON mapping's fromJson does).
struct Poll {
    Time time = 0;
    Verdict verdict = MoorwinchDefinitions::statusOk;
    Moorwinch::systemStatus status;
};

struct DetailsRecord {
    Time time = 0;
    Moorwinch::systemDetails details;
};

struct ConfigRecord {
    Time time = 0;
    Moorwinch::systemConfig config;
};

// The JSON the service, the tool and the Python module print:
//   row    {"time": <Unix seconds>, <field>: <value or null>..., "verdict": "ok"|"warning"|"error"}
//   bucket {"time": <start>, "verdict": <worst>, <field>: {"min","max","mean"} (null members when no value)...}
//   event  {"time", "kind", "message", "data"}
json toJson(const Row& row, const FieldSet& fields);
json toJson(const Bucket& bucket, const FieldSet& fields);
json toJson(const Event& event);

// Reading ----------------------------------------------------------------

// The polls in time order, one at a time (for a replay). Used by one thread.
class PollCursor {
public:
    ~PollCursor();
    PollCursor(PollCursor&&) noexcept;
    PollCursor& operator=(PollCursor&&) noexcept;
    // The next poll; false after the last. FileError when the file fails.
    bool next(Poll& poll);

private:
    friend class Reader;
    struct Impl;
    explicit PollCursor(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl;
};

// A history file opened read-only (SQLITE_OPEN_READONLY): the live file beside
// its writer, or a copy taken off a station. Ranges are [since, until], both
// included; each answer is checked against answerLimit before it is built.
// Queries from several threads are safe (they take turns).
class Reader {
public:
    explicit Reader(const std::string& path);  // FileError
    ~Reader();
    Reader(Reader&&) noexcept;
    Reader& operator=(Reader&&) noexcept;

    std::vector<Row> rows(Time since, Time until, const FieldSet& fields) const;
    // Buckets of step microseconds from since on; only buckets holding polls.
    std::vector<Bucket> buckets(Time since, Time until, const FieldSet& fields, Time step) const;
    std::vector<Event> events(Time since, Time until) const;
    // The last details or configuration read at or before the time.
    std::optional<DetailsRecord> details(Time at) const;
    std::optional<ConfigRecord> config(Time at) const;
    // Every poll from since on, in time order.
    PollCursor polls(Time since = minTime) const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl;
};

// Writing ----------------------------------------------------------------

struct WriterOptions {
    unsigned maxAgeDays = defaultMaxAgeDays;     // 0: no age limit
    std::uint64_t maxSizeMB = defaultMaxSizeMB;  // 0: no size limit
    std::size_t queueLimit = 10000;              // rows waiting; more are dropped
    // Told once when writing starts to fail (and why), once when it works
    // again, once when rows start to be dropped; called on the writer's thread
    // (a file that cannot be opened at all: already in the constructor).
    std::function<void(const std::string& message)> log;
};

// Appends to a history file from its own thread: append* only queue (a short
// lock, never I/O), so the caller is never delayed. A batch is committed at
// least every half second. When a batch cannot be written (disk full, file
// unwritable) its rows are counted in writeErrors(), the connection is opened
// again for the next batch, and writing resumes when it can; rows that find the
// queue full are dropped and counted too. Retention deletes the oldest rows
// (polls, events, and records except the newest of each kind) older than
// maxAgeDays or while the file holds more than maxSizeMB, in steps of at most
// a thousand rows per transaction.
class Writer {
public:
    // Opens or creates the file. FileError when it is refused (not a history
    // file, another version); a file that cannot be opened or written is a
    // write failure like any later one (logged, counted, tried again).
    explicit Writer(const std::string& path, WriterOptions options = {});
    // Writes what is queued, then closes.
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // A poll of the same microsecond as one recorded replaces it.
    void appendPoll(Time time, Verdict verdict, const Moorwinch::systemStatus& status);
    void appendEvent(Time time, const std::string& kind, const std::string& message, const json& data);
    // A record of the same microsecond as the previous one is stored a microsecond later.
    void appendDetails(Time time, const Moorwinch::systemDetails& details);
    void appendConfig(Time time, const Moorwinch::systemConfig& config);

    // Waits until everything queued before the call is committed or counted.
    void flush();

    std::uint64_t written() const;      // rows committed
    std::uint64_t writeErrors() const;  // rows not written: failed or dropped

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

}  // namespace MoorwinchHistory
}  // namespace KORVANE

#endif
