#include "Server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "Log.h"
#include "History.h"
#include "Metrics.h"
#include "Sockets.h"
#include "Systemd.h"

namespace moorwinchd {
namespace {

constexpr std::size_t readChunk = 16 * 1024;
constexpr int readsPerWake = 8;  // then the other clients get their turn
constexpr std::chrono::seconds lingerLimit{2};
constexpr std::chrono::milliseconds lingerCheck{100};
constexpr const char* answersWaiting = "history answers of other clients still wait to be read; try again";
// epoll data of the service's own descriptors; client ids stay below it.
constexpr std::uint64_t ownTag = std::uint64_t{1} << 63;

std::string seconds(Clock::duration d) { return secondsText(std::chrono::duration<double>(d).count()) + " s"; }

void watch(int epollFd, int op, int fd, std::uint32_t events, std::uint64_t data) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = data;
    ::epoll_ctl(epollFd, op, fd, &e);
}

}  // namespace

Server::Server(Station& s, Changes& ch, History* h, Metrics& m, const Authority& a, Systemd& d, ClientLimits l)
    : station(s), changes(ch), history(h), metrics(m), authority(a), systemd(d), limits(l) {
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (epollFd < 0 || eventFd < 0 || signalFd < 0)
        throw std::runtime_error(std::string("cannot set up the event loop: ") + std::strerror(errno));
    for (int fd : {eventFd, signalFd}) watch(epollFd, EPOLL_CTL_ADD, fd, EPOLLIN, ownTag | static_cast<unsigned>(fd));
    if (history) answering = std::thread([this] { answerQuestions(); });
}

Server::~Server() {
    {
        std::lock_guard<std::mutex> lock(questionsMutex);
        questionsEnd = true;
    }
    questionWaiting.notify_all();
    if (answering.joinable()) answering.join();
    for (auto& [id, c] : clients) ::close(c->fd);
    for (int fd : {epollFd, eventFd, signalFd})
        if (fd >= 0) ::close(fd);
}

void Server::addListener(int fd, bool tcp) {
    {
        std::lock_guard<std::mutex> lock(listenersMutex);
        newListeners.emplace_back(fd, tcp);
    }
    wake();
}

void Server::adoptListeners() {
    std::vector<std::pair<int, bool>> added;
    {
        std::lock_guard<std::mutex> lock(listenersMutex);
        added.swap(newListeners);
    }
    for (const auto& [fd, tcp] : added) {
        listeners[fd] = tcp;
        watch(epollFd, EPOLL_CTL_ADD, fd, EPOLLIN, ownTag | static_cast<unsigned>(fd));
    }
}

void Server::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(eventFd, &one, sizeof one);
}

void Server::post(std::uint64_t client, std::string line, bool answer) {
    {
        std::lock_guard<std::mutex> lock(repliesMutex);
        replies.push_back(Reply{client, std::move(line), answer});
    }
    wake();
}

void Server::answerQuestions() {
    std::unique_lock<std::mutex> lock(questionsMutex);
    for (;;) {
        questionWaiting.wait(lock, [this] { return questionsEnd || !questions.empty(); });
        if (questionsEnd) return;
        auto [client, request] = std::move(questions.front());
        questions.pop_front();
        lock.unlock();
        post(client,
             bulkBytes >= maxBulkBytes
                 ? errorReply(request.id, {"Unavailable", "unavailable", answersWaiting})
                 : historyReply(request, history),
             true);
        lock.lock();
    }
}

ServerCounts Server::counts() const {
    ServerCounts c;
    c.clients = clients.size();
    for (const auto& [id, client] : clients) c.watchers += client->watching ? 1 : 0;
    c.dropped = dropped;
    return c;
}

// Pings only while the station thread is inside a library call within its
// documented bound or goes round its loop, so that systemd ends a service
// that is really stuck, and only that.
void Server::feedWatchdog(Clock::time_point now) {
    if (now < nextPing) return;
    nextPing = now + systemd.pingEvery();
    if (station.responsive(now)) {
        systemd.ping();
        stuckTold = false;
    } else if (!stuckTold) {
        stuckTold = true;
        log(Level::warning, "the station thread is stuck past the bound of its call; no watchdog ping");
    }
}

