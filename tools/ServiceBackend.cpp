#include "ServiceBackend.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "LibraryBackend.h"
#include "MoorwinchJson.h"
#include "Output.h"

namespace moorwinch_tool {
namespace {

using KORVANE::MoorwinchJson::fromJson;
using KORVANE::MoorwinchJson::toJson;

constexpr std::size_t maxLineBytes = 1024 * 1024;

bool isSocket(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Digits, or HOST:PORT, or [V6]:PORT; everything else names a socket.
bool tcpAddress(const std::string& text, std::string& host, std::string& port) {
    if (text.find('/') != std::string::npos) return false;
    const std::size_t colon = text.rfind(':');
    host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) host = "127.0.0.1";
    return !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
}

int dial(const std::string& address) {
    std::string host, port;
    if (tcpAddress(address, host, port)) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* found = nullptr;
        if (int e = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); e != 0)
            throw std::runtime_error("cannot resolve " + host + ": " + gai_strerror(e));
        int fd = -1, error = 0;
        for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
            fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
            if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
                error = errno;
                ::close(fd);
                fd = -1;
            }
        }
        ::freeaddrinfo(found);
        if (fd < 0) throw std::runtime_error("cannot reach moorwinchd at " + address + ": " + std::strerror(error));
        return fd;
    }
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    if (address.size() >= sizeof un.sun_path) throw std::runtime_error("socket path too long: " + address);
    std::memcpy(un.sun_path, address.c_str(), address.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&un), sizeof un) != 0) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("cannot reach moorwinchd at " + address + ": " + std::strerror(error));
    }
    return fd;
}

// The library's exceptions add their prefix again.
std::string withoutPrefix(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0 ? text.substr(std::strlen(prefix)) : text;
}

[[noreturn]] void raise(const nlohmann::json& error) {
    const std::string type = error.value("type", "");
    const std::string message = error.value("message", "");
    if (type == "IOException") throw KORVANE::IOException(withoutPrefix(message, "IO Exception: ").c_str());
    if (type == "DataException") throw KORVANE::DataException(withoutPrefix(message, "Data Exception: ").c_str());
    if (type == "ValueException") throw KORVANE::ValueException(withoutPrefix(message, "Value Exception: ").c_str());
    throw std::runtime_error("moorwinchd: " + type + ": " + message);
}


std::chrono::system_clock::time_point timeOf(const nlohmann::json& event) {
    const double seconds = event.value("time", 0.0);
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(seconds)));
}

}  // namespace

std::string defaultServiceSocket() {
    const std::string system = "/run/moorwinch/moorwinchd.sock";
    const char* user = std::getenv("XDG_RUNTIME_DIR");
    if (!isSocket(system) && user && *user && isSocket(std::string(user) + "/moorwinchd.sock"))
        return std::string(user) + "/moorwinchd.sock";
    return system;
}

ServiceBackend::ServiceBackend(std::string where, std::string token, unsigned int waitMs, std::ostream* traceTo)
    : address(where.empty() ? defaultServiceSocket() : std::move(where)),
      tokenFile(std::move(token)),
      replyWaitMs(waitMs),
      trace(traceTo) {}

ServiceBackend::~ServiceBackend() { close(); }

void ServiceBackend::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    buffer.clear();
    events.clear();
}

// The tool's own library, as in the library backend: the service is asked nothing.
VersionInfo ServiceBackend::version() { return LibraryBackend("", replyWaitMs, nullptr).version(); }
std::vector<PortEntry> ServiceBackend::ports() { return LibraryBackend("", replyWaitMs, nullptr).ports(); }

void ServiceBackend::connect() {
    if (fd >= 0) return;
    fd = dial(address);
    if (tokenFile.empty()) return;
    std::ifstream in(tokenFile);
    std::string token;
    if (!in || !std::getline(in, token)) throw std::runtime_error("cannot read the token file " + tokenFile);
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ' || token.back() == '\t')) token.pop_back();
    ask({{"op", "auth"}, {"token", token}});
}

void ServiceBackend::reconnect() {
    close();
    connect();
}

void ServiceBackend::send(const std::string& text) {
    if (trace) *trace << traceLine(true, text, std::chrono::system_clock::now()) << std::flush;
    const std::string out = text + "\n";
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::send(fd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("moorwinchd closed the connection (" + address + ")");
        done += static_cast<std::size_t>(n);
    }
}

