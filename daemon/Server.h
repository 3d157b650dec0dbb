// The socket side: one thread with epoll over the listeners, the clients, the
// station's events (an eventfd) and the stop signals (a signalfd). It never
// blocks: replies and events go into a bounded queue per client, and a client
// whose queue passes the bound is dropped, so a slow reader cannot hold up the
// station or the other clients.
#ifndef MOORWINCHD_SERVER_H
#define MOORWINCHD_SERVER_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Auth.h"
#include "Replies.h"
#include "Station.h"

namespace moorwinchd {

class Metrics;
class Systemd;

// Bytes waiting for one client beyond what its socket buffer holds; about 170
// status events.
constexpr std::size_t maxQueueBytes = 256 * 1024;
// Wrong tokens one connection may give before it is closed.
constexpr int maxFailedAuths = 3;

class Server {
public:
    Server(Station& station, Metrics& metrics, const Authority& authority, Systemd& systemd, std::size_t maxClients);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void addListener(int fd, bool tcp);
    // Serves until SIGTERM or SIGINT arrives (both must be blocked in every
    // thread); then closes every client. Returns the signal's name.
    std::string run();
    // Called from the station thread when it has events.
    void wake();

private:
    struct Client {
        std::uint64_t id = 0;
        int fd = -1;
        bool tcp = false;
        std::string name;  // for the log
        bool mayControl = false;
        int failedAuths = 0;
        bool watching = false;
        bool readClosed = false;  // the peer ended its side
        bool closing = false;     // say the last words, then close
        Clock::time_point closeBy;
        bool dead = false;
        bool wantWrite = false;
        int awaiting = 0;  // commands whose reply is still to come
        std::string in;
        std::size_t scanned = 0;  // bytes of in already searched for a line feed
        std::deque<std::shared_ptr<const std::string>> out;
        std::size_t offset = 0;  // into out.front()
        std::size_t queued = 0;
    };

    void accept(int listener, bool tcp);
    void readFrom(Client& c);
    void handle(Client& c, std::string_view line);
    void command(Client& c, Request& request);
    void send(Client& c, std::shared_ptr<const std::string> line);
    void send(Client& c, std::string line) { send(c, std::make_shared<const std::string>(std::move(line))); }
    void flush(Client& c);
    void finish(Client& c, const std::string& lastWords);
    // left: the peer went away by itself, which is no news.
    void kill(Client& c, const std::string& why, bool left = false);
    void watchWrites(Client& c, bool on);
    void deliver();
    void reap();
    ServerCounts counts() const;

    Station& station;
    Metrics& metrics;
    const Authority& authority;
    Systemd& systemd;
    const std::size_t maxClients;
    int epollFd = -1, eventFd = -1, signalFd = -1;
    std::map<int, bool> listeners;  // fd, is TCP
    std::map<int, std::unique_ptr<Client>> clients;
    std::map<std::uint64_t, int> fdOf;
    std::uint64_t nextId = 1;
    std::uint64_t dropped = 0;
};

}  // namespace moorwinchd

#endif
