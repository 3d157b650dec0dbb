// The client protocol: one JSON object a line, {"op":...,"id":...}. The parser
// checks every member a request may carry and refuses anything else, so that a
// request that reaches the station is whole and of the right types.
#ifndef MOORWINCHD_REQUEST_H
#define MOORWINCHD_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace moorwinchd {

using json = nlohmann::json;

// The longest request line accepted; a longer one ends the connection.
constexpr std::size_t maxLineBytes = 64 * 1024;

enum class Op {
    status,
    details,
    config,
    reporting,
    check,
    version,
    state,
    set,
    setReporting,
    watch,
    unwatch,
    auth,
    history,
    events
};

// history and events: the most fields named, the longest time text and field
// name, and the bounds of a step in seconds.
constexpr std::size_t maxFields = 64;
constexpr std::size_t maxTimeBytes = 64;
constexpr std::size_t maxFieldBytes = 64;
constexpr double minStep = 0.001, maxStep = 10 * 366 * 86400.0;

// The six reporting flags, in the order of the records.
constexpr const char* reportingKeys[6] = {"cab", "env", "energyGS", "energyUAV", "sysState", "hwModuleStatus"};

struct Request {
    Op op = Op::status;
    json id;  // null when the request has none
    // set: at least one of these
    std::optional<unsigned int> torque;
    std::optional<float> startLength;
    std::optional<bool> activation;
    // reporting with "set": the named flags (the library judges them), absent
    // flags keep the station's value
    std::optional<std::int32_t> reporting[6];
    std::string token;  // auth
    // history, events: the range as given (null when absent: the default),
    // a number of Unix seconds or a text the history's time parser reads
    json since, until;
    // history: the fields named (none: every field) and the bucket length
    std::vector<std::string> fields;
    std::optional<double> step;
};

// Reads one line (without its line feed). On failure returns false with a
// message for a BadRequest reply; id is the request's id when it could be read.
// Settings and reporting flags are checked for their type here; their range
// is the library's to judge (a ValueException with its text).
bool parseRequest(std::string_view line, Request& request, std::string& problem);

}  // namespace moorwinchd

#endif
