#include "Notifier.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Metrics.h"

extern char** environ;

namespace moorwinchd {
namespace {

// Events not yet taken by the thread.
constexpr std::size_t maxOffered = 1024;
// A command whose output has ended is looked at this often until it has exited.
constexpr std::chrono::milliseconds reapCheck{20};

// The states of the conditions before any event: the first connect is told,
// a verdict that is ok and fresh data are not news.
const std::map<std::string, std::string> calm = {{"connection", ""}, {"verdict", "ok"}, {"stale", "fresh"}};

// At the service's stop, what a running command gets between SIGTERM and SIGKILL.
constexpr std::chrono::seconds stopGrace{2};

// The service's environment without what is its own: the event's variables
// come per run, and systemd's notification and watchdog are for the service.
bool inherited(const char* variable) {
    for (const char* own : {"MOORWINCH_", "NOTIFY_SOCKET=", "WATCHDOG_"})
        if (std::strncmp(variable, own, std::strlen(own)) == 0) return false;
    return true;
}

std::string statusText(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("was ended by signal ") + strsignal(WTERMSIG(status));
    return "ended";
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> p;
    for (std::string& t : texts) p.push_back(t.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

Notifier::Notifier(NotifierSettings s, Metrics& m)
    : settings(std::move(s)),
      delay(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings.delay))),
      timeout(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings.timeout))),
      metrics(m) {
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) throw std::runtime_error(std::string("cannot set up the event commands: ") + std::strerror(errno));
    for (char** e = environ; *e; ++e)
        if (inherited(*e)) baseEnvironment.emplace_back(*e);
    for (const auto& [condition, state] : calm) conditions[condition].told = state;
    thread = std::thread([this] { run(); });
}

Notifier::~Notifier() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
    thread.join();
    ::close(wakeFd);
}

void Notifier::offer(const StationEvent& event) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping) return;
        // Far more than the station gives between two turns of the thread.
        if (offered.size() >= maxOffered) {
            metrics.eventCommand("dropped");
            return;
        }
        offered.push_back(Offered{event, Clock::now()});
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
}

// A state equal to the one told cancels what waits; a state that needs no
// delay is told at once; a bad one waits until it has lasted the delay (a
// second bad state before then takes its place and keeps its time).
void Notifier::judge(const Offered& o) {
    const StationEvent& e = o.event;
    if (e.condition.empty()) {
        tell(e);
        return;
    }
    Condition& c = conditions[e.condition];
    if (e.state == c.told) {
        c.pending.reset();
    } else if (!e.bad || delay == Clock::duration::zero()) {
        c.pending.reset();
        c.told = e.state;
        tell(e);
    } else {
        if (!c.pending) c.due = o.at + delay;
        c.pending = e;
    }
}

void Notifier::tell(const StationEvent& e) {
    // "event" and "time" first, for people reading the line.
    nlohmann::ordered_json line = {{"event", e.data.value("event", "")}, {"time", e.data.value("time", "")}};
    for (const auto& item : e.data.items())
        if (item.key() != "event" && item.key() != "time") line[item.key()] = item.value();
    const std::string input = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    for (const EventCommand& command : settings.commands) {
        if (waiting.size() >= maxWaitingCommands) {
            metrics.eventCommand("dropped");
            if (!dropping)
                log(Level::warning, "event commands: ", maxWaitingCommands,
                    " runs are waiting already; dropping runs until they drain");
            dropping = true;
            continue;
        }
        waiting.push_back(Job{&command, e.kind, input, e.environment});
    }
}

