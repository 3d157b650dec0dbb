#include "Output.h"

#include <charconv>
#include <cstdio>
#include <ctime>
#include <sstream>

namespace moorwinch_tool {
namespace {

constexpr char libraryDegreeSign = '\xF8';
constexpr const char* utf8DegreeSign = "\xC2\xB0";

template <class R>
std::string libraryReport(const R& record) {
    KORVANE::Moorwinch formatter;  // reports need no connection
    R copy = record;
    std::ostringstream out;
    formatter.print(copy, out);
    return terminalText(out.str());
}

std::tm brokenDown(std::chrono::system_clock::time_point time, bool utc) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm parts{};
    if (utc)
        gmtime_r(&seconds, &parts);
    else
        localtime_r(&seconds, &parts);
    return parts;
}

int millisecondsOf(std::chrono::system_clock::time_point time) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() % 1000;
    return static_cast<int>(ms < 0 ? ms + 1000 : ms);
}

std::string formatTime(std::chrono::system_clock::time_point time, bool utc, const char* format) {
    const std::tm parts = brokenDown(time, utc);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, format, &parts);
    return std::string(text, n);
}

}  // namespace

std::string terminalText(const std::string& libraryText) {
    std::string text;
    text.reserve(libraryText.size() + 8);
    for (char c : libraryText) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == libraryDegreeSign)
            text += utf8DegreeSign;
        else if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7F)
            text += '?';
        else
            text += c;
    }
    return text;
}

const std::vector<ReportingFlag>& reportingFlags() {
    static const std::vector<ReportingFlag> flags = {
        {"cab", &Reporting::cab, &ReportingChange::cab, "cable"},
        {"env", &Reporting::env, &ReportingChange::env, "environment"},
        {"energyGS", &Reporting::energyGS, &ReportingChange::energyGS, "ground station energy"},
        {"energyUAV", &Reporting::energyUAV, &ReportingChange::energyUAV, "UAV energy"},
        {"sysState", &Reporting::sysState, &ReportingChange::sysState, "system state"},
        {"hwModuleStatus", &Reporting::hwModuleStatus, &ReportingChange::hwModuleStatus, "hardware modules"},
    };
    return flags;
}

std::string report(const Status& status) { return libraryReport(status); }
std::string report(const Details& details) { return libraryReport(details); }
std::string report(const Config& config) { return libraryReport(config); }

std::string report(const Reporting& reporting) {
    std::string text;
    for (const ReportingFlag& flag : reportingFlags()) {
        const std::int32_t value = reporting.*flag.member;
        const char* state = value == 1 ? "reported" : value == 0 ? "disabled" : "not available";
        text += std::string(flag.key) + ": " + state + " (" + flag.block + ")\n";
    }
    return text;
}

std::string portsText(const std::vector<PortEntry>& ports) {
    std::string text;
    for (const PortEntry& entry : ports) {
        if (!text.empty()) text += "\n";
        text += "Port: " + entry.port + "\nDescription: " + entry.description + "\nHardware ID: " +
                entry.hardwareId + "\n";
    }
    return terminalText(text);
}

json portsJson(const std::vector<PortEntry>& ports) {
    json list = json::array();
    for (const PortEntry& entry : ports)
        list.push_back({{"port", entry.port}, {"description", entry.description}, {"hardwareId", entry.hardwareId}});
    return list;
}

std::string versionText(const std::string& toolVersion, const VersionInfo& library) {
    return "moorwinch " + toolVersion + "\nlibrary build " + library.libraryBuild + "\nprotocol version " +
           library.protocolVersion + "\n";
}

json versionJson(const std::string& toolVersion, const VersionInfo& library) {
    return {{"tool", toolVersion}, {"libraryBuild", library.libraryBuild},
            {"protocolVersion", library.protocolVersion}};
}

std::string jsonLine(const json& document) {
    return document.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string utcTime(std::chrono::system_clock::time_point time) {
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03dZ", millisecondsOf(time));
    return formatTime(time, true, "%Y-%m-%dT%H:%M:%S") + ms;
}

std::string localTime(std::chrono::system_clock::time_point time, bool milliseconds) {
    char ms[8] = "";
    if (milliseconds) std::snprintf(ms, sizeof ms, ".%03d", millisecondsOf(time));
    return formatTime(time, false, "%Y-%m-%d %H:%M:%S") + ms;
}

std::string counted(std::size_t n, const std::string& noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string traceLine(bool sent, const std::string& line, std::chrono::system_clock::time_point time) {
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03d", millisecondsOf(time));
    std::string text = formatTime(time, false, "%H:%M:%S") + ms + (sent ? " -> " : " <- ");
    for (char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text + "\n";
}

std::string shortestDecimal(float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

}  // namespace moorwinch_tool
