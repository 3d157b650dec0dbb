#include "Check.h"

#include "MoorwinchJson.h"

namespace moorwinch_tool {
namespace {

using KORVANE::MoorwinchDefinitions::statusError;
using KORVANE::MoorwinchDefinitions::statusWarning;

struct Perf {
    const char* key;  // the member's name, which is also its JSON key
    float Status::*member;
    const char* unit;  // unit letters monitoring plugins accept
};

const Perf perfItems[] = {
    {"cableLength", &Status::cableLength, "m"},
    {"cableSpeed", &Status::cableSpeed, "m/s"},
    {"mainsVoltage", &Status::mainsVoltage, "V"},
    {"mainsCurrent", &Status::mainsCurrent, "A"},
    {"uavSupplyVoltage", &Status::uavSupplyVoltage, "V"},
    {"uavSupplyCurrent", &Status::uavSupplyCurrent, "A"},
    {"temperature1", &Status::temperature1, "C"},
    {"temperature2", &Status::temperature2, "C"},
    {"temperature3", &Status::temperature3, "C"},
    {"temperature4", &Status::temperature4, "C"},
};

const char* stateName(const Judgement& judgement) {
    switch (checkExitCode(judgement)) {
        case 2: return "CRITICAL";
        case 1: return "WARNING";
        default: return "OK";
    }
}

// The text before the perfdata must not contain the separator or a line break.
std::string pluginText(std::string text) {
    for (char& c : text)
        if (c == '|' || c == '\n' || c == '\r') c = c == '|' ? '/' : ' ';
    return text;
}

}  // namespace

Judgement judge(const Status& status, const Details* details) {
    Judgement judgement;
    const Details none;
    KORVANE::Moorwinch().checkSystemStatus(status, details ? *details : none, judgement.verdict, details != nullptr,
                                           judgement.conditions);
    return judgement;
}

int checkExitCode(const Judgement& judgement) {
    return judgement.verdict == statusError ? 2 : judgement.verdict == statusWarning ? 1 : 0;
}

// Availability is the JSON mapping's: a value it writes as null is left out.
std::string perfdata(const Status& status) {
    const json values = KORVANE::MoorwinchJson::toJson(status);
    std::string text;
    for (const Perf& item : perfItems) {
        if (values.at(item.key).is_null()) continue;
        if (!text.empty()) text += ' ';
        text += std::string("'") + item.key + "'=" + shortestDecimal(status.*item.member) + item.unit;
    }
    return text;
}

std::string checkLine(const Judgement& judgement, const Status& status) {
    std::string summary;
    for (const std::string& condition : judgement.conditions) summary += (summary.empty() ? "" : ", ") + condition;
    if (summary.empty()) summary = "no error or warning conditions";
    std::string line = std::string("MOORWINCH ") + stateName(judgement) + " - " + pluginText(summary);
    const std::string perf = perfdata(status);
    return perf.empty() ? line : line + " | " + perf;
}

json checkJson(const Judgement& judgement, const Status& status) {
    return {{"verdict", KORVANE::MoorwinchJson::verdictName(judgement.verdict)},
            {"conditions", judgement.conditions},
            {"status", KORVANE::MoorwinchJson::toJson(status)}};
}

std::string unknownLine(const std::string& reason) { return "MOORWINCH UNKNOWN - " + pluginText(reason); }

json unknownJson(const std::string& reason) {
    return {{"verdict", "unknown"}, {"conditions", json::array()}, {"status", nullptr}, {"error", reason}};
}

}  // namespace moorwinch_tool
