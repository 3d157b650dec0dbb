#include "Options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

namespace moorwinchd {
namespace {

const char* const socketName = "moorwinchd.sock";
const char* const systemDirectory = "/run/moorwinch";

// ", LOW to HIGH (default D)" for the help text.
template <class T>
std::string rangeText(T low, T high, T byDefault) {
    std::ostringstream text;
    text << ", " << low << " to " << high << " (default " << byDefault << ")";
    return text.str();
}

template <class T>
void numeric(CLI::App& app, const char* name, const char* unit, T& value, T low, T high, const std::string& help) {
    app.add_option(name, value, help + rangeText(low, high, value))
        ->option_text(unit)
        ->check(CLI::Range(low, high));
}

bool endpointOption(const char* name, const std::string& text, Endpoint& endpoint) {
    std::string problem;
    if (KORVANE::MoorwinchService::parseEndpoint(text, endpoint, problem)) return true;
    std::cerr << "moorwinchd: " << name << ": " << problem << "\n";
    return false;
}

// A DNS name as the Host header gives it, made lower case.
bool hostName(std::string& name) {
    if (name.empty() || name.size() > 253) return false;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') return false;
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return true;
}

constexpr std::size_t maxCommandBytes = 4096;
constexpr std::size_t maxWords = 64;

// The path made absolute: the service leaves its working directory when it detaches.
bool absolutePath(const char* name, std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) {
        std::cerr << "moorwinchd: " << name << ": " << error.message() << "\n";
        return false;
    }
    path = absolute.lexically_normal().string();
    return true;
}

}  // namespace

bool parseEventCommand(const std::string& text, EventCommand& command, std::string& problem) {
    command.argv.clear();
    if (text.size() > maxCommandBytes) {
        problem = "longer than " + std::to_string(maxCommandBytes) + " bytes";
        return false;
    }
    for (std::size_t at = 0; (at = text.find_first_not_of(" \t", at)) != std::string::npos;) {
        const std::size_t end = std::min(text.find_first_of(" \t", at), text.size());
        command.argv.push_back(text.substr(at, end - at));
        at = end;
    }
    if (command.argv.empty()) {
        problem = "no command";
        return false;
    }
    if (command.argv.size() > maxWords) {
        problem = "more than " + std::to_string(maxWords) + " words";
        return false;
    }
    std::string& path = command.argv.front();
    if (path.find('/') == std::string::npos) {
        problem = "'" + path + "' is no path: name the executable with its directory, e.g. /usr/local/bin/" + path;
        return false;
    }
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || ::access(path.c_str(), X_OK) != 0) {
        problem = "'" + path + "' is not an executable file";
        return false;
    }
    std::error_code error;
    path = std::filesystem::absolute(path, error).lexically_normal().string();
    return !error;
}

std::string defaultSocketPath() {
    if (const char* runtime = std::getenv("RUNTIME_DIRECTORY"); runtime && *runtime) {
        std::string first = runtime;
        first = first.substr(0, first.find(':'));
        return first + "/" + socketName;
    }
    struct stat info;
    if (::stat(systemDirectory, &info) == 0 ? S_ISDIR(info.st_mode) && ::access(systemDirectory, W_OK) == 0
                                            : ::mkdir(systemDirectory, 0755) == 0)
        return std::string(systemDirectory) + "/" + socketName;
    if (const char* user = std::getenv("XDG_RUNTIME_DIR"); user && *user) return std::string(user) + "/" + socketName;
    return "";
}

