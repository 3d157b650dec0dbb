#include "Sockets.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace moorwinchd {
namespace {

constexpr int backlog = 64;

std::runtime_error failure(const std::string& text) { return std::runtime_error(text + ": " + std::strerror(errno)); }

sockaddr_un unixAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path longer than " + std::to_string(sizeof address.sun_path - 1) +
                                 " bytes: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// True when a server accepts connections on the socket at path.
bool answers(const sockaddr_un& address) {
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    const bool ok = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return ok;
}

}  // namespace

int listenUnix(const std::string& path) {
    const sockaddr_un address = unixAddress(path);
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode))
            throw std::runtime_error(path + " exists and is not a socket; not touching it");
        if (answers(address)) throw std::runtime_error("another service is listening on " + path);
        if (::unlink(path.c_str()) != 0) throw failure("cannot remove the stale socket " + path);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw failure("socket");
    // The mode comes from the umask at bind; no moment with wider permissions.
    const mode_t before = ::umask(0117);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::umask(before);
    if (bound != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        throw failure("cannot bind " + path);
    }
    if (::chmod(path.c_str(), 0660) != 0 || ::listen(fd, backlog) != 0) {
        const int e = errno;
        ::close(fd);
        ::unlink(path.c_str());
        errno = e;
        throw failure("cannot listen on " + path);
    }
    return fd;
}

std::string civetwebAddress(const Endpoint& at) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (int e = ::getaddrinfo(at.host.c_str(), at.port.c_str(), &hints, &found); e != 0)
        throw std::runtime_error("cannot resolve " + at.host + ": " + gai_strerror(e));
    char host[NI_MAXHOST];
    const int e = ::getnameinfo(found->ai_addr, found->ai_addrlen, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    const bool v6 = found->ai_family == AF_INET6;
    ::freeaddrinfo(found);
    if (e != 0) throw std::runtime_error("cannot resolve " + at.host);
    return v6 ? "[" + std::string(host) + "]:" + at.port : std::string(host) + ":" + at.port;
}

void closeUnix(const std::string& path, int fd) {
    ::close(fd);
    // Not a socket that a successor already listens on.
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && !answers(unixAddress(path)))
        ::unlink(path.c_str());
}

bool addressReady(const Endpoint& at) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (int e = ::getaddrinfo(at.host.c_str(), "0", &hints, &found); e != 0) {
        if (e == EAI_AGAIN) return false;
        throw std::runtime_error("cannot resolve " + at.host + ": " + gai_strerror(e));
    }
    // Any port will do to see whether the address is there.
    bool ready = false;
    for (addrinfo* a = found; a && !ready; a = a->ai_next) {
        // A socket that cannot be made counts as ready: listenTcp says why.
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        ready = fd < 0 || ::bind(fd, a->ai_addr, a->ai_addrlen) == 0 || errno != EADDRNOTAVAIL;
        if (fd >= 0) ::close(fd);
    }
    ::freeaddrinfo(found);
    return ready;
}

std::vector<int> listenTcp(const Endpoint& at, std::vector<std::string>& bound) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (int e = ::getaddrinfo(at.host.c_str(), at.port.c_str(), &hints, &found); e != 0)
        throw std::runtime_error("cannot resolve " + at.host + ": " + gai_strerror(e));
    std::vector<int> fds;
    std::string problem;
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (a->ai_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, backlog) != 0) {
            problem = std::strerror(errno);
            ::close(fd);
            continue;
        }
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        char host[NI_MAXHOST], port[NI_MAXSERV];
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        if (::getnameinfo(reinterpret_cast<sockaddr*>(&local), length, host, sizeof host, port, sizeof port,
                          NI_NUMERICHOST | NI_NUMERICSERV) == 0)
            bound.push_back(local.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + port
                                                        : std::string(host) + ":" + port);
        fds.push_back(fd);
    }
    ::freeaddrinfo(found);
    if (fds.empty()) throw std::runtime_error("cannot listen on " + at.text() + ": " + problem);
    return fds;
}

std::string peerAddress(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, port, sizeof port,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "unknown";
    return address.ss_family == AF_INET6 ? std::string("[") + host + "]:" + port : std::string(host) + ":" + port;
}

}  // namespace moorwinchd
