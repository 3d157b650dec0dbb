// watch: one sample every interval, one line each, until a count is reached or
// SIGINT/SIGTERM arrives; outages are told on standard error and ridden out.
// The samples come from a source: the port polled by the tool, or the polls of
// moorwinchd followed over its socket.
#ifndef MOORWINCH_TOOL_WATCH_H
#define MOORWINCH_TOOL_WATCH_H

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

#include "Arguments.h"
#include "Check.h"
#include "StationBackend.h"

namespace moorwinch_tool {

using Steady = std::chrono::steady_clock;

// One sample: the station's status and when it was read, or why there is none.
struct Sample {
    std::chrono::system_clock::time_point time;
    std::optional<Status> status;  // none: failure says why
    bool stale = false;            // the last data again: no newer poll came
    double ageSeconds = 0;         // of stale data
    std::string failure;
};

class SampleSource {
public:
    virtual ~SampleSource() = default;
    // Reaches the station (or the service); a failure at the start throws.
    virtual void start(std::ostream& err) = 0;
    // The sample due at the time point: the source waits until then (following
    // what arrives meanwhile) and tells outages on err, once each. False when
    // stopFd became readable while it waited.
    virtual bool next(Steady::time_point due, int stopFd, Sample& sample, std::ostream& err) = 0;
    // The closing line, without "moorwinch: " and line feed.
    virtual std::string summary() const = 0;
    // Whether the station answers now: the last exchange on the port, or the
    // service's state and the age of its last poll.
    virtual bool answering() const = 0;
};

// Waits until one of the descriptors is readable (its index) or the time has
// come (-1).
int awaitInput(const int* fds, int count, Steady::time_point until);

// "12.3 s".
std::string seconds(double value);

// One sample for people: local time (with milliseconds when asked), the stale
// mark, cable length and speed, mains and UAV supply, verdict with its
// conditions ("-" for values not available); or "<time>  no data: <reason>".
std::string watchLine(const Sample& sample, bool milliseconds);
// One sample as a JSON object: "time" (UTC), "verdict", "conditions", "status",
// and "stale" and "age" for stale data; "error" when there are none.
json watchJson(const Sample& sample);

// Exit code 0, or 3 when the station could not be reached at the start or does
// not answer at the end, or the output could not be written (which ends it).
int watch(const Invocation& invocation, StationBackend& station, std::ostream& out, std::ostream& err);

}  // namespace moorwinch_tool

#endif
