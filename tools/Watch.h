// watch: the status every interval, one line each, until a count is reached or
// SIGINT/SIGTERM arrives; outages are told on standard error and ridden out.
#ifndef MOORWINCH_TOOL_WATCH_H
#define MOORWINCH_TOOL_WATCH_H

#include <chrono>
#include <ostream>
#include <string>

#include "Arguments.h"
#include "Check.h"
#include "StationBackend.h"

namespace moorwinch_tool {

// One sample for people: local time, cable length and speed, mains and UAV
// supply, verdict (with its conditions); "-" for values not available.
std::string watchLine(std::chrono::system_clock::time_point time, const Status& status, const Judgement& judgement);
// One sample as a JSON object: "time" (UTC), "verdict", "conditions", "status".
json watchJson(std::chrono::system_clock::time_point time, const Status& status, const Judgement& judgement);

// Exit code 0, or 3 when the station could not be reached at the start or did
// not answer the last sample.
int watch(const Invocation& invocation, StationBackend& station, std::ostream& out, std::ostream& err);

}  // namespace moorwinch_tool

#endif
