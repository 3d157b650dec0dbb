#include "Options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>

namespace moorwinchd {
namespace {

const char* const socketName = "moorwinchd.sock";
const char* const systemDirectory = "/run/moorwinch";

bool isDigits(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

std::string Endpoint::text() const {
    return host.find(':') != std::string::npos ? "[" + host + "]:" + port : host + ":" + port;
}

bool parseEndpoint(const std::string& text, Endpoint& endpoint, std::string& problem) {
    Endpoint e;
    std::string portText = text;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find("]:");
        if (close == std::string::npos) {
            problem = "'" + text + "' is not [ADDRESS]:PORT";
            return false;
        }
        e.host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        e.host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (e.host.find(':') != std::string::npos) {
            problem = "write an IPv6 address in brackets, e.g. [::1]:" + portText;
            return false;
        }
    }
    if (e.host.empty()) e.host = "127.0.0.1";
    if (!isDigits(portText) || std::stoul(portText) > 65535) {
        problem = "'" + portText + "' is not a port number (0 to 65535)";
        return false;
    }
    e.port = std::to_string(std::stoul(portText));
    endpoint = e;
    return true;
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
        "socket (and TCP with --listen) as JSON lines; exports Prometheus metrics with --metrics.",
        "moorwinchd"};
    app.set_version_flag("--version", MOORWINCHD_VERSION);
    std::string listen, metrics;
    app.add_option("--port", o.port, "The station's serial device, e.g. /dev/ttyUSB0")->required();
    app.add_option("--socket", o.socketPath,
                   "Unix socket (default $RUNTIME_DIRECTORY/moorwinchd.sock, else\n"
                   "/run/moorwinch/moorwinchd.sock, else $XDG_RUNTIME_DIR/moorwinchd.sock)");
    app.add_option("--listen", listen, "Also serve TCP on [HOST:]PORT (host loopback unless named)");
    app.add_option("--metrics", metrics, "Serve Prometheus metrics at http://[HOST:]PORT/metrics (loopback unless named)");
    app.add_option("--interval", o.interval, "Seconds between status polls")
        ->capture_default_str()
        ->check(CLI::Range(minInterval, maxInterval));
    app.add_option("--timeout", o.timeoutMs, "Milliseconds the library waits for the station")
        ->capture_default_str()
        ->check(CLI::Range(minTimeoutMs, maxTimeoutMs));
    app.add_option("--max-clients", o.maxClients, "Clients served at once; more are refused")
        ->capture_default_str()
        ->check(CLI::Range(1u, maxMaxClients));
    app.add_option("--control-group", o.controlGroup,
                   "Members of this group may change the station over the Unix socket");
    app.add_option("--token-file", o.tokenFile,
                   "File with the token that TCP clients give with {\"op\":\"auth\"} before changing\n"
                   "the station; must not be readable by others");
    app.add_flag("--foreground", o.foreground, "Stay in the foreground (systemd, containers)");
    app.add_flag("--verbose", o.verbose, "Log every poll, client and command");
    app.add_flag("--trace", o.trace, "Log every line on the serial line (implies --verbose)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;  // help and version, or a usage error
    }
    std::string problem;
    if (!listen.empty()) {
        o.listen = true;
        if (!parseEndpoint(listen, o.listenAt, problem)) {
            std::cerr << "moorwinchd: --listen: " << problem << "\n";
            return 2;
        }
    }
    if (!metrics.empty()) {
        o.metrics = true;
        if (!parseEndpoint(metrics, o.metricsAt, problem)) {
            std::cerr << "moorwinchd: --metrics: " << problem << "\n";
            return 2;
        }
    }
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
    return -1;
}

}  // namespace moorwinchd
