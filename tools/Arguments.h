// The command line: global options, commands and their values, checked and
// bounded before anything talks to a station.
#ifndef MOORWINCH_TOOL_ARGUMENTS_H
#define MOORWINCH_TOOL_ARGUMENTS_H

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "MoorwinchService.h"

namespace moorwinch_tool {

enum class Command {
    none,
    ports,
    status,
    details,
    config,
    reporting,
    report,
    check,
    setTorque,
    setStartLength,
    setActivation,
    setReporting,
    watch,
    record,
    history,
    events,
};

// Where moorwinchd listens: a Unix socket, or a TCP endpoint.
struct ServiceAddress {
    std::string socket;  // "" the default socket
    std::optional<KORVANE::MoorwinchService::endpoint> tcp;
};

struct Invocation {
    Command command = Command::none;
    std::string port;            // --port, else $MOORWINCH_PORT
    unsigned int timeoutMs = 0;  // --timeout
    bool json = false;
    bool trace = false;
    bool version = false;
    bool daemon = false;         // --daemon: through moorwinchd
    ServiceAddress service;      // its address
    std::string tokenFile;       // --token-file, for changes over TCP

    unsigned int torque = 0;             // set torque
    double startLength = 0;              // set start-length
    bool activation = false;             // set activation
    // reporting set: key and value, on/off read as 1/0; the library judges the value.
    std::vector<std::pair<std::string, std::int32_t>> flags;
    double intervalSeconds = 1.0;        // watch, record
    unsigned long count = 0;             // watch, record; 0: until stopped
    std::string output;                  // record: the file
    bool force = false;                  // record: replace an existing file

    // history, events: the range as given (WHEN texts, checked), the fields and
    // step of history, CSV output, and the file read instead of the service.
    std::optional<std::string> since, until;
    std::vector<std::string> fields;     // empty: all
    std::optional<double> stepSeconds;
    bool csv = false;
    std::string historyFile;
};

// Exit codes of every command but check.
constexpr int exitSuccess = 0;
constexpr int exitStation = 3;
constexpr int exitUsage = 4;

constexpr double minimalIntervalSeconds = 0.1;
constexpr double maximalIntervalSeconds = 86400;
constexpr double minimalStepSeconds = 0.001;
constexpr double maximalStepSeconds = 10 * 366 * 86400.0;  // as moorwinchd

// Fills invocation and returns -1 when a command is to run; otherwise the exit
// code, after help (stdout) or a usage message (stderr, starting "moorwinch:")
// was printed. Usage errors of check are UNKNOWN (3), as monitors expect; of
// the rest 4.
int parseArguments(int argc, char** argv, unsigned int defaultTimeoutMs, Invocation& invocation, std::ostream& out,
                   std::ostream& err);

}  // namespace moorwinch_tool

#endif
