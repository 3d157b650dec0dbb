// MoorwinchdBench: figures of moorwinchd against the simulator program, both
// run as subprocesses. Prints one line per figure:
//   fan-out    1, 100 and 500 watchers at 0.2 s: polls, events each watcher
//              missed, polls the service missed
//   latency    from the poll's reply (the event's time stamp, taken when the
//              reply was read) to the event's arrival at a watcher: median, p95
//   resources  CPU share and resident memory of the service with 10 watchers
//   reconnect  from the device's return to the "connected" event, after
//              outages of several lengths (the backoff decides most of it)
//   fairness   6 clients sending changes back to back at 0.2 s: changes made,
//              polls seen by a watcher against the slots, the longest time
//              between two polls
// Usage: MoorwinchdBench [--seconds S] [--resource-seconds S]
//   --seconds S            length of each fan-out and latency run (default 30)
//   --resource-seconds S   length of the resource run (default 180)
#include <sys/epoll.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <thread>

#include "DaemonHarness.h"

using namespace moorwinch_test;

namespace {

using Wall = std::chrono::system_clock;

double wallSeconds() { return std::chrono::duration<double>(Wall::now().time_since_epoch()).count(); }

struct Bench {
    std::string dir;
    std::unique_ptr<Process> simulator, daemon;
    int pid = 0;

    Bench() {
        char pattern[] = "/tmp/moorwinchd-bench-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
        dir = pattern;
    }
    ~Bench() {
        daemon.reset();
        simulator.reset();
        std::filesystem::remove_all(dir);
    }
    std::string link() const { return dir + "/tty"; }
    std::string socket() const { return dir + "/d.sock"; }

    void startSimulator() {
        simulator = std::make_unique<Process>(std::vector<std::string>{MOORWINCH_SIM_PATH, "--link", link()},
                                              dir + "/sim.log");
        if (!eventually([&] { return access(link().c_str(), F_OK) == 0; }))
            throw std::runtime_error("the simulator did not start");
    }
    void startDaemon(const std::string& interval) {
        daemon.reset();
        std::filesystem::remove(dir + "/daemon.log");
        daemon = std::make_unique<Process>(
            std::vector<std::string>{MOORWINCHD_PATH, "--port", link(), "--socket", socket(), "--foreground",
                                     "--interval", interval, "--max-clients", "1000"},
            dir + "/daemon.log");
        if (!eventually([&] {
                Connection c(dialUnix(socket()));
                return c.open() && c.ask({{"op", "status"}}).value("ok", false);
            }))
            throw std::runtime_error("moorwinchd did not start:\n" + slurp(dir + "/daemon.log"));
        pid = daemon->id();
    }
};

// Watchers on one epoll: each event's arrival time and poll number.
struct Watchers {
    std::vector<std::unique_ptr<Connection>> clients;
    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    std::vector<double> latencies;
    std::vector<std::vector<long>> polls;
    std::vector<double> connectedAt;

    Watchers(const std::string& socket, int count) {
        for (int i = 0; i < count; ++i) {
            clients.push_back(std::make_unique<Connection>(dialUnix(socket)));
            if (clients.back()->ask({{"op", "watch"}}).value("ok", false) != true)
                throw std::runtime_error("a watcher was refused");
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u32 = static_cast<std::uint32_t>(i);
            epoll_ctl(epollFd, EPOLL_CTL_ADD, clients.back()->fd, &e);
        }
        polls.resize(clients.size());
    }
    ~Watchers() { close(epollFd); }

    // Reads events for the time given, or until a state event says connected.
    void run(double seconds, bool untilConnected = false) {
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        epoll_event ready[256];
        while (Clock::now() < end && !(untilConnected && !connectedAt.empty())) {
            const int n = epoll_wait(epollFd, ready, 256, 100);
            for (int i = 0; i < n; ++i) {
                Connection& c = *clients[ready[i].data.u32];
                char chunk[65536];
                const ssize_t got = read(c.fd, chunk, sizeof chunk);
                const double now = wallSeconds();
                if (got <= 0) throw std::runtime_error("a watcher was dropped");
                c.buffer.append(chunk, static_cast<std::size_t>(got));
                for (std::size_t end; (end = c.buffer.find('\n')) != std::string::npos;) {
                    const json e = json::parse(c.buffer.substr(0, end), nullptr, false);
                    c.buffer.erase(0, end + 1);
                    if (e.value("event", "") == "status") {
                        latencies.push_back(now - e.value("time", 0.0));
                        polls[ready[i].data.u32].push_back(e.value("poll", 0L));
                    } else if (e.value("event", "") == "state" && e.value("state", "") == "connected") {
                        connectedAt.push_back(now);
                    }
                }
            }
        }
    }

