// The command line: global options, commands and their values, checked and
// bounded before anything talks to a station.
#ifndef MOORWINCH_TOOL_ARGUMENTS_H
#define MOORWINCH_TOOL_ARGUMENTS_H

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

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
};

struct Invocation {
    Command command = Command::none;
    std::string port;            // --port, else $MOORWINCH_PORT
    unsigned int timeoutMs = 0;  // --timeout
    bool json = false;
    bool trace = false;
    bool version = false;
    bool daemon = false;         // --daemon: through moorwinchd
    std::string daemonAddress;   // its socket or [HOST:]PORT; "" the default socket
    std::string tokenFile;       // --token-file, for changes over TCP

    unsigned int torque = 0;             // set torque
    double startLength = 0;              // set start-length
    bool activation = false;             // set activation
    std::vector<std::pair<std::string, int>> flags;  // reporting set: key and 0 or 1
    double intervalSeconds = 1.0;        // watch
    unsigned long count = 0;             // watch; 0: until stopped
};

// Exit codes of every command but check.
constexpr int exitSuccess = 0;
constexpr int exitStation = 3;
constexpr int exitUsage = 4;

constexpr double minimalIntervalSeconds = 0.1;
constexpr double maximalIntervalSeconds = 86400;

// Fills invocation and returns -1 when a command is to run; otherwise the exit
// code, after help (stdout) or a usage message (stderr) was printed. Usage
// errors of check are UNKNOWN (3), as monitors expect; of the rest 4.
int parseArguments(int argc, char** argv, unsigned int defaultTimeoutMs, Invocation& invocation, std::ostream& out,
                   std::ostream& err);

}  // namespace moorwinch_tool

#endif
