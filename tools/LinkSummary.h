// Counts of a watch's exchanges with the station: answers with their latency,
// failures by kind. Printed when the watch ends.
#ifndef MOORWINCH_TOOL_LINK_SUMMARY_H
#define MOORWINCH_TOOL_LINK_SUMMARY_H

#include <chrono>
#include <cstddef>
#include <exception>
#include <string>
#include <vector>

namespace moorwinch_tool {

enum class FailureKind { timeout, port, data };

// A reply that did not come in time, a reply that was wrong (the library's
// DataException), or anything else: the port failed, went away or cannot be
// opened. The library names its timeouts in the text of its IOException.
FailureKind failureKind(const std::exception& failure);
const char* failureName(FailureKind kind);

class LinkSummary {
public:
    void answered(std::chrono::steady_clock::duration latency);
    void failed(FailureKind kind);

    std::size_t exchanges() const { return answers + timeouts + portFailures + dataFailures; }
    // "N exchanges, A answered, F failed (timeout t, port p, data d); latency
    // median X ms, 95th percentile Y ms"
    std::string text() const;

private:
    // The latencies of the last this many answers make the percentiles, so that
    // a watch of days keeps a bounded memory.
    static constexpr std::size_t kept = 100000;

    double percentileMs(double fraction) const;

    std::size_t answers = 0, timeouts = 0, portFailures = 0, dataFailures = 0;
    std::vector<double> latenciesMs;  // a ring of at most kept entries
    std::size_t next = 0;
};

}  // namespace moorwinch_tool

#endif
