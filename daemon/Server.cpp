#include "Server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Log.h"
#include "Metrics.h"
#include "Systemd.h"

namespace moorwinchd {
namespace {

constexpr std::size_t readChunk = 16 * 1024;
constexpr int readsPerWake = 8;  // then the other clients get their turn
constexpr std::chrono::seconds lingerLimit{2};

std::string tcpPeerName(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, port, sizeof port,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "tcp";
    return std::string("tcp ") + host + ":" + port;
}

}  // namespace

Server::Server(Station& s, Metrics& m, const Authority& a, Systemd& d, std::size_t limit)
    : station(s), metrics(m), authority(a), systemd(d), maxClients(limit) {
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    signalFd = ::signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
    if (epollFd < 0 || eventFd < 0 || signalFd < 0)
        throw std::runtime_error(std::string("cannot set up the event loop: ") + std::strerror(errno));
    for (int fd : {eventFd, signalFd}) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = fd;
        ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &e);
    }
}

Server::~Server() {
    for (auto& [fd, c] : clients) ::close(fd);
    for (int fd : {epollFd, eventFd, signalFd})
        if (fd >= 0) ::close(fd);
}

void Server::addListener(int fd, bool tcp) {
    listeners[fd] = tcp;
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = fd;
    ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &e);
}

void Server::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(eventFd, &one, sizeof one);
}

ServerCounts Server::counts() const {
    ServerCounts c;
    c.clients = clients.size();
    for (const auto& [fd, client] : clients) c.watchers += client->watching ? 1 : 0;
    c.dropped = dropped;
    return c;
}

std::string Server::run() {
    auto nextPing = Clock::now();
    epoll_event ready[64];
    while (true) {
        int timeout = -1;
        auto now = Clock::now();
        if (systemd.watchdog()) {
            if (now >= nextPing) {
                // Only while the station thread still goes round its loop.
                if (now - station.heartbeat() < 2 * systemd.pingEvery()) systemd.ping();
                else log(Level::warning, "the station thread is stuck; no watchdog ping");
                nextPing = now + systemd.pingEvery();
            }
            timeout = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(nextPing - now).count());
        }
        for (const auto& [fd, c] : clients)
            if (c->closing) timeout = timeout < 0 || timeout > 100 ? 100 : timeout;

        const int n = ::epoll_wait(epollFd, ready, 64, timeout);
        if (n < 0 && errno != EINTR) throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
        for (int i = 0; i < n; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == signalFd) {
                signalfd_siginfo info{};
                if (::read(signalFd, &info, sizeof info) == sizeof info) {
                    const std::string name = info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
                    for (auto& [cfd, c] : clients) flush(*c);  // what fits goes out
                    for (auto& [cfd, c] : clients) ::close(cfd);
                    clients.clear();
                    fdOf.clear();
                    metrics.clients(0);
                    return name;
                }
            } else if (fd == eventFd) {
                std::uint64_t count;
                [[maybe_unused]] ssize_t r = ::read(eventFd, &count, sizeof count);
                deliver();
            } else if (auto l = listeners.find(fd); l != listeners.end()) {
                accept(fd, l->second);
            } else if (auto it = clients.find(fd); it != clients.end()) {
                Client& c = *it->second;
                const std::uint32_t events = ready[i].events;
                if (events & EPOLLOUT) flush(c);
                if (!c.dead && (events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP))) readFrom(c);
                // Both directions gone: nothing more can be said, and the
                // hang-up would be reported again at every wait.
                if (!c.dead && (events & (EPOLLHUP | EPOLLERR))) kill(c, "hung up", true);
            }
        }
        now = Clock::now();
        for (auto& [fd, c] : clients)
            if (c->closing && now >= c->closeBy) c->dead = true;
        reap();
    }
}