std::string Server::run() {
    const auto start = Clock::now();
    nextPing = nextBrakeTell = start;
    epoll_event ready[64];
    while (true) {
        adoptListeners();
        auto now = Clock::now();
        Clock::time_point wakeAt = station.tick(now);
        if (systemd.watchdog()) {
            feedWatchdog(now);
            wakeAt = std::min(wakeAt, nextPing);
        }
        if (now >= nextBrakeTell) nextBrakeTell = tellBraked(now);
        wakeAt = std::min(wakeAt, nextBrakeTell);
        wakeAt = std::min(wakeAt, expire(now));
        for (const auto& [id, c] : clients)
            if (c->closing) wakeAt = std::min(wakeAt, now + lingerCheck);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count();
        const int timeout = static_cast<int>(std::clamp<decltype(wait)>(wait, 0, INT_MAX));

        const int n = ::epoll_wait(epollFd, ready, 64, timeout);
        if (n < 0 && errno != EINTR) throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
        for (int i = 0; i < n; ++i) {
            const std::uint64_t tag = ready[i].data.u64;
            if (tag & ownTag) {
                const int fd = static_cast<int>(tag & ~ownTag);
                if (fd == signalFd) {
                    signalfd_siginfo info{};
                    if (::read(signalFd, &info, sizeof info) != sizeof info) continue;
                    if (info.ssi_signo == SIGHUP) {
                        // Nothing to reload: the log goes to standard error.
                        log(Level::notice, "SIGHUP ignored; stop the service with SIGTERM");
                        continue;
                    }
                    for (auto& [id, c] : clients) flush(*c);  // what fits goes out
                    for (auto& [id, c] : clients) ::close(c->fd);
                    clients.clear();
                    unixCount = tcpCount = 0;
                    metrics.clients(0);
                    return info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
                } else if (fd == eventFd) {
                    std::uint64_t count;
                    [[maybe_unused]] ssize_t r = ::read(eventFd, &count, sizeof count);
                    deliver();
                } else if (auto l = listeners.find(fd); l != listeners.end()) {
                    accept(fd, l->second);
                }
            } else if (auto it = clients.find(tag); it != clients.end()) {
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
        for (auto& [id, c] : clients)
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
        std::size_t& count = tcp ? tcpCount : unixCount;
        const std::size_t limit = tcp ? limits.tcpClients : limits.unixClients;
        const char* where = tcp ? " over TCP" : " on the Unix socket";
        if (count >= limit) {
            const std::string refusal = errorReply(
                nullptr, {"Unavailable", "tooManyClients",
                          "too many clients (at most " + std::to_string(limit) + where + "); try again later"});
            [[maybe_unused]] ssize_t n = ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            if (unbraked(Level::warning, "refused clients", tcp ? "TCP" : "the Unix socket"))
                log(Level::warning, "refused a client: already ", limit, " connected", where);
            continue;
        }
        auto c = std::make_unique<Client>();
        c->id = nextId++;
        c->fd = fd;
        c->tcp = tcp;
        c->connectedAt = c->lastHeard = Clock::now();
        if (tcp) {
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            c->author = networkAuthor("tcp", peerAddress(fd));
        } else {
            Peer peer;
            if (peerOf(fd, peer)) c->mayControl = authority.mayControl(peer);
            c->author = unixAuthor(peer);  // uid -1 when the kernel named no peer
        }
        watch(epollFd, EPOLL_CTL_ADD, fd, EPOLLIN | EPOLLRDHUP, c->id);
        log(Level::debug, "client ", c->id, " connected (", c->author.describe(), c->mayControl ? ", may change the station" : "",
            ")");
        ++count;
        clients[c->id] = std::move(c);
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
            watch(epollFd, EPOLL_CTL_MOD, c.fd, c.wantWrite ? std::uint32_t{EPOLLOUT} : 0u, c.id);
            // A watcher that closed its side still receives its stream.
            if (c.closing || (c.out.empty() && !c.watching && !c.waiting())) c.dead = true;
            return;
        }
        if (c.closing) continue;  // draining what the peer still sends before the close
        c.lastHeard = Clock::now();
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
            finish(c, errorReply(nullptr, {"BadRequest", "badRequest",
                                           "line longer than " + std::to_string(maxLineBytes) + " bytes; closing"}));
    }
}

void Server::handle(Client& c, std::string_view line) {
    Request r;
    std::string problem;
    if (!parseRequest(line, r, problem)) {
        send(c, errorReply(r.id, {"BadRequest", "badRequest", problem}));
        return;
    }
    // With a token file, TCP reaches nothing but the version before the token:
    // a local user on loopback must not get around the Unix socket's group.
    if (c.tcp && authority.hasToken() && !c.authenticated && r.op != Op::auth && r.op != Op::version) {
        send(c, errorReply(r.id, {"Forbidden", "authRequired",
                                  "this service needs the token first over TCP: {\"op\":\"auth\",\"token\":...}"}));
        return;
    }
    switch (r.op) {
        case Op::watch:
        case Op::unwatch:
            c.watching = r.op == Op::watch;
            send(c, okReply(r.id, watchData(c.watching, station.snapshot())));
            return;
        case Op::auth:
            if (!authority.hasToken()) {
                send(c, errorReply(r.id, {"Forbidden", "noToken", "no token is configured (--token-file)"}));
            } else if (authority.tokenMatches(r.token)) {
                c.authenticated = c.mayControl = true;
                send(c, okReply(r.id, {{"control", true}}));
                log(Level::info, "client ", c.id, " (", c.author.describe(), ") gave the token");
            } else if (++c.failedAuths >= maxFailedAuths) {
                if (unbraked(Level::warning, "clients closed for wrong tokens", c.author.source()))
                    log(Level::warning, "client ", c.id, " (", c.author.describe(), ") gave a wrong token ", c.failedAuths,
                        " times");
                finish(c, errorReply(r.id, {"Forbidden", "forbidden", "wrong token; closing"}));
            } else {
                send(c, errorReply(r.id, {"Forbidden", "forbidden", "wrong token"}));
            }
            return;
        case Op::set:
        case Op::setReporting:
            command(c, r);
            return;
        case Op::history:
        case Op::events:
            question(c, r);
            return;
        default:
            send(c, readReply(r, station.snapshot(), counts()));
    }
}

void Server::command(Client& c, Request& r) {
    const std::uint64_t id = c.id;
    if (auto refused = changes.submit(std::move(r), c.author, c.mayControl, "socket " + std::to_string(id),
                                      [this, id](std::string line) { post(id, std::move(line)); }))
        send(c, std::move(*refused));
    else
        c.changing = true;
}

// One question a client at a time, in a queue of all clients that is
// bounded, and none while the answers not read yet fill their budget.
void Server::question(Client& c, Request& r) {
    const char* refusal = nullptr;
    if (!history) {
        send(c, historyReply(r, nullptr));
        return;
    }
    if (c.asking) {
        send(c, errorReply(r.id, {"Busy", "busy",
                                  "a history question of this client is still being answered; send the next after "
                                  "its reply"}));
        return;
    }
    if (bulkBytes >= maxBulkBytes) refusal = answersWaiting;
    {
        std::lock_guard<std::mutex> lock(questionsMutex);
        if (!refusal && questions.size() >= maxQuestions) refusal = "too many history questions waiting; try again";
        if (!refusal) questions.emplace_back(c.id, std::move(r));
    }
    if (refusal) {
        send(c, errorReply(r.id, {"Unavailable", "unavailable", refusal}));
        return;
    }
    questionWaiting.notify_one();
    c.asking = true;
}

void Server::send(Client& c, std::shared_ptr<const std::string> line, bool bulk) {
    if (c.dead) return;
    (bulk ? c.bulkQueued : c.queued) += line->size();
    if (bulk) bulkBytes += line->size();
    c.out.push_back(Client::Out{std::move(line), bulk});
    flush(c);
    if (!c.dead && c.queued > maxQueueBytes) {
        ++dropped;
        kill(c, "not reading: more than " + std::to_string(maxQueueBytes) + " bytes waiting");
    }
}

void Server::flush(Client& c) {
    while (!c.dead && !c.out.empty()) {
        const std::string& front = *c.out.front().line;
        const bool bulk = c.out.front().bulk;
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
        (bulk ? c.bulkQueued : c.queued) -= static_cast<std::size_t>(n);
        if (bulk) bulkBytes -= static_cast<std::size_t>(n);
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
    else if (c.readClosed && !c.watching && !c.waiting()) c.dead = true;
}

void Server::watchWrites(Client& c, bool on) {
    if (c.wantWrite == on) return;
    c.wantWrite = on;
    watch(epollFd, EPOLL_CTL_MOD, c.fd,
          (c.readClosed ? 0u : std::uint32_t{EPOLLIN | EPOLLRDHUP}) | (on ? std::uint32_t{EPOLLOUT} : 0u), c.id);
}

void Server::finish(Client& c, const std::string& lastWords) {
    log(Level::info, "closing client ", c.id, " (", c.author.describe(), ")");
    c.closing = true;
    c.closeBy = Clock::now() + lingerLimit;
    c.watching = false;
    c.in.clear();
    send(c, lastWords);
}

void Server::kill(Client& c, const std::string& why, bool left) {
    if (c.dead) return;
    log(left ? Level::debug : Level::warning, left ? "client " : "dropping client ", c.id, " (", c.author.describe(), "): ", why);
    c.dead = true;
}

Clock::time_point Server::expire(Clock::time_point now) {
    Clock::time_point next = Clock::time_point::max();
    for (auto& [id, client] : clients) {
        Client& c = *client;
        if (!c.tcp || c.dead || c.closing) continue;
        if (authority.hasToken() && !c.authenticated) {
            const auto due = c.connectedAt + limits.authTimeout;
            if (now < due) next = std::min(next, due);
            else finish(c, errorReply(nullptr, {"Unavailable", "idle",
                                                "no token within " + seconds(limits.authTimeout) + "; closing"}));
        } else if (!c.watching && !c.waiting()) {
            const auto due = c.lastHeard + limits.idleTimeout;
            if (now < due) next = std::min(next, due);
            else finish(c, errorReply(nullptr, {"Unavailable", "idle",
                                                "nothing received for " + seconds(limits.idleTimeout) + "; closing"}));
        }
    }
    return next;
}

// Replies are taken before the events: a reply's status event (after a
// reporting change) was published before the reply, so it goes out first.
void Server::deliver() {
    std::vector<Reply> answered;
    {
        std::lock_guard<std::mutex> lock(repliesMutex);
        answered.swap(replies);
    }
    for (Event& e : station.take()) {
        for (auto& [id, c] : clients)
            if (c->watching) send(*c, e.line);
        if (listener) listener(e);
    }
    for (Reply& r : answered) {
        auto it = clients.find(r.client);
        if (it == clients.end()) continue;  // the client left before its answer
        Client& c = *it->second;
        (r.answer ? c.asking : c.changing) = false;
        c.lastHeard = Clock::now();  // its silence counts from the answer
        send(c, std::move(r.line), r.answer);
    }
    reap();
}

void Server::reap() {
    bool changed = false;
    for (auto it = clients.begin(); it != clients.end();) {
        Client& c = *it->second;
        if (!c.dead) {
            ++it;
            continue;
        }
        log(Level::debug, "client ", c.id, " gone");
        bulkBytes -= c.bulkQueued;
        ::epoll_ctl(epollFd, EPOLL_CTL_DEL, c.fd, nullptr);
        ::close(c.fd);
        --(c.tcp ? tcpCount : unixCount);
        it = clients.erase(it);
        changed = true;
    }
    if (changed) metrics.clients(clients.size());
    std::lock_guard<std::mutex> lock(countsMutex);
    lastCounts = counts();
}

void Server::tap(std::function<void(const Event&)> l) { listener = std::move(l); }

ServerCounts Server::sharedCounts() const {
    std::lock_guard<std::mutex> lock(countsMutex);
    return lastCounts;
}

}  // namespace moorwinchd
