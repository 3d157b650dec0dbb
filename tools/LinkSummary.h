// Counts of a watch's exchanges with the station: answers with their latency,
// failures by kind. Printed when the watch ends.
#ifndef MOORWINCH_TOOL_LINK_SUMMARY_H
#define MOORWINCH_TOOL_LINK_SUMMARY_H

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "Failures.h"

namespace moorwinch_tool {

class LinkSummary {
public:
    void answered(std::chrono::steady_clock::duration latency);
    void failed(FailureKind kind);

    std::size_t exchanges() const { return answers + timeouts + portFailures + dataFailures; }
    // "N exchanges, A answered, F failed (timeout t, port p, data d); latency
    // median X ms, 95th percentile Y ms" ("1 exchange")
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
