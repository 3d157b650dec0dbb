// What the tool prints, made from records: the library's reports turned into
// UTF-8, the reporting flags, ports and version, JSON lines and trace lines.
// Nothing here talks to a station.
#ifndef MOORWINCH_TOOL_OUTPUT_H
#define MOORWINCH_TOOL_OUTPUT_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "StationBackend.h"

namespace moorwinch_tool {

using json = nlohmann::json;

struct VersionInfo {
    std::string libraryBuild;
    std::string protocolVersion;
};

struct PortEntry {
    std::string port;
    std::string description;
    std::string hardwareId;
};

// The library's 8-bit report text for a UTF-8 terminal: its degree sign (the
// byte 0xF8) becomes U+00B0; control characters other than line feed and tab,
// which a station's texts could carry into a terminal, become '?'.
std::string terminalText(const std::string& libraryText);

// The six reporting flags: key (as in the record and its JSON), member, the
// member of a change, and the status block the flag switches.
struct ReportingFlag {
    const char* key;
    std::int32_t Reporting::*member;
    std::optional<std::int32_t> ReportingChange::*change;
    const char* block;
};
const std::vector<ReportingFlag>& reportingFlags();

// The library's reports, ready to print.
std::string report(const Status& status);
std::string report(const Details& details);
std::string report(const Config& config);
// One line per flag: "<key>: reported|disabled|not available (<what it covers>)".
std::string report(const Reporting& reporting);

std::string portsText(const std::vector<PortEntry>& ports);
json portsJson(const std::vector<PortEntry>& ports);

std::string versionText(const std::string& toolVersion, const VersionInfo& library);
json versionJson(const std::string& toolVersion, const VersionInfo& library);

// One JSON document on one line; text that is not UTF-8 is replaced, never fatal.
std::string jsonLine(const json& document);

// ISO 8601 in UTC with milliseconds ("2024-05-01T12:00:00.250Z"), and the local
// wall-clock time ("2024-05-01 14:00:00", with milliseconds ".250" when asked)
// for lines people read.
std::string utcTime(std::chrono::system_clock::time_point time);
std::string localTime(std::chrono::system_clock::time_point time, bool milliseconds = false);

// "1 exchange", "2 exchanges".
std::string counted(std::size_t n, const std::string& noun);

// "HH:MM:SS.mmm -> line" (sent) or "<- line" (received); bytes outside
// printable ASCII are shown as \xNN.
std::string traceLine(bool sent, const std::string& line, std::chrono::system_clock::time_point time);

// A float as its shortest decimal that reads back the same ("12.34", "21").
std::string shortestDecimal(float value);

}  // namespace moorwinch_tool

#endif
