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
//   history    the poll loop at 0.05 s without and with --history: polls, slots
//              the service missed, gaps a watcher saw, the time between two
//              status lines (median, p99, max), CPU share; then the run's
//              polls asked back through the service, as rows and in 1000 buckets
// Usage: MoorwinchdBench [--seconds S] [--resource-seconds S] [--only SECTION]
//   --seconds S            length of each fan-out, latency and history run (default 30)
//   --resource-seconds S   length of the resource run (default 180)
//   --only SECTION         run one section: fan-out, resources, reconnect, fairness, history
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
    void startDaemon(const std::string& interval, const std::vector<std::string>& extra = {}) {
        daemon.reset();
        std::filesystem::remove(dir + "/daemon.log");
        std::vector<std::string> args = {MOORWINCHD_PATH, "--port",     link(),   "--socket",      socket(),
                                         "--foreground",  "--interval", interval, "--max-clients", "1000"};
        args.insert(args.end(), extra.begin(), extra.end());
        daemon = std::make_unique<Process>(args, dir + "/daemon.log");
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

// One answer through the service: its time and size.
std::pair<double, std::size_t> timed(const std::string& socket, const json& request, std::size_t& items) {
    Connection c(dialUnix(socket));
    const auto start = Clock::now();
    c.send(request.dump() + "\n");
    const std::string line = c.line(std::chrono::seconds(120));
    const double ms = 1000 * std::chrono::duration<double>(Clock::now() - start).count();
    const json reply = json::parse(line, nullptr, false);
    items = 0;
    if (reply.is_object() && reply.value("ok", false))
        for (const auto& list : reply["data"]) items = list.size();
    else
        std::cerr << "MoorwinchdBench: " << line.substr(0, 300) << "\n";
    return {ms, line.size()};
}

void history(Bench& bench, double seconds) {
    const std::string file = bench.dir + "/history.db";
    double from = 0;
    for (bool recording : {false, true}) {
        bench.startDaemon("0.05", recording ? std::vector<std::string>{"--history", file} : std::vector<std::string>{});
        Connection watcher(dialUnix(bench.socket()));
        if (watcher.ask({{"op", "watch"}}).value("ok", false) != true) throw std::runtime_error("the watcher was refused");
        const json before = state(bench.socket());
        const long ticks0 = usage(bench.pid).first;
        from = wallSeconds();
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        long gaps = 0;
        std::vector<double> between;
        Clock::time_point last{};
        while (Clock::now() < end) {
            const json e = watcher.next(std::chrono::milliseconds(200));
            if (e.value("event", "") == "gap") ++gaps;
            if (e.value("event", "") != "status") continue;
            const auto now = Clock::now();
            if (last != Clock::time_point{}) between.push_back(1000 * std::chrono::duration<double>(now - last).count());
            last = now;
        }
        const auto [ticks1, rss1] = usage(bench.pid);
        const json after = state(bench.socket());
        std::printf("history    poll loop at 0.05 s %s, %.0f s: polls %ld, slots the service missed %ld, gaps at a "
                    "watcher %ld, between two status lines median %.1f ms, p99 %.1f ms, max %.1f ms, CPU %.2f %% of one "
                    "core, resident memory %ld KiB\n",
                    recording ? "with --history   " : "without --history", seconds,
                    after.value("polls", 0L) - before.value("polls", 0L),
                    after.value("pollsMissed", 0L) - before.value("pollsMissed", 0L), gaps, percentile(between, 0.5),
                    percentile(between, 0.99), percentile(between, 1.0),
                    100.0 * static_cast<double>(ticks1 - ticks0) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds,
                    rss1);
        std::fflush(stdout);
    }
    std::size_t items;
    const double until = wallSeconds();
    auto [ms, bytes] = timed(bench.socket(), {{"op", "history"}, {"since", from}, {"until", until}}, items);
    std::printf("history    the run asked back: %zu rows of every field in %.0f ms, %.1f MB (%.0f bytes a row)\n", items,
                ms, static_cast<double>(bytes) / 1e6, items ? static_cast<double>(bytes) / static_cast<double>(items) : 0.0);
    std::tie(ms, bytes) = timed(
        bench.socket(), {{"op", "history"}, {"since", from}, {"until", until}, {"step", (until - from) / 1000}}, items);
    std::printf("history    the run asked back in buckets: %zu buckets of every field in %.0f ms, %.1f MB\n", items, ms,
                static_cast<double>(bytes) / 1e6);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 30, resourceSeconds = 180;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--seconds") seconds = std::atof(argv[i + 1]);
        else if (option == "--resource-seconds") resourceSeconds = std::atof(argv[i + 1]);
        else if (option == "--only") only = argv[i + 1];
    }
    const auto run = [&only](const char* section) { return only.empty() || only == section; };
    signal(SIGPIPE, SIG_IGN);
    try {
        Bench bench;
        bench.startSimulator();
        if (run("fan-out")) {
            fanOut(bench, 1, seconds);
            fanOut(bench, 100, seconds);
            fanOut(bench, 500, seconds);  // headroom
        }
        if (run("resources")) resources(bench, resourceSeconds);
        if (run("reconnect")) reconnect(bench);
        if (run("fairness")) fairness(bench, seconds);
        if (run("history")) history(bench, seconds);
    } catch (const std::exception& e) {
        std::cerr << "MoorwinchdBench: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
