#include "PtyStation.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace moorwinch_sim {

PtyStation::PtyStation() {
    // A null termios would leave the slave cooked with echo on.
    termios raw;
    std::memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    char name[256] = {};
    if (openpty(&master, &slave, name, &raw, nullptr) != 0)
        throw std::system_error(errno, std::generic_category(), "openpty");
    path = name;
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        int e = errno;
        ::close(master);
        ::close(slave);
        throw std::system_error(e, std::generic_category(), "pipe2");
    }
    thread = std::thread(&PtyStation::serve, this);
}

PtyStation::~PtyStation() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    wake();
    thread.join();
    closeMaster();
    ::close(slave);
    ::close(wakePipe[0]);
    ::close(wakePipe[1]);
}

void PtyStation::setHandler(Handler h) {
    std::lock_guard<std::mutex> lock(mutex);
    handler = std::move(h);
}

void PtyStation::wake() {
    char c = 0;
    (void)!::write(wakePipe[1], &c, 1);
}

void PtyStation::closeMaster() {
    std::lock_guard<std::mutex> lock(writeMutex);
    if (master >= 0) {
        ::close(master);
        master = -1;
    }
}

void PtyStation::send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(writeMutex);
    std::size_t done = 0;
    while (master >= 0 && done < bytes.size()) {
        ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master, POLLOUT, 0};
            ::poll(&p, 1, 10);  // the host drains slowly; wait for room
            std::lock_guard<std::mutex> state(mutex);
            if (stopping) return;
        } else {
            return;  // the host side is gone
        }
    }
}

bool PtyStation::pause(std::chrono::steady_clock::duration d) {
    std::unique_lock<std::mutex> lock(mutex);
    return !changed.wait_for(lock, d, [this] { return stopping; });
}

void PtyStation::unplug() {
    if (std::this_thread::get_id() == thread.get_id()) {
        closeMaster();
        std::lock_guard<std::mutex> lock(mutex);
        unplugged = true;
        changed.notify_all();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        unplugRequested = true;
    }
    wake();
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return unplugged || stopping; });
}

bool PtyStation::isUnplugged() const {
    std::lock_guard<std::mutex> lock(mutex);
    return unplugged;
}

std::vector<std::string> PtyStation::requests() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
}

std::size_t PtyStation::requestCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lines.size();
}

std::string PtyStation::rawInput() const {
    std::lock_guard<std::mutex> lock(mutex);
    return raw;
}

bool PtyStation::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return handled >= static_cast<long>(n); });
}

void PtyStation::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex);
    // A line whose handler is still running when the record is cleared is
    // counted as handled when it finishes: it must not count as a new one.
    handled -= static_cast<long>(lines.size());
    lines.clear();
    raw.clear();
}

void PtyStation::serve() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        bool unplugNow = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) return;
            unplugNow = unplugRequested && !unplugged;
        }
        if (unplugNow) {
            closeMaster();
            std::lock_guard<std::mutex> lock(mutex);
            unplugged = true;
            changed.notify_all();
        }
        pollfd fds[2] = {{wakePipe[0], POLLIN, 0}, {master, POLLIN, 0}};
        int n = ::poll(fds, master >= 0 ? 2 : 1, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents & POLLIN) {
            while (::read(wakePipe[0], buffer, sizeof buffer) > 0) {
            }
        }
        if (master < 0 || !(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got <= 0) {
            // EIO: no slave open on the host side; the station keeps its own, so
            // this is transient. Back off briefly instead of spinning.
            if (got < 0 && errno != EAGAIN && errno != EINTR) pause(std::chrono::milliseconds(5));
            continue;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
        Handler current;
        {
            std::lock_guard<std::mutex> lock(mutex);
            raw.append(buffer, static_cast<std::size_t>(got));
            current = handler;
        }
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            {
                std::lock_guard<std::mutex> lock(mutex);
                lines.push_back(line);
            }
            if (current) current(line, *this);
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++handled;
            }
            changed.notify_all();
        }
    }
}

long PtyStation::messageId(const std::string& line) {
    static const std::string key = "\"MSG_ID\":";
    std::size_t at = line.find(key);
    if (at == std::string::npos) return -1;
    const char* start = line.c_str() + at + key.size();
    char* stop = nullptr;
    long id = std::strtol(start, &stop, 10);
    return stop == start ? -1 : id;
}

std::string PtyStation::reply(const std::string& request, const std::string& members, int status) {
    std::string out = "{\"COM\":{\"MSG_ID\":" + std::to_string(messageId(request)) +
                      ",\"COM_STATUS\":" + std::to_string(status) + "}";
    if (!members.empty()) out += "," + members;
    return out + "}\n";
}

}  // namespace moorwinch_sim
