#include "ServiceBackend.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "Failures.h"
#include "MoorwinchJson.h"
#include "MoorwinchService.h"
#include "Output.h"
#include "ServiceLines.h"
#include "Watch.h"

namespace moorwinch_tool {

using namespace serviceLines;

namespace {

using KORVANE::MoorwinchJson::fromJson;

constexpr std::size_t maxLineBytes = 1024 * 1024;
// A history answer holds up to the history's answer limit of rows, buckets or
// events: every field of 100 000 buckets is some 330 MB of JSON.
constexpr std::size_t maxAnswerLineBytes = std::size_t{512} * 1024 * 1024;
// Events kept while a reply is awaited; older ones are dropped.
constexpr std::size_t maxQueuedEvents = 1024;

bool isSocket(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

std::string oneDecimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// The library's exceptions add their prefix again.
std::string withoutPrefix(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0 ? text.substr(std::strlen(prefix)) : text;
}

std::string connectProblem(int error, bool tcp, unsigned int waitMs) {
    switch (error) {
        case EINPROGRESS:
        case EAGAIN:
        case ETIMEDOUT: return "the connection was not accepted within " + std::to_string(waitMs) + " ms";
        case ENOENT: return std::string("cannot connect: ") + std::strerror(error) + " (is moorwinchd running? is this its socket?)";
        case ECONNREFUSED:
            return std::string("cannot connect: ") + std::strerror(error) +
                   (tcp ? " (is moorwinchd running with --listen here?)" : " (is moorwinchd running?)");
        case EACCES:
        case EPERM: return std::string("cannot connect: ") + std::strerror(error) + " (is this user in the socket's group?)";
        default: return std::string("cannot connect: ") + std::strerror(error);
    }
}

// A connected socket whose connect and sends are bounded by the wait.
int dial(const ServiceAddress& address, const std::string& path, unsigned int waitMs) {
    const timeval bound{static_cast<time_t>(waitMs / 1000), static_cast<suseconds_t>(waitMs % 1000 * 1000)};
    const auto attempt = [&](int family, const sockaddr* to, socklen_t length, int& error) {
        const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            return -1;
        }
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        int result;
        while ((result = ::connect(fd, to, length)) != 0 && errno == EINTR) {
        }
        if (result == 0) return fd;
        error = errno;
        ::close(fd);
        return -1;
    };
    int error = 0;
    if (address.tcp) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* found = nullptr;
        if (const int e = ::getaddrinfo(address.tcp->host.c_str(), address.tcp->port.c_str(), &hints, &found); e != 0)
            throw ServiceError("", "unreachable", "cannot resolve " + address.tcp->host + ": " + gai_strerror(e));
        int fd = -1;
        for (addrinfo* a = found; a && fd < 0; a = a->ai_next) fd = attempt(a->ai_family, a->ai_addr, a->ai_addrlen, error);
        ::freeaddrinfo(found);
        if (fd < 0) throw ServiceError("", "unreachable", connectProblem(error, true, waitMs));
        return fd;
    }
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    if (path.size() >= sizeof un.sun_path) throw ServiceError("", "unreachable", "the socket path is too long");
    std::memcpy(un.sun_path, path.c_str(), path.size() + 1);
    const int fd = attempt(AF_UNIX, reinterpret_cast<const sockaddr*>(&un), sizeof un, error);
    if (fd < 0) throw ServiceError("", "unreachable", connectProblem(error, false, waitMs));
    return fd;
}

// The token on the first line of the file, by the rule the service reads its own.
std::string readToken(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ServiceError("", "tokenFile", "cannot read the token file " + file + ": " + std::strerror(errno));
    std::string text(KORVANE::MoorwinchService::maxTokenFileBytes + 1, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > KORVANE::MoorwinchService::maxTokenFileBytes)
        throw ServiceError("", "tokenFile",
                           "the token file " + file + " is larger than " +
                               std::to_string(KORVANE::MoorwinchService::maxTokenFileBytes) + " bytes");
    std::string token = KORVANE::MoorwinchService::tokenFromFileText(text);
    if (token.empty()) throw ServiceError("", "tokenFile", "the token file " + file + " holds no token on its first line");
    return token;
}

}  // namespace