void Notifier::start(Job job) {
    Run r;
    r.job = std::move(job);
    const std::string& name = r.job.command->argv.front();
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        log(Level::warning, "event command ", name, " for ", r.job.kind, ": cannot make a pipe: ", std::strerror(errno));
        for (int fd : {in[0], in[1], out[0], out[1]})
            if (fd >= 0) ::close(fd);
        metrics.eventCommand("failed");
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // Its own process group, so that a timeout ends what it started too; the
    // signals the service blocks or ignores are the defaults again.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argv = r.job.command->argv, environment = baseEnvironment;
    environment.insert(environment.end(), r.job.environment.begin(), r.job.environment.end());
    auto argvPointers = pointers(argv), environmentPointers = pointers(environment);
    const int error = ::posix_spawn(&r.pid, name.c_str(), &actions, &attributes, argvPointers.data(),
                                    environmentPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in[0]);
    ::close(out[1]);
    if (error != 0) {
        ::close(in[1]);
        ::close(out[0]);
        log(Level::warning, "event command ", name, " for ", r.job.kind, ": cannot start: ", std::strerror(error));
        metrics.eventCommand("failed");
        return;
    }
    r.in = in[1];
    r.out = out[0];
    ::fcntl(r.in, F_SETFL, O_NONBLOCK);
    ::fcntl(r.out, F_SETFL, O_NONBLOCK);
    r.deadline = Clock::now() + timeout;
    log(Level::debug, "event command ", name, " for ", r.job.kind, " started (pid ", r.pid, ")");
    running.push_back(std::move(r));
}

// Reads what the command wrote; complete lines go to the log until the bound,
// the rest is counted.
void Notifier::output(Run& r, bool ended) {
    char chunk[4096];
    // A command that writes without end gets its turn and no more.
    const int rounds = ended ? 256 : 16;
    for (int round = 0; round < rounds; ++round) {
        const ssize_t n = ::read(r.out, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ended = true;
            break;
        }
        r.partial.append(chunk, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = r.partial.find('\n')) != std::string::npos || r.partial.size() > maxLoggedOutput) {
            const std::size_t length = end == std::string::npos ? r.partial.size() : end;
            if (r.logged + length <= maxLoggedOutput) {
                log(Level::info, "event command ", r.job.command->argv.front(), " (", r.job.kind,
                    "): ", r.partial.substr(0, length));
                r.logged += length;
            } else {
                r.unlogged += length;
            }
            r.partial.erase(0, std::min(length + 1, r.partial.size()));
        }
    }
    if (!ended) return;
    if (!r.partial.empty()) {
        if (r.logged + r.partial.size() <= maxLoggedOutput)
            log(Level::info, "event command ", r.job.command->argv.front(), " (", r.job.kind,
                "): ", r.partial);
        else
            r.unlogged += r.partial.size();
        r.partial.clear();
    }
    ::close(r.out);
    r.out = -1;
}

void Notifier::finish(Run& r, int status) {
    const std::string& name = r.job.command->argv.front();
    if (r.unlogged)
        log(Level::info, "event command ", name, " (", r.job.kind, "): ", r.unlogged, " more bytes of output not logged");
    if (r.killed) {
        metrics.eventCommand("timeout");
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        log(Level::debug, "event command ", name, " for ", r.job.kind, " done");
        metrics.eventCommand("ok");
    } else if (r.stopped) {
        log(Level::notice, "event command ", name, " for ", r.job.kind, " ended at the stop: it ", statusText(status));
    } else {
        log(Level::warning, "event command ", name, " for ", r.job.kind, " failed: it ", statusText(status));
        metrics.eventCommand("failed");
    }
}

