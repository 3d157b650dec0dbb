// moorwinchd: owns the ground station's serial port and shares it with every
// program that needs it (see README, "Sharing the station").
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <functional>
#include <memory>

#include "Auth.h"
#include "Changes.h"
#include "Events.h"
#include "History.h"
#include "HttpServer.h"
#include "Log.h"
#include "Metrics.h"
#include "Notifier.h"
#include "Options.h"
#include "Retries.h"
#include "Server.h"
#include "Sockets.h"
#include "Station.h"
#include "Systemd.h"

using namespace moorwinchd;

namespace {

// Forks into the background. The parent stays until the child reports that
// it serves (exit 0) or fails to start (exit 1, the child has said why on
// standard error, which both share). Returns the descriptor the child writes
// its readiness to.
int detach() {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (child > 0) {
        ::close(ready[1]);
        char byte = 0;
        const ssize_t n = ::read(ready[0], &byte, 1);
        ::_exit(n == 1 ? 0 : 1);
    }
    ::close(ready[0]);
    ::setsid();
    if (::chdir("/") != 0) {
    }
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    return ready[1];
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int code = parseOptions(argc, argv, options); code >= 0) return code;
    setVerbose(options.verbose);
    ::signal(SIGPIPE, SIG_IGN);
    // Room for every client besides the service's own descriptors.
    const rlim_t needed = options.maxClients + options.maxTcpClients + 64u +
                          (options.http ? options.httpMaxStreams + 2 * requestThreads : 0u);
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < needed) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, needed);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    int unixFd = -1;
    std::vector<int> tcpFds;  // the retries' thread adds to it; read once that thread has ended
    std::vector<std::string> tcpBound;
    bool listenLater = false, metricsLater = false, httpLater = false;
    std::unique_ptr<Authority> authority;
    try {
        authority = std::make_unique<Authority>(options.controlGroup, options.tokenFile);
        unixFd = listenUnix(options.socketPath);
        if (options.listen) {
            listenLater = !addressReady(options.listenAt);
            if (!listenLater) tcpFds = listenTcp(options.listenAt, tcpBound);
        }
        metricsLater = options.metrics && !addressReady(options.metricsAt);
        httpLater = options.http && !addressReady(options.httpAt);
    } catch (const std::exception& e) {
        log(Level::error, e.what());
        for (int fd : tcpFds) ::close(fd);
        if (unixFd >= 0) closeUnix(options.socketPath, unixFd);
        return 1;
    }

    int readyFd = -1;
    try {
        if (!options.foreground) readyFd = detach();
    } catch (const std::exception& e) {
        log(Level::error, e.what());
        closeUnix(options.socketPath, unixFd);
        return 1;
    }

    // Blocked before any thread starts: every thread inherits the mask and the
    // server takes the signals from its signalfd.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    int code = 0;
    try {
        // Before the metrics, which read its count of write errors while they serve.
        std::unique_ptr<History> history;
        if (!options.historyPath.empty()) {
            history = std::make_unique<History>(
                HistorySettings{options.historyPath, options.historyDays, options.historyMaxMB});
            log(Level::notice, "recording the history in ", options.historyPath, " (", options.historyDays,
                " days, ", options.historyMaxMB, " MiB at most; 0 is no limit)");
        }
        Metrics metrics;
        if (history)
            metrics.countedBy("moorwinch_history_write_errors_total",
                              "History rows that could not be written (failed or dropped)",
                              [&history] { return static_cast<double>(history->writeErrors()); });
        std::string metricsAt;
        if (options.metrics && !metricsLater) metricsAt = metrics.serve(options.metricsAt);
        Systemd systemd;
        std::unique_ptr<Notifier> notifier;
        if (!options.eventCommands.empty())
            notifier = std::make_unique<Notifier>(
                NotifierSettings{options.eventCommands, options.eventDelay, options.eventTimeout}, metrics);
        Events events(options.port, metrics, history.get(), notifier.get());
        StationSettings settings{options.port, options.interval, options.timeoutMs, options.trace};
        Station station(settings, metrics, events, history.get());
        Changes changes(station, *authority);
        const auto duration = [](double s) {
            return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
        };
        Server server(station, changes, history.get(), metrics, *authority, systemd,
                      ClientLimits{options.maxClients, options.maxTcpClients, duration(options.authTimeout),
                                   duration(options.idleTimeout)});
        // The station thread wakes the server: on every way out of this block
        // it ends before the server goes.
        struct StopFirst {
            Station& station;
            ~StopFirst() { station.stop(); }
        } stopFirst{station};
        server.addListener(unixFd, false);
        for (int fd : tcpFds) server.addListener(fd, true);
        // Ends before the station and the server, whose parts its requests use.
        std::unique_ptr<HttpServer> http;
        if (options.http) {
            http = std::make_unique<HttpServer>(HttpSettings{options.httpAt, options.httpMaxStreams, options.www, options.httpHosts},
                                                station, changes, history.get(), metrics, *authority,
                                                [&server] { return server.sharedCounts(); });
            server.tap([&http](const Event& e) { http->publish(e); });
        }

        log(Level::notice, "serving ", options.port, " on ", options.socketPath, " (mode 0660)");
        for (const std::string& at : tcpBound) log(Level::notice, "serving TCP on ", at);
        if (options.metrics && !metricsLater) log(Level::notice, "metrics on http://", metricsAt, "/metrics");
        if (http && !httpLater) log(Level::notice, "dashboard on http://", http->serve(), "/");
        // An address not configured yet (at boot, before the network is up)
        // does not keep the station from its local clients. Declared after the
        // dashboard and before the stop, so that its thread ends first.
        Retries retries;
        const auto later = [&retries](const char* what, const Endpoint& at, std::function<void()> serve) {
            log(Level::warning, what, " address ", at.text(), " is not there yet; trying again every ",
                retryEvery.count(), " s");
            retries.add(std::string(what) + " on " + at.text(), [&at, serve] {
                if (!addressReady(at)) return false;
                serve();
                return true;
            });
        };
        if (listenLater)
            later("TCP", options.listenAt, [&] {
                std::vector<std::string> bound;
                for (int fd : listenTcp(options.listenAt, bound)) {
                    tcpFds.push_back(fd);
                    server.addListener(fd, true);
                }
                for (const std::string& at : bound) log(Level::notice, "serving TCP on ", at);
            });
        if (metricsLater)
            later("metrics", options.metricsAt,
                  [&] { log(Level::notice, "metrics on http://", metrics.serve(options.metricsAt), "/metrics"); });
        if (httpLater)
            later("HTTP", options.httpAt, [&] { log(Level::notice, "dashboard on http://", http->serve(), "/"); });
        retries.start();
        log(Level::info, authority->describe());

        station.start([&server] { server.wake(); });
        systemd.ready("serving " + options.port + " on " + options.socketPath);
        if (readyFd >= 0) {
            const char byte = 1;
            [[maybe_unused]] ssize_t n = ::write(readyFd, &byte, 1);
            ::close(readyFd);
        }
        const std::string signal = server.run();
        log(Level::notice, "stopping on ", signal);
        systemd.stopping();
        retries.stop();
        for (int fd : tcpFds) ::close(fd);
        closeUnix(options.socketPath, unixFd);
        tcpFds.clear();
        unixFd = -1;
        station.stop();
        // The metrics server's threads take up to about 1.5 s to end.
    } catch (const std::exception& e) {
        log(Level::error, e.what());
        code = 1;
    }
    for (int fd : tcpFds) ::close(fd);
    if (unixFd >= 0) closeUnix(options.socketPath, unixFd);
    return code;
}