    // Polls a watcher did not see between its first and last event, worst watcher.
    long worstGaps() const {
        long worst = 0;
        for (const auto& seen : polls)
            if (!seen.empty()) worst = std::max(worst, seen.back() - seen.front() + 1 - static_cast<long>(seen.size()));
        return worst;
    }
    std::size_t fewestEvents() const {
        std::size_t fewest = SIZE_MAX;
        for (const auto& seen : polls) fewest = std::min(fewest, seen.size());
        return fewest;
    }
};

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

json state(const std::string& socket) {
    Connection c(dialUnix(socket));
    return c.ask({{"op", "state"}}).value("data", json::object());
}

void fanOut(Bench& bench, int count, double seconds) {
    bench.startDaemon("0.2");
    Watchers watchers(bench.socket(), count);
    const json before = state(bench.socket());
    watchers.run(seconds);
    const json after = state(bench.socket());
    std::printf("fan-out    %3d watchers, interval 0.2 s, %.0f s: polls %ld, fewest events at a watcher %zu, "
                "polls a watcher missed %ld, polls the service missed %ld\n",
                count, seconds, after.value("polls", 0L) - before.value("polls", 0L), watchers.fewestEvents(),
                watchers.worstGaps(), after.value("pollsMissed", 0L) - before.value("pollsMissed", 0L));
    std::printf("latency    %3d watchers: poll reply to event at the watcher: median %.2f ms, p95 %.2f ms, max %.2f ms "
                "(%zu events)\n",
                count, 1000 * percentile(watchers.latencies, 0.5), 1000 * percentile(watchers.latencies, 0.95),
                1000 * percentile(watchers.latencies, 1.0), watchers.latencies.size());
    std::fflush(stdout);
}

// utime + stime in clock ticks, and VmRSS in KiB.
std::pair<long, long> usage(int pid) {
    std::istringstream stat(slurp("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    long ticks = 0;
    for (int i = 1; stat >> field && i <= 15; ++i)
        if (i == 14 || i == 15) ticks += std::stol(field);
    const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    return {ticks, at == std::string::npos ? 0 : std::stol(status.substr(at + 6))};
}

void resources(Bench& bench, double seconds) {
    bench.startDaemon("1");
    Watchers watchers(bench.socket(), 10);
    watchers.run(5);  // settled
    const auto [ticks0, rss0] = usage(bench.pid);
    const auto start = Clock::now();
    long peak = rss0;
    for (double done = 0; done < seconds; done += 10) {
        watchers.run(std::min(10.0, seconds - done));
        peak = std::max(peak, usage(bench.pid).second);
    }
    const auto [ticks1, rss1] = usage(bench.pid);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("resources  10 watchers, interval 1 s, %.0f s: CPU %.3f %% of one core, resident memory %ld KiB at "
                "the start, %ld KiB at the end, %ld KiB at most\n",
                wall, 100.0 * static_cast<double>(ticks1 - ticks0) / static_cast<double>(sysconf(_SC_CLK_TCK)) / wall,
                rss0, rss1, peak);
    std::fflush(stdout);
}

void reconnect(Bench& bench) {
    bench.startDaemon("0.2");
    for (double away : {0.2, 1.0, 3.0, 10.0}) {
        Watchers watcher(bench.socket(), 1);
        bench.simulator->signal(SIGTERM);
        bench.simulator->wait();
        watcher.run(away);
        const double back = wallSeconds();
        bench.startSimulator();
        const double linked = wallSeconds();
        watcher.run(20, true);
        if (watcher.connectedAt.empty()) throw std::runtime_error("no reconnect");
        std::printf("reconnect  device away %4.1f s: connected %.3f s after it returned (link made %.3f s after "
                    "the restart)\n",
                    away, watcher.connectedAt.front() - linked, linked - back);
        std::fflush(stdout);
    }
}

void fairness(Bench& bench, double seconds) {
    bench.startDaemon("0.2");
    Connection watcher(dialUnix(bench.socket()));
    if (watcher.ask({{"op", "watch"}}).value("ok", false) != true) throw std::runtime_error("the watcher was refused");
    std::atomic<bool> stop{false};
    std::atomic<long> changes{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < 6; ++i)
        senders.emplace_back([&, i] {
            Connection c(dialUnix(bench.socket()));
            for (int n = 0; !stop; ++n) {
                if (!c.ask({{"op", "set"}, {"torque", 30 + (n + i) % 10}}).value("ok", false)) return;
                ++changes;
            }
        });
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    long polls = 0;
    Clock::time_point last = start;
    Clock::duration longest{0};
    while (Clock::now() < end) {
        const json e = watcher.event("status", std::chrono::milliseconds(200));
        if (e.is_null()) continue;
        ++polls;
        longest = std::max(longest, Clock::now() - last);
        last = Clock::now();
    }
    stop = true;
    for (std::thread& t : senders) t.join();
    std::printf("fairness   6 clients changing back to back, interval 0.2 s, %.0f s: changes %ld, polls %ld of %.0f "
                "slots, longest between two polls %.0f ms\n",
                seconds, changes.load(), polls, seconds / 0.2,
                1000 * std::chrono::duration<double>(longest).count());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 30, resourceSeconds = 180;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--seconds") seconds = std::atof(argv[i + 1]);
        else if (option == "--resource-seconds") resourceSeconds = std::atof(argv[i + 1]);
    }
    signal(SIGPIPE, SIG_IGN);
    try {
        Bench bench;
        bench.startSimulator();
        fanOut(bench, 1, seconds);
        fanOut(bench, 100, seconds);
        fanOut(bench, 500, seconds);  // headroom
        resources(bench, resourceSeconds);
        reconnect(bench);
        fairness(bench, seconds);
    } catch (const std::exception& e) {
        std::cerr << "MoorwinchdBench: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
