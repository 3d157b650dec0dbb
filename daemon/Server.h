// The socket side: one thread with epoll over the listeners, the clients, the
// station's events (an eventfd) and the signals (a signalfd). It never
// blocks: replies and events go into a bounded queue per client, and a client
// whose queue passes the bound is dropped, so a slow reader cannot hold up the
// station or the other clients. History questions are answered on a thread
// of their own, one at a time; their answers (up to a hundred thousand rows)
// are bounded by a budget of all clients together rather than per client.
// The same loop feeds systemd's watchdog, gives watchers the gaps of polls a
// long library call holds up, closes TCP clients that do not authenticate or
// stay silent, and writes the counts of braked log lines.
#ifndef MOORWINCHD_SERVER_H
#define MOORWINCHD_SERVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Auth.h"
#include "Changes.h"
#include "Replies.h"
#include "Station.h"

namespace moorwinchd {

class Metrics;
class Systemd;

// Bytes waiting for one client beyond what its socket buffer holds; about 170
// status events.
constexpr std::size_t maxQueueBytes = 256 * 1024;
// Bytes of history answers waiting in the clients' queues, all together;
// beyond it a new question is refused as Unavailable until they are read.
constexpr std::size_t maxBulkBytes = 256 * 1024 * 1024;
// History questions waiting for their thread, of all clients together.
constexpr std::size_t maxQuestions = 16;
// Wrong tokens one connection may give before it is closed.
constexpr int maxFailedAuths = 3;

struct ClientLimits {
    std::size_t unixClients = 64, tcpClients = 16;
    // TCP only: the time to give the token (when there is a token file), and
    // the silence allowed to a client that neither watches nor waits for a change.
    Clock::duration authTimeout = std::chrono::seconds(10), idleTimeout = std::chrono::seconds(60);
};

class Server {
public:
    // history may be null (no --history).
    Server(Station& station, Changes& changes, History* history, Metrics& metrics, const Authority& authority,
           Systemd& systemd, ClientLimits limits);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // From any thread; served from the loop's next turn.
    void addListener(int fd, bool tcp);
    // Serves until SIGTERM or SIGINT arrives (both, and SIGHUP, must be blocked
    // in every thread); then closes every client. Returns the signal's name.
    std::string run();
    // Called from the station thread when it has events.
    void wake();
    // A reply for a client, from any thread (answer: to a history question,
    // else to a change); dropped when the client has left.
    void post(std::uint64_t client, std::string line, bool answer = false);
    // Every station event also goes to the listener (the HTTP streams), on the server's thread.
    void tap(std::function<void(const Event&)> listener);
    // The counts as of the loop's last turn, for other threads.
    ServerCounts sharedCounts() const;

private:
    struct Client {
        std::uint64_t id = 0;
        int fd = -1;
        bool tcp = false;
        Author author;
        bool mayControl = false;
        bool authenticated = false;  // gave the token
        int failedAuths = 0;
        bool watching = false;
        bool changing = false;    // a change waits for the station
        bool asking = false;      // a history question waits for its answer
        bool readClosed = false;  // the peer ended its side
        bool closing = false;     // say the last words, then close
        Clock::time_point closeBy;
        Clock::time_point connectedAt, lastHeard;
        bool dead = false;
        bool wantWrite = false;
        std::string in;
        std::size_t scanned = 0;  // bytes of in already searched for a line feed
        struct Out {
            std::shared_ptr<const std::string> line;
            bool bulk;  // a history answer: counted in the budget of all, not in queued
        };
        std::deque<Out> out;
        std::size_t offset = 0;  // into out.front()
        std::size_t queued = 0, bulkQueued = 0;
        bool waiting() const { return changing || asking; }
    };
    struct Reply {
        std::uint64_t client;
        std::string line;
        bool answer;
    };

    void accept(int listener, bool tcp);
    void readFrom(Client& c);
    void handle(Client& c, std::string_view line);
    void command(Client& c, Request& request);
    void question(Client& c, Request& request);
    void answerQuestions();
    void send(Client& c, std::shared_ptr<const std::string> line, bool bulk = false);
    void send(Client& c, std::string line, bool bulk = false) {
        send(c, std::make_shared<const std::string>(std::move(line)), bulk);
    }
    void flush(Client& c);
    void finish(Client& c, const std::string& lastWords);
    // left: the peer went away by itself, which is no news.
    void kill(Client& c, const std::string& why, bool left = false);
    void watchWrites(Client& c, bool on);
    void deliver();
    // Closes TCP clients past their time; returns when the next one is due.
    Clock::time_point expire(Clock::time_point now);
    void feedWatchdog(Clock::time_point now);
    void adoptListeners();
    void reap();
    ServerCounts counts() const;

    Station& station;
    Changes& changes;
    History* const history;
    Metrics& metrics;
    const Authority& authority;
    Systemd& systemd;
    const ClientLimits limits;
    int epollFd = -1, eventFd = -1, signalFd = -1;
    std::map<int, bool> listeners;  // fd, is TCP
    std::mutex listenersMutex;
    std::vector<std::pair<int, bool>> newListeners;  // added, not yet watched
    // Clients by id; epoll's data carries the id, never the descriptor, which
    // the system may give to a new client while events of the old one wait.
    std::map<std::uint64_t, std::unique_ptr<Client>> clients;
    std::size_t unixCount = 0, tcpCount = 0;
    std::uint64_t nextId = 1;
    std::uint64_t dropped = 0;
    Clock::time_point nextPing, nextBrakeTell;
    bool stuckTold = false;
    // Replies posted by other threads, taken by deliver().
    std::mutex repliesMutex;
    std::vector<Reply> replies;
    std::function<void(const Event&)> listener;
    mutable std::mutex countsMutex;
    ServerCounts lastCounts;
    // Of all clients' history answers not sent yet; the answering thread looks
    // at it too, so that at most one answer goes beyond the budget.
    std::atomic<std::size_t> bulkBytes{0};
    // History questions, for their thread.
    std::mutex questionsMutex;
    std::condition_variable questionWaiting;
    std::deque<std::pair<std::uint64_t, Request>> questions;
    bool questionsEnd = false;
    std::thread answering;
};

}  // namespace moorwinchd

#endif
