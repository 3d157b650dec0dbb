// The service's command line, checked and bounded before anything starts.
#ifndef MOORWINCHD_OPTIONS_H
#define MOORWINCHD_OPTIONS_H

#include <MoorwinchService.h>

#include <cstdint>

#include <string>
#include <vector>

namespace moorwinchd {

// A HOST:PORT to listen on; the host is loopback unless one is named.
using Endpoint = KORVANE::MoorwinchService::endpoint;

// An --on-event value: an executable and its arguments.
struct EventCommand {
    std::vector<std::string> argv;
};

struct Options {
    std::string port;             // the station's serial device
    std::string socketPath;       // absolute (see defaultSocketPath)
    bool listen = false;
    Endpoint listenAt;
    bool metrics = false;
    Endpoint metricsAt;
    bool http = false;
    Endpoint httpAt;
    unsigned int httpMaxStreams = 32;  // event streams at once; more are answered 503
    std::string www;                   // the page's files; "" for where they were installed
    std::vector<std::string> httpHosts;  // more names the dashboard answers to (lower case)
    double interval = 1.0;        // s between status polls
    unsigned int timeoutMs = 400; // the library's connection timeout
    unsigned int maxClients = 64;     // on the Unix socket
    unsigned int maxTcpClients = 16;  // over TCP, apart, so that the network cannot crowd out local operators
    double authTimeout = 10;      // s a TCP client has to give the token (with a token file)
    double idleTimeout = 60;      // s a TCP client that does not watch may stay silent
    std::string controlGroup;
    std::string tokenFile;
    std::string historyPath;      // "" for none; absolute
    unsigned historyDays = 30;    // 0: no age limit
    std::uint64_t historyMaxMB = 1024;  // 0: no size limit
    std::vector<EventCommand> eventCommands;
    double eventDelay = 0;        // s a bad state lasts before the commands hear of it
    double eventTimeout = 10;     // s an event command may run
    bool foreground = false;
    bool verbose = false;
    bool trace = false;
};

// Bounds of the numeric options.
constexpr double minInterval = 0.05, maxInterval = 3600;
constexpr unsigned int minTimeoutMs = 10, maxTimeoutMs = 60000;
constexpr unsigned int maxMaxClients = 1000;
constexpr double minClientTimeout = 0.1, maxClientTimeout = 86400;
constexpr unsigned maxHistoryDays = 36500;
constexpr std::uint64_t maxHistoryMaxMB = 16u << 20;  // 16 TiB
constexpr std::size_t maxEventCommands = 16;
constexpr std::size_t maxHttpHosts = 16;
constexpr double maxEventDelay = 86400, minEventTimeout = 0.1, maxEventTimeout = 3600;

// Parses argv. Returns -1 to go on, otherwise the exit code (0 after --help,
// 2 after a usage error, which is printed).
int parseOptions(int argc, char** argv, Options& options);

// Splits an --on-event value on blanks (spaces and tabs; no shell: no quotes,
// no variables, no globs) and checks that its first word is a path to an
// executable file, made absolute. False with a message otherwise.
bool parseEventCommand(const std::string& text, EventCommand& command, std::string& problem);

// $RUNTIME_DIRECTORY (its first entry), else /run/moorwinch when it exists or
// can be made, else $XDG_RUNTIME_DIR; "" when none of them is usable.
std::string defaultSocketPath();

}  // namespace moorwinchd

#endif