int parseOptions(int argc, char** argv, Options& o) {
    CLI::App app{
        "Owns the ground station's serial port, polls its status and shares it with clients over a Unix\n"
        "socket (and TCP with --listen) as JSON lines; exports Prometheus metrics with --metrics and\n"
        "serves a dashboard with --http.",
        "moorwinchd"};
    app.set_version_flag("--version", MOORWINCHD_VERSION);
    std::string listen, metrics, http;
    app.add_option("--port", o.port, "The station's serial device, e.g. /dev/ttyUSB0")
        ->option_text("DEVICE")
        ->required();
    app.add_option("--socket", o.socketPath,
                   "Unix socket (default $RUNTIME_DIRECTORY/moorwinchd.sock, else\n"
                   "/run/moorwinch/moorwinchd.sock, else $XDG_RUNTIME_DIR/moorwinchd.sock)")
        ->option_text("PATH");
    app.add_option("--listen", listen,
                   "Also serve TCP on [HOST:]PORT (host loopback unless named); an address not yet\n"
                   "configured is tried again every 2 s")
        ->option_text("[HOST:]PORT");
    app.add_option("--metrics", metrics,
                   "Serve Prometheus metrics at http://[HOST:]PORT/metrics (loopback unless named)")
        ->option_text("[HOST:]PORT");
    app.add_option("--http", http,
                   "Serve the dashboard, its JSON API and /metrics at http://[HOST:]PORT/ (loopback\n"
                   "unless named); plaintext: use an SSH tunnel or a TLS proxy from elsewhere")
        ->option_text("[HOST:]PORT");
    app.add_option("--http-host", o.httpHosts,
                   "With --http: another host name the dashboard answers to (repeatable), as a proxy\n"
                   "in front of it names it; it always answers to its address, localhost, IP addresses\n"
                   "and the host's own name")
        ->option_text("NAME")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    numeric(app, "--http-max-streams", "N", o.httpMaxStreams, 1u, maxMaxClients,
            "With --http: event streams (open dashboards) at once;\nmore are answered 503");
    app.add_option("--www", o.www, "With --http: the dashboard's files (default: those installed with the service)")
        ->option_text("DIR");
    numeric(app, "--interval", "SECONDS", o.interval, minInterval, maxInterval, "Seconds between status polls");
    numeric(app, "--timeout", "MS", o.timeoutMs, minTimeoutMs, maxTimeoutMs,
            "Milliseconds the library waits for the station");
    numeric(app, "--max-clients", "N", o.maxClients, 1u, maxMaxClients,
            "Clients on the Unix socket at once (more are refused)");
    numeric(app, "--max-tcp-clients", "N", o.maxTcpClients, 1u, maxMaxClients,
            "Clients over TCP at once (more are refused), counted\napart from the Unix socket's");
    numeric(app, "--auth-timeout", "SECONDS", o.authTimeout, minClientTimeout, maxClientTimeout,
            "With --token-file: seconds a TCP client has to give\nthe token before it is closed");
    numeric(app, "--idle-timeout", "SECONDS", o.idleTimeout, minClientTimeout, maxClientTimeout,
            "Seconds a TCP client that does not watch may send\nnothing before it is closed");
    app.add_option("--control-group", o.controlGroup,
                   "Members of this group may change the station over the Unix socket (default: none;\n"
                   "root and the service's own user may)")
        ->option_text("GROUP");
    app.add_option("--token-file", o.tokenFile,
                   "File with the token that TCP clients give with {\"op\":\"auth\"} before anything but\n"
                   "\"version\", and that lets them change the station; must not be readable by others.\n"
                   "Without it TCP is read-only")
        ->option_text("FILE");
    app.add_option("--history", o.historyPath,
                   "Record every poll, the station's events and its records in this SQLite file\n"
                   "(made when missing); answers the history and events ops")
        ->option_text("PATH");
    numeric(app, "--history-days", "N", o.historyDays, 0u, maxHistoryDays,
            "Days the history keeps (0: no limit)");
    numeric(app, "--history-max-mb", "M", o.historyMaxMB, std::uint64_t{0}, maxHistoryMaxMB,
            "MiB the history file may hold, oldest rows deleted first\n(0: no limit)");
    std::vector<std::string> onEvent;
    app.add_option("--on-event", onEvent,
                   "Run this command for every event (repeatable, at most 16): an executable's path\n"
                   "and arguments split on blanks, no shell; the event in MOORWINCH_* variables and\n"
                   "as one JSON line on its standard input")
        ->option_text("COMMAND")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    numeric(app, "--event-delay", "SECONDS", o.eventDelay, 0.0, maxEventDelay,
            "Tell the commands of a disconnect, stale data or a verdict\nthat is not ok only once it lasts this long, "
            "and of its end once");
    numeric(app, "--event-timeout", "SECONDS", o.eventTimeout, minEventTimeout, maxEventTimeout,
            "Seconds an event command may run before it is killed");
    app.add_flag("--foreground", o.foreground, "Stay in the foreground (systemd, containers)");
    app.add_flag("--verbose", o.verbose, "Log every poll, client and command");
    app.add_flag("--trace", o.trace, "Log every line on the serial line (implies --verbose)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;  // help and version, or a usage error
    }
    o.listen = !listen.empty();
    if (o.listen && !endpointOption("--listen", listen, o.listenAt)) return 2;
    o.metrics = !metrics.empty();
    if (o.metrics && !endpointOption("--metrics", metrics, o.metricsAt)) return 2;
    o.http = !http.empty();
    if (o.http && !endpointOption("--http", http, o.httpAt)) return 2;
    if (o.port.empty()) {
        std::cerr << "moorwinchd: --port needs a device path\n";
        return 2;
    }
    if (o.trace) o.verbose = true;
    if (o.socketPath.empty()) {
        o.socketPath = defaultSocketPath();
        if (o.socketPath.empty()) {
            std::cerr << "moorwinchd: no runtime directory for the socket (neither /run/moorwinch nor "
                         "$XDG_RUNTIME_DIR); give --socket PATH\n";
            return 2;
        }
    }
    // The socket is removed at the end by the path it was made with.
    if (!absolutePath("--socket", o.socketPath)) return 2;
    if (app.count("--history") && o.historyPath.empty()) {
        std::cerr << "moorwinchd: --history needs a file path\n";
        return 2;
    }
    if (!o.historyPath.empty() && !absolutePath("--history", o.historyPath)) return 2;
    if (onEvent.size() > maxEventCommands) {
        std::cerr << "moorwinchd: --on-event: at most " << maxEventCommands << " commands\n";
        return 2;
    }
    for (const std::string& text : onEvent) {
        EventCommand command;
        std::string problem;
        if (!parseEventCommand(text, command, problem)) {
            std::cerr << "moorwinchd: --on-event: " << problem << "\n";
            return 2;
        }
        o.eventCommands.push_back(std::move(command));
    }
    if (!o.www.empty() && !absolutePath("--www", o.www)) return 2;
    if (o.httpHosts.size() > maxHttpHosts) {
        std::cerr << "moorwinchd: --http-host: at most " << maxHttpHosts << " names\n";
        return 2;
    }
    for (std::string& name : o.httpHosts) {
        if (!hostName(name)) {
            std::cerr << "moorwinchd: --http-host: '" << name << "' is not a host name (letters, digits, '-' "
                      << "and '.', at most 253)\n";
            return 2;
        }
    }
    return -1;
}

}  // namespace moorwinchd