std::string defaultServiceSocket() {
    const std::string system = "/run/moorwinch/moorwinchd.sock";
    const char* user = std::getenv("XDG_RUNTIME_DIR");
    if (!isSocket(system) && user && *user && isSocket(std::string(user) + "/moorwinchd.sock"))
        return std::string(user) + "/moorwinchd.sock";
    return system;
}

ServiceBackend::ServiceBackend(ServiceAddress at, std::string token, unsigned int replyWait, std::ostream* traceTo)
    : address(std::move(at)), tokenFile(std::move(token)), waitMs(replyWait), trace(traceTo), lineLimit(maxLineBytes) {
    if (!address.tcp && address.socket.empty()) address.socket = defaultServiceSocket();
    where = address.tcp ? address.tcp->text() : address.socket;
}

ServiceBackend::~ServiceBackend() { close(); }

void ServiceBackend::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    buffer.clear();
    scanned = 0;
    events.clear();
}

void ServiceBackend::connect() {
    if (fd >= 0) return;
    const std::string token = tokenFile.empty() ? "" : readToken(tokenFile);
    fd = dial(address, address.socket, waitMs);
    if (token.empty()) return;
    // A token the service has no use for is no failure: whatever it allows
    // without one is allowed, and a refusal later names the rule.
    try {
        ask({{"op", "auth"}, {"token", token}});
    } catch (const ServiceError& e) {
        if (e.kind() != "noToken") throw;
    }
}

