// The service's command line, checked and bounded before anything starts.
#ifndef MOORWINCHD_OPTIONS_H
#define MOORWINCHD_OPTIONS_H

#include <MoorwinchService.h>

#include <string>

namespace moorwinchd {

// A HOST:PORT to listen on; the host is loopback unless one is named.
using Endpoint = KORVANE::MoorwinchService::endpoint;

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
    double interval = 1.0;        // s between status polls
    unsigned int timeoutMs = 400; // the library's connection timeout
    unsigned int maxClients = 64;     // on the Unix socket
    unsigned int maxTcpClients = 16;  // over TCP, apart, so that the network cannot crowd out local operators
    double authTimeout = 10;      // s a TCP client has to give the token (with a token file)
    double idleTimeout = 60;      // s a TCP client that does not watch may stay silent
    std::string controlGroup;
    std::string tokenFile;
    bool foreground = false;
    bool verbose = false;
    bool trace = false;
};

// Bounds of the numeric options.
constexpr double minInterval = 0.05, maxInterval = 3600;
constexpr unsigned int minTimeoutMs = 10, maxTimeoutMs = 60000;
constexpr unsigned int maxMaxClients = 1000;
constexpr double minClientTimeout = 0.1, maxClientTimeout = 86400;

// Parses argv. Returns -1 to go on, otherwise the exit code (0 after --help,
// 2 after a usage error, which is printed).
int parseOptions(int argc, char** argv, Options& options);

// $RUNTIME_DIRECTORY (its first entry), else /run/moorwinch when it exists or
// can be made, else $XDG_RUNTIME_DIR; "" when none of them is usable.
std::string defaultSocketPath();

}  // namespace moorwinchd

#endif