void Server::accept(int listener, bool tcp) {
    for (int round = 0; round < 64; ++round) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                log(Level::warning, "accept: ", std::strerror(errno));
            return;
        }
        if (clients.size() >= maxClients) {
            const std::string refusal = errorReply(nullptr, "Unavailable", "too many clients (at most " +
                                                                               std::to_string(maxClients) +
                                                                               "); try again later");
            [[maybe_unused]] ssize_t n = ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            log(Level::warning, "refused a client: already ", maxClients, " connected");
            continue;
        }
        auto c = std::make_unique<Client>();
        c->id = nextId++;
        c->fd = fd;
        c->tcp = tcp;
        if (tcp) {
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            c->name = tcpPeerName(fd);
        } else {
            Peer peer;
            if (peerOf(fd, peer)) {
                c->mayControl = authority.mayControl(peer);
                c->name = "uid " + std::to_string(peer.uid) + " pid " + std::to_string(peer.pid);
            } else {
                c->name = "unix peer";
            }
        }
        epoll_event e{};
        e.events = EPOLLIN | EPOLLRDHUP;
        e.data.fd = fd;
        ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &e);
        log(Level::debug, "client ", c->id, " connected (", c->name, c->mayControl ? ", may change the station" : "",
            ")");
        fdOf[c->id] = fd;
        clients[fd] = std::move(c);
        metrics.clients(clients.size());
    }
}

void Server::readFrom(Client& c) {
    char buffer[readChunk];
    for (int round = 0; round < readsPerWake && !c.dead && !c.readClosed; ++round) {
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) kill(c, std::strerror(errno), errno == ECONNRESET);
            return;
        }
        if (n == 0) {
            c.readClosed = true;
            epoll_event e{};
            e.events = c.wantWrite ? std::uint32_t{EPOLLOUT} : 0u;
            e.data.fd = c.fd;
            ::epoll_ctl(epollFd, EPOLL_CTL_MOD, c.fd, &e);
            // A watcher that closed its side still receives its stream.
            if (c.closing || (c.out.empty() && !c.watching && c.awaiting == 0)) c.dead = true;
            return;
        }
        if (c.closing) continue;  // draining what the peer still sends before the close
        c.in.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0;
        while (!c.dead && !c.closing) {
            const std::size_t end = c.in.find('\n', std::max(start, c.scanned));
            if (end == std::string::npos) break;
            std::string_view line(c.in.data() + start, end - start);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (line.size() > maxLineBytes) break;
            if (!line.empty()) handle(c, line);
            start = end + 1;
        }
        c.in.erase(0, start);
        c.scanned = c.in.size();
        if (!c.closing && c.in.size() > maxLineBytes)
            finish(c, errorReply(nullptr, "BadRequest",
                                 "line longer than " + std::to_string(maxLineBytes) + " bytes; closing"));
    }
}

void Server::handle(Client& c, std::string_view line) {
    Request r;
    std::string problem;
    if (!parseRequest(line, r, problem)) {
        send(c, errorReply(r.id, "BadRequest", problem));
        return;
    }
    switch (r.op) {
        case Op::watch:
        case Op::unwatch:
            c.watching = r.op == Op::watch;
            send(c, okReply(r.id, {{"watching", c.watching},
                                   {"state", station.snapshot().connected ? "connected" : "disconnected"}}));
            return;
        case Op::auth:
            if (!authority.hasToken()) {
                send(c, errorReply(r.id, "Forbidden", "no token is configured (--token-file)"));
            } else if (authority.tokenMatches(r.token)) {
                c.mayControl = true;
                send(c, okReply(r.id, {{"control", true}}));
                log(Level::info, "client ", c.id, " (", c.name, ") gave the token");
            } else if (++c.failedAuths >= maxFailedAuths) {
                log(Level::warning, "client ", c.id, " (", c.name, ") gave a wrong token ", c.failedAuths, " times");
                finish(c, errorReply(r.id, "Forbidden", "wrong token; closing"));
            } else {
                send(c, errorReply(r.id, "Forbidden", "wrong token"));
            }
            return;
        case Op::set:
        case Op::setReporting:
            command(c, r);
            return;
        default:
            send(c, readReply(r, station.snapshot(), counts()));
    }
}