bool ServiceBackend::send(const std::string& text) {
    if (trace) *trace << traceLine(true, text, std::chrono::system_clock::now()) << std::flush;
    const std::string out = text + "\n";
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::send(fd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

ServiceBackend::Arrival ServiceBackend::nextLine(std::string& text, Steady::time_point until, int stopFd) {
    if (!events.empty()) {
        text = std::move(events.front());
        events.pop_front();
        return Arrival::line;
    }
    std::size_t end;
    while ((end = buffer.find('\n', scanned)) == std::string::npos) {
        scanned = buffer.size();  // a long line is searched once, not again with every chunk
        if (buffer.size() > lineLimit) {
            closedBecause = "it sent a line longer than " + std::to_string(lineLimit) + " bytes";
            return Arrival::closed;
        }
        const int fds[2] = {fd, stopFd};
        const int ready = awaitInput(fds, stopFd >= 0 ? 2 : 1, until);
        if (ready < 0) return Arrival::time;
        if (ready == 1) return Arrival::stop;
        char chunk[65536];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) {
            closedBecause = got == 0 ? "it closed the connection" : std::strerror(errno);
            return Arrival::closed;
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
    if (end + 1 == buffer.size()) {  // the whole buffer, as a long answer is: taken, not copied
        buffer.pop_back();
        text.swap(buffer);
        buffer.clear();
    } else {
        text = buffer.substr(0, end);
        buffer.erase(0, end + 1);
    }
    scanned = 0;
    if (trace) *trace << traceLine(false, text, std::chrono::system_clock::now()) << std::flush;
    return Arrival::line;
}

json ServiceBackend::ask(json request) { return exchange(std::move(request), nullptr); }

json ServiceBackend::askItems(json request, const std::function<void(const json&)>& take) {
    return exchange(std::move(request), &take);
}

// The service's refusal lines without an id (too many clients, idle) end the
// connection and are the answer to whatever was asked. Items are taken from the
// first reply that holds an array in its data: only one request is outstanding.
json ServiceBackend::exchange(json request, const std::function<void(const json&)>* take) {
    connect();
    lineLimit = take ? maxAnswerLineBytes : maxLineBytes;
    const std::uint64_t id = nextId++;
    request["id"] = id;
    // When the service closed already, its last line is still read.
    send(request.dump(-1, ' ', false, json::error_handler_t::replace));
    const auto deadline = Steady::now() + std::chrono::milliseconds(waitMs);
    std::deque<std::string> kept;
    for (;;) {
        std::string text;
        const Arrival arrival = nextLine(text, deadline, -1);
        if (arrival != Arrival::line) {
            const std::string why = closedBecause;
            close();
            if (arrival == Arrival::time)
                throw ServiceError("", "timeout",
                                   "no reply within " + std::to_string(waitMs) +
                                       " ms (the wait for moorwinchd: 35 x --timeout + 1 s); is it stuck?");
            throw ServiceError("", "gone", "moorwinchd closed the connection (" + why + ")");
        }
        // An item is an object in an array in data: {"data":{"rows":[{...}, ...]}}.
        // It is handed over and dropped as soon as it is parsed.
        const json::parser_callback_t items = [take](int depth, json::parse_event_t event, json& parsed) {
            if (depth != 3 || event != json::parse_event_t::object_end) return true;
            (*take)(parsed);
            return false;
        };
        json reply = json::parse(text, take ? items : nullptr, false);
        if (!reply.is_object()) {
            close();
            throw ServiceError("", "badReply", "moorwinchd sent a line that is not a JSON object");
        }
        if (reply.contains("event")) {
            if (kept.size() < maxQueuedEvents) kept.push_back(std::move(text));
            continue;
        }
        const json replyId = reply.contains("id") ? reply["id"] : json();
        const bool ok = flagOf(reply, "ok");
        if (replyId.is_null() && !ok) {
            close();
            raise(objectOf(reply, "error"));
        }
        if (replyId != id) continue;  // an earlier request's late reply
        for (auto& e : kept) events.push_back(std::move(e));
        if (ok) return reply;
        raise(objectOf(reply, "error"));
    }
}

void ServiceBackend::raise(const json& error) {
    const std::string type = textOf(error, "type");
    const std::string message = shown(textOf(error, "message"));
    KORVANE::errorDetail detail;
    if (!KORVANE::errorKindFromName(textOf(error, "kind"), detail.kind)) detail.kind = KORVANE::errorKind::unknown;
    const double status = numberOf(error, "stationStatus", -1);
    detail.stationStatus = status >= 0 && status <= 65535 ? static_cast<int>(status) : -1;
    detail.stationMessage = shown(textOf(error, "stationMessage"));
    detail.field = shown(textOf(error, "field"));
    if (type == "IOException")
        throw KORVANE::IOException(withoutPrefix(message, "IO Exception: ").c_str(), detail);
    if (type == "DataException")
        throw KORVANE::DataException(withoutPrefix(message, "Data Exception: ").c_str(), detail);
    if (type == "ValueException")
        throw KORVANE::ValueException(withoutPrefix(message, "Value Exception: ").c_str(), detail);
    const bool tokenWanted = type == "Forbidden" && address.tcp && tokenFile.empty();
    throw ServiceError(type, shown(textOf(error, "kind")), message + (tokenWanted ? " (give --token-file)" : ""));
}

// Old data are no answer: the failure says how old and, where the service
// knows, why nothing newer came.
json ServiceBackend::read(const char* op) {
    const json reply = ask({{"op", op}});
    if (!flagOf(reply, "stale")) return objectOf(reply, "data");
    std::string text = "station data " + oneDecimal(numberOf(reply, "age", 0)) + " s old";
    try {
        const json state = objectOf(ask({{"op", "state"}}), "data");
        const std::string why = shown(textOf(state, "lastError"));
        if (textOf(state, "state") == "disconnected")
            text += " (the station is disconnected from moorwinchd" + (why.empty() ? "" : ": " + why) + ")";
        else if (!why.empty())
            text += " (moorwinchd's polls fail: " + why + ")";
    } catch (const std::exception&) {
        // the age alone then
    }
    throw ServiceError("", "stale", text);
}

void ServiceBackend::getStatus(Status& status) { fromJson(read("status"), status); }
void ServiceBackend::getDetails(Details& details) { fromJson(read("details"), details); }
void ServiceBackend::getConfig(Config& config) { fromJson(read("config"), config); }
void ServiceBackend::getReporting(Reporting& reporting) { fromJson(read("reporting"), reporting); }

void ServiceBackend::setTorque(unsigned int percent) { ask({{"op", "set"}, {"torque", percent}}); }

void ServiceBackend::setStartLength(float metres) {
    ask({{"op", "set"}, {"startLength", std::stod(shortestDecimal(metres))}});
}

void ServiceBackend::setActivation(bool on) { ask({{"op", "set"}, {"activation", on}}); }

void ServiceBackend::changeReporting(const ReportingChange& change) {
    json flags = json::object();
    for (const ReportingFlag& flag : reportingFlags())
        if (change.*flag.change) flags[flag.key] = *(change.*flag.change);
    ask({{"op", "reporting"}, {"set", flags}});
}

}  // namespace moorwinch_tool
