// The monitoring-plugin view of the station: the health verdict with the
// conditions that made it, one status line with performance data, and the exit
// code that Nagios-style monitors read (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN).
#ifndef MOORWINCH_TOOL_CHECK_H
#define MOORWINCH_TOOL_CHECK_H

#include <string>
#include <vector>

#include "Output.h"

namespace moorwinch_tool {

struct Judgement {
    KORVANE::MoorwinchDefinitions::systemError verdict = KORVANE::MoorwinchDefinitions::statusOk;
    std::vector<std::string> conditions;  // errors first, then warnings
};

constexpr int checkUnknown = 3;

// The library's health check; without details the maintenance rule is left out.
Judgement judge(const Status& status, const Details* details);
int checkExitCode(const Judgement& judgement);

// "'label'=value[UOM]" items, space separated, for the values the status has.
std::string perfdata(const Status& status);

// "MOORWINCH OK - <summary> | <perfdata>", without line feed.
std::string checkLine(const Judgement& judgement, const Status& status);
json checkJson(const Judgement& judgement, const Status& status);

// The station could not be asked; reason is the library's text.
std::string unknownLine(const std::string& reason);
json unknownJson(const std::string& reason);

}  // namespace moorwinch_tool

#endif
