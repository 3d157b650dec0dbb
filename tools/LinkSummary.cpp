#include "LinkSummary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Output.h"

namespace moorwinch_tool {

void LinkSummary::answered(std::chrono::steady_clock::duration latency) {
    ++answers;
    const double ms = std::chrono::duration<double, std::milli>(latency).count();
    if (latenciesMs.size() < kept)
        latenciesMs.push_back(ms);
    else
        latenciesMs[next] = ms;
    next = (next + 1) % kept;
}

void LinkSummary::failed(FailureKind kind) {
    if (kind == FailureKind::timeout) ++timeouts;
    if (kind == FailureKind::port) ++portFailures;
    if (kind == FailureKind::data) ++dataFailures;
}

// Nearest rank.
double LinkSummary::percentileMs(double fraction) const {
    std::vector<double> sorted = latenciesMs;
    std::sort(sorted.begin(), sorted.end());
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[rank == 0 ? 0 : rank - 1];
}

std::string LinkSummary::text() const {
    char line[256];
    std::snprintf(line, sizeof line, ", %zu answered, %zu failed (timeout %zu, port %zu, data %zu)", answers,
                  timeouts + portFailures + dataFailures, timeouts, portFailures, dataFailures);
    std::string text = counted(exchanges(), "exchange") + line;
    if (latenciesMs.empty()) return text + "; latency not measured";
    std::snprintf(line, sizeof line, "; latency median %.1f ms, 95th percentile %.1f ms", percentileMs(0.5),
                  percentileMs(0.95));
    return text + line;
}

}  // namespace moorwinch_tool
