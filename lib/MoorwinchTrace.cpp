// The trace of the line: a caller's function that sees every line written to
// and read from the port.
#include <utility>

#include "MoorwinchImpl.h"

namespace KORVANE {

void Moorwinch::MoorwinchImpl::setTrace(traceFunction function) {
    std::lock_guard<std::mutex> guard(traceMutex);
    trace = std::move(function);
    tracing.store(static_cast<bool>(trace), std::memory_order_release);
}

void Moorwinch::MoorwinchImpl::traceLine(traceDirection direction, const std::string& line) {
    const auto time = std::chrono::system_clock::now();
    traceFunction function;
    {
        // A copy, so that the function may replace the trace without deadlock.
        std::lock_guard<std::mutex> guard(traceMutex);
        function = trace;
    }
    if (!function) return;
    std::string shown = line;
    if (!shown.empty() && shown.back() == '\n') shown.pop_back();
    try {
        function(direction, shown, time);
    } catch (...) {
        // A trace must never change the outcome of an exchange.
    }
}

}  // namespace KORVANE