void Server::command(Client& c, Request& r) {
    if (!c.mayControl) {
        log(Level::info, "refused a change from client ", c.id, " (", c.name, ")");
        send(c, errorReply(r.id, "Forbidden",
                           c.tcp ? "changing the station over TCP needs {\"op\":\"auth\",\"token\":...} first"
                                 : "this user may not change the station (root, the service's user and the "
                                   "control group may)"));
        return;
    }
    if (std::optional<std::string> why = Station::valueRefusal(r)) {
        send(c, errorReply(r.id, "ValueException", *why));
        return;
    }
    const json id = r.id;
    if (station.submit(Command{c.id, std::move(r)})) ++c.awaiting;
    else send(c, errorReply(id, "Unavailable", "too many commands waiting for the station; try again"));
}

void Server::send(Client& c, std::shared_ptr<const std::string> line) {
    if (c.dead) return;
    c.queued += line->size();
    c.out.push_back(std::move(line));
    flush(c);
    if (!c.dead && c.queued > maxQueueBytes) {
        ++dropped;
        kill(c, "not reading: more than " + std::to_string(maxQueueBytes) + " bytes waiting");
    }
}

void Server::flush(Client& c) {
    while (!c.dead && !c.out.empty()) {
        const std::string& front = *c.out.front();
        const ssize_t n = ::send(c.fd, front.data() + c.offset, front.size() - c.offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                watchWrites(c, true);
                return;
            }
            kill(c, std::strerror(errno), errno == EPIPE || errno == ECONNRESET);
            return;
        }
        c.offset += static_cast<std::size_t>(n);
        c.queued -= static_cast<std::size_t>(n);
        if (c.offset == front.size()) {
            c.out.pop_front();
            c.offset = 0;
        }
    }
    if (c.dead) return;
    watchWrites(c, false);
    // Closing: the peer gets an end of stream now and its remaining bytes are
    // read until it closes, so that it sees the last words rather than a reset.
    if (c.closing) ::shutdown(c.fd, SHUT_WR);
    else if (c.readClosed && !c.watching && c.awaiting == 0) c.dead = true;
}

void Server::watchWrites(Client& c, bool on) {
    if (c.wantWrite == on) return;
    c.wantWrite = on;
    epoll_event e{};
    e.events = (c.readClosed ? 0u : std::uint32_t{EPOLLIN | EPOLLRDHUP}) | (on ? std::uint32_t{EPOLLOUT} : 0u);
    e.data.fd = c.fd;
    ::epoll_ctl(epollFd, EPOLL_CTL_MOD, c.fd, &e);
}

void Server::finish(Client& c, const std::string& lastWords) {
    log(Level::info, "closing client ", c.id, " (", c.name, ")");
    c.closing = true;
    c.closeBy = Clock::now() + lingerLimit;
    c.watching = false;
    c.in.clear();
    send(c, lastWords);
}

void Server::kill(Client& c, const std::string& why, bool left) {
    if (c.dead) return;
    log(left ? Level::debug : Level::warning, left ? "client " : "dropping client ", c.id, " (", c.name, "): ", why);
    c.dead = true;
}

void Server::deliver() {
    for (Event& e : station.take()) {
        if (e.kind == Event::reply) {
            auto id = fdOf.find(e.client);
            if (id == fdOf.end()) continue;  // the client left before its answer
            Client& c = *clients.at(id->second);
            --c.awaiting;
            send(c, e.line);
            continue;
        }
        for (auto& [fd, c] : clients)
            if (c->watching) send(*c, e.line);
    }
    reap();
}

void Server::reap() {
    bool changed = false;
    for (auto it = clients.begin(); it != clients.end();) {
        if (!it->second->dead) {
            ++it;
            continue;
        }
        log(Level::debug, "client ", it->second->id, " gone");
        fdOf.erase(it->second->id);
        ::epoll_ctl(epollFd, EPOLL_CTL_DEL, it->first, nullptr);
        ::close(it->first);
        it = clients.erase(it);
        changed = true;
    }
    if (changed) metrics.clients(clients.size());
}

}  // namespace moorwinchd