std::string ServiceBackend::line(int waitMs, int stopFd, bool* stopped) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    std::size_t end;
    while ((end = buffer.find('\n')) == std::string::npos) {
        if (buffer.size() > maxLineBytes) throw std::runtime_error("moorwinchd sent a line too long to be a reply");
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (waitMs >= 0 && left.count() <= 0) return "";
        pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int n = ::poll(p, stopFd >= 0 ? 2 : 1, waitMs >= 0 ? static_cast<int>(left.count()) : -1);
        if (n < 0 && errno == EINTR) continue;
        if (stopFd >= 0 && (p[1].revents & POLLIN)) {
            *stopped = true;
            return "";
        }
        if (n <= 0) continue;
        char chunk[16384];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return "";
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
    std::string text = buffer.substr(0, end);
    buffer.erase(0, end + 1);
    if (trace) *trace << traceLine(false, text, std::chrono::system_clock::now()) << std::flush;
    return text;
}

nlohmann::json ServiceBackend::ask(nlohmann::json request) {
    connect();
    const std::uint64_t id = nextId++;
    request["id"] = id;
    send(request.dump());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(replyWaitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const std::string text = line(static_cast<int>(std::max<long long>(left.count(), 0)));
        if (text.empty()) {
            close();
            throw std::runtime_error(left.count() <= 0 ? "moorwinchd did not answer within " +
                                                             std::to_string(replyWaitMs) + " ms (" + address + ")"
                                                       : "moorwinchd closed the connection (" + address + ")");
        }
        nlohmann::json reply = nlohmann::json::parse(text, nullptr, false);
        if (!reply.is_object()) throw std::runtime_error("moorwinchd sent something that is not a JSON object");
        if (reply.contains("event")) {
            events.push_back(text);
            continue;
        }
        if (reply.value("id", nlohmann::json()) != id) continue;  // an earlier request's late reply
        if (reply.value("ok", false) == true) return reply;
        nlohmann::json error = reply.value("error", nlohmann::json::object());
        if (error.value("type", "") == "Forbidden" && tokenFile.empty() && address.find('/') == std::string::npos)
            error["message"] = error.value("message", "") + " (give --token-file)";
        raise(error);
    }
}

// A read is station data only while the service is connected to the station.
nlohmann::json ServiceBackend::read(const nlohmann::json& request, const char* what) {
    nlohmann::json reply = ask(request);
    if (reply.value("stale", false)) {
        char age[32];
        std::snprintf(age, sizeof age, "%.1f", reply.value("age", 0.0));
        throw std::runtime_error(std::string("moorwinchd: the station is disconnected; its last ") + what +
                                 " is " + age + " s old");
    }
    return reply.value("data", nlohmann::json::object());
}

void ServiceBackend::getStatus(Status& status) { fromJson(read({{"op", "status"}}, "status"), status); }
void ServiceBackend::getDetails(Details& details) { fromJson(read({{"op", "details"}}, "details"), details); }
void ServiceBackend::getConfig(Config& config) { fromJson(read({{"op", "config"}}, "configuration"), config); }
void ServiceBackend::getReporting(Reporting& reporting) {
    fromJson(read({{"op", "reporting"}}, "status"), reporting);
}

void ServiceBackend::setTorque(unsigned int percent) {
    judgeWithoutTraffic([percent](KORVANE::Moorwinch& w) { w.setCableRetractionTorque(percent); });
    ask({{"op", "set"}, {"torque", percent}});
}

void ServiceBackend::setStartLength(float metres) {
    judgeWithoutTraffic([metres](KORVANE::Moorwinch& w) { w.setCableRetractionStartLength(metres); });
    ask({{"op", "set"}, {"startLength", std::stod(shortestDecimal(metres))}});
}

void ServiceBackend::setActivation(bool on) { ask({{"op", "set"}, {"activation", on}}); }

void ServiceBackend::setReporting(const Reporting& reporting) {
    nlohmann::json flags = toJson(reporting);
    for (auto it = flags.begin(); it != flags.end();) it = it->is_null() ? flags.erase(it) : std::next(it);
    ask({{"op", "reporting"}, {"set", flags}});
}

bool ServiceBackend::subscribe() {
    return ask({{"op", "watch"}}).value("data", nlohmann::json::object()).value("state", "") == "connected";
}

ServiceBackend::Event ServiceBackend::next(int stopFd) {
    for (;;) {
        std::string text;
        if (!events.empty()) {
            text = events.front();
            events.pop_front();
        } else {
            bool stopped = false;
            text = line(-1, stopFd, &stopped);
            if (stopped) return {Event::stopped, {}, {}, {}};
            if (text.empty()) return {Event::closed, {}, {}, {}};
        }
        const nlohmann::json e = nlohmann::json::parse(text, nullptr, false);
        if (!e.is_object()) continue;
        const std::string kind = e.value("event", "");
        if (kind == "status") {
            Event event{Event::status, timeOf(e), {}, {}};
            fromJson(e.value("data", nlohmann::json::object()), event.data);
            return event;
        }
        if (kind == "state")
            return {e.value("state", "") == "connected" ? Event::connected : Event::disconnected, timeOf(e), {},
                    e.value("error", "")};
    }
}

}  // namespace moorwinch_tool