void Notifier::run() {
    for (;;) {
        std::vector<Offered> taken;
        bool stop;
        {
            std::lock_guard<std::mutex> lock(mutex);
            taken.swap(offered);
            stop = stopping;
        }
        auto now = Clock::now();
        if (!stop) {
            for (const Offered& o : taken) judge(o);
            for (auto& [name, c] : conditions) {
                if (c.pending && now >= c.due) {
                    c.told = c.pending->state;
                    tell(*c.pending);
                    c.pending.reset();
                }
            }
        } else {
            if (!waiting.empty()) {
                log(Level::notice, "event commands: ", waiting.size(), " runs not started: the service stops");
                waiting.clear();
            }
            // A stop does not wait out the commands' timeouts (systemd would kill the service first).
            for (Run& r : running) {
                if (r.stopped || r.killed) continue;
                ::kill(-r.pid, SIGTERM);
                r.stopped = true;
                r.deadline = std::min(r.deadline, now + stopGrace);
            }
        }
        if (stop && running.empty()) return;
        // The runs of one command go one at a time, in the order of the events.
        for (auto it = waiting.begin(); it != waiting.end() && running.size() < maxRunningCommands;) {
            const EventCommand* command = it->command;
            if (std::any_of(running.begin(), running.end(), [&](const Run& r) { return r.job.command == command; })) {
                ++it;
                continue;
            }
            Job job = std::move(*it);
            it = waiting.erase(it);
            start(std::move(job));
        }
        if (waiting.empty()) dropping = false;

        // Wait for the wake-up, the commands' pipes, the next deadline or due event.
        Clock::time_point until = Clock::time_point::max();
        for (const auto& [name, c] : conditions)
            if (c.pending && !stop) until = std::min(until, c.due);
        std::vector<pollfd> fds = {{wakeFd, POLLIN, 0}};
        for (const Run& r : running) {
            until = std::min(until, r.killed || r.out < 0 ? now + reapCheck : r.deadline);
            fds.push_back({r.in, static_cast<short>(r.in >= 0 ? POLLOUT : 0), 0});
            fds.push_back({r.out, static_cast<short>(r.out >= 0 ? POLLIN : 0), 0});
        }
        int wait = -1;
        if (until != Clock::time_point::max())
            wait = static_cast<int>(std::clamp<long long>(
                std::chrono::ceil<std::chrono::milliseconds>(until - now).count(), 0, 60000));
        if (::poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR)
            log(Level::warning, "event commands: poll: ", std::strerror(errno));
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(wakeFd, &count, sizeof count);
        }
        now = Clock::now();
        for (std::size_t i = 0; i < running.size(); ++i) {
            Run& r = running[i];
            if (r.in >= 0 && (fds[1 + 2 * i].revents & (POLLOUT | POLLERR | POLLHUP))) {
                const ssize_t n = ::write(r.in, r.job.input.data() + r.written, r.job.input.size() - r.written);
                if (n > 0) r.written += static_cast<std::size_t>(n);
                if ((n < 0 && errno != EAGAIN && errno != EINTR) || r.written == r.job.input.size()) {
                    ::close(r.in);  // the end of the input; a command that did not read it gets EPIPE, not us
                    r.in = -1;
                }
            }
            if (r.out >= 0 && (fds[2 + 2 * i].revents & (POLLIN | POLLERR | POLLHUP))) output(r, false);
            if (!r.killed && now >= r.deadline) {
                ::kill(-r.pid, SIGKILL);
                r.killed = true;
                if (r.stopped)
                    log(Level::warning, "event command ", r.job.command->argv.front(), " for ", r.job.kind,
                        " did not end within ", stopGrace.count(), " s of SIGTERM at the stop; killed");
                else
                    log(Level::warning, "event command ", r.job.command->argv.front(), " for ", r.job.kind,
                        " did not end within ", secondsText(settings.timeout), " s; killed");
            }
        }
        // A command is done when it has exited; its output is read to the end
        // first (unless it was killed: then what is there).
        for (auto it = running.begin(); it != running.end();) {
            Run& r = *it;
            int status = 0;
            if ((r.out >= 0 && !r.killed) || ::waitpid(r.pid, &status, WNOHANG) != r.pid) {
                ++it;
                continue;
            }
            if (r.out >= 0) output(r, true);
            if (r.in >= 0) ::close(r.in);
            finish(r, status);
            it = running.erase(it);
        }
    }
}

}  // namespace moorwinchd
