// The --on-event commands. Every event a person should hear of runs each
// command once: the event as environment variables (MOORWINCH_EVENT, ...) and
// as one JSON line on its standard input, its output (bounded) to the log.
// With a delay, a disconnect, stale data or a verdict that is not ok is told
// only once it has lasted the delay, and its end once when it ends, so that a
// flapping line tells nobody anything. The commands run from a thread of their
// own, at most a few at once, each within its timeout (then its process group
// is killed); more wait in a bounded queue. Nothing here waits for a command
// on the caller's behalf: offer() only queues.
#ifndef MOORWINCHD_NOTIFIER_H
#define MOORWINCHD_NOTIFIER_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Events.h"
#include "Options.h"

namespace moorwinchd {

class Metrics;

// Commands running at once, runs waiting for a turn (more are dropped and
// counted), and bytes of a run's output that reach the log.
constexpr std::size_t maxRunningCommands = 4;
constexpr std::size_t maxWaitingCommands = 64;
constexpr std::size_t maxLoggedOutput = 4096;

struct NotifierSettings {
    std::vector<EventCommand> commands;
    double delay = 0;     // s a bad state must last before it is told
    double timeout = 10;  // s a command may run
};

class Notifier {
public:
    Notifier(NotifierSettings settings, Metrics& metrics);
    // Waiting runs and untold events are dropped; running commands get SIGTERM,
    // and SIGKILL 2 s later (or at their timeout, when sooner).
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // From any thread; never blocks.
    void offer(const StationEvent& event);

private:
    using Clock = std::chrono::steady_clock;
    struct Offered {
        StationEvent event;
        Clock::time_point at;
    };
    // A condition's state as last told, and the bad state waiting to be told.
    struct Condition {
        std::string told;
        std::optional<StationEvent> pending;
        Clock::time_point due;
    };
    struct Job {
        const EventCommand* command;
        std::string kind;
        std::string input;  // the JSON line
        std::vector<std::string> environment;
    };
    struct Run {
        Job job;
        pid_t pid = -1;
        int in = -1, out = -1;
        std::size_t written = 0;
        std::string partial;  // output after the last line feed
        std::size_t logged = 0, unlogged = 0;
        Clock::time_point deadline;
        bool stopped = false;  // sent SIGTERM at the service's stop
        bool killed = false;
    };

    void run();
    void judge(const Offered& offered);
    void tell(const StationEvent& event);
    void start(Job job);
    void output(Run& run, bool ended);
    void finish(Run& run, int status);

    const NotifierSettings settings;
    const Clock::duration delay, timeout;
    Metrics& metrics;
    int wakeFd = -1;

    std::mutex mutex;
    std::vector<Offered> offered;
    bool stopping = false;

    // The thread's own.
    std::map<std::string, Condition> conditions;
    std::deque<Job> waiting;
    std::vector<Run> running;
    bool dropping = false;
    std::vector<std::string> baseEnvironment;  // the service's, without MOORWINCH_*

    std::thread thread;
};

}  // namespace moorwinchd

#endif
