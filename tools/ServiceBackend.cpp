#include "ServiceBackend.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "Failures.h"
#include "MoorwinchJson.h"
#include "MoorwinchService.h"
#include "Output.h"
#include "Watch.h"

namespace moorwinch_tool {
namespace {

using KORVANE::MoorwinchJson::fromJson;
using json = nlohmann::json;

constexpr std::size_t maxLineBytes = 1024 * 1024;
// Texts from the service are shown on one line and cut at this length.
constexpr std::size_t maxShownBytes = 2048;
// Events kept while a reply is awaited; older ones are dropped.
constexpr std::size_t maxQueuedEvents = 1024;

bool isSocket(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// A text from the socket, safe for a terminal line.
std::string shown(std::string text) {
    if (text.size() > maxShownBytes) text = text.substr(0, maxShownBytes) + "...";
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

// Members of the service's lines, read only when they have the expected type.
std::string textOf(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

double numberOf(const json& object, const char* key, double fallback) {
    const auto it = object.find(key);
    return it != object.end() && it->is_number() ? it->get<double>() : fallback;
}

bool flagOf(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_boolean() && it->get<bool>();
}

json objectOf(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_object() ? *it : json::object();
}

std::chrono::system_clock::time_point timeOf(const json& object) {
    const double seconds = numberOf(object, "time", 0.0);
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e11) return std::chrono::system_clock::now();
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(seconds)));
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

// ---------------------------------------------------------------------------
// watch through the service: its polls arrive as events, so the station sees
// no traffic of ours. At each tick the newest poll not yet shown is shown; when
// there is none, the tick waits for the next poll while it is not overdue,
// then shows the last data again as stale. A service that goes away (an
// upgrade, a restart) is told once and reached again with a growing pause.
class ServiceBackend::Subscription : public SampleSource {
public:
    explicit Subscription(ServiceBackend& backend) : service(backend) {}

    void start(std::ostream& err) override { subscribe(err); }

    bool next(Steady::time_point due, int stopFd, Sample& sample, std::ostream& err) override {
        if (!follow(due, stopFd, err, false)) return false;
        if (!unshown && serviceUp && stationUp && !gapSinceShown) {
            const Steady::time_point overdue =
                lastPoll + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(pollSpacing()));
            if (!follow(std::max(overdue, Steady::now()), stopFd, err, true)) return false;
        }
        const auto now = std::chrono::system_clock::now();
        if (latest && unshown) {
            sample = {latestTime, latest, false, 0, ""};
        } else if (latest) {
            sample = {now, latest, true, std::max(0.0, std::chrono::duration<double>(now - latestTime).count()), ""};
        } else {
            sample = {now, std::nullopt, false, 0, whyNoData()};
        }
        unshown = false;
        gapSinceShown = false;
        return true;
    }

    std::string summary() const override {
        return counted(polls, "poll") + " by moorwinchd, " + counted(stationOutages, "station outage") + ", " +
               counted(serviceOutages, "moorwinchd outage");
    }

    bool answering() const override {
        return serviceUp && stationUp && latest &&
               std::chrono::duration<double>(std::chrono::system_clock::now() - latestTime).count() <= staleAfter;
    }

private:
    // The longest a poll may take to come after the last: one of the service's
    // intervals and its poll's wait bound (what makes data stale beyond two intervals).
    double pollSpacing() const { return serviceInterval + std::max(0.0, staleAfter - 2 * serviceInterval); }

    std::string whyNoData() const {
        if (!serviceUp) return "moorwinchd went away (" + goneBecause + ")";
        if (!stationError.empty()) return "the station does not answer moorwinchd (" + stationError + ")";
        return "moorwinchd has no status yet";
    }

    // Watch, then the newest status the service holds.
    void subscribe(std::ostream& err) {
        service.connect();
        const json watching = service.ask({{"op", "watch"}});
        const json data = objectOf(watching, "data");
        serviceInterval = numberOf(data, "interval", serviceInterval);
        if (!(serviceInterval > 0 && serviceInterval <= 86400)) serviceInterval = 1;
        staleAfter = numberOf(data, "staleAfter", 3 * serviceInterval);
        if (!(staleAfter > 0 && staleAfter <= 1e6)) staleAfter = 3 * serviceInterval;
        stationAnswers(textOf(data, "state") == "connected", "", err);
        serviceUp = true;
        lastLine = lastPoll = Steady::now();
        try {
            const json status = service.ask({{"op", "status"}});
            const auto time = timeOf(status);
            if (!latest || time != latestTime) {
                take(objectOf(status, "data"), time);
                unshown = !flagOf(status, "stale");
            }
        } catch (const ServiceError& e) {
            if (e.type() != "Unavailable") throw;  // no status yet: the first poll will bring one
        }
    }

    void take(const json& data, std::chrono::system_clock::time_point time) {
        Status status;
        fromJson(data, status);
        latest = status;
        latestTime = time;
        lastPoll = Steady::now();
    }

    void stationAnswers(bool answering, const std::string& error, std::ostream& err) {
        if (answering && !stationUp) {
            err << "moorwinch: the station answers again after "
                << seconds(std::chrono::duration<double>(Steady::now() - stationDown).count()) << "\n";
            stationError.clear();
        } else if (!answering && stationUp) {
            err << "moorwinch: the station does not answer moorwinchd" << (error.empty() ? "" : " (" + error + ")")
                << "; moorwinchd keeps trying\n";
            stationDown = Steady::now();
            ++stationOutages;
        }
        if (!answering && !error.empty()) stationError = error;
        stationUp = answering;
    }

    void goneAway(const std::string& why, std::ostream& err) {
        service.close();
        serviceUp = false;
        goneBecause = why;
        serviceDown = Steady::now();
        ++serviceOutages;
        pause = std::chrono::milliseconds(500);
        nextAttempt = serviceDown + pause;
        err << "moorwinch: moorwinchd went away (" << why << "); reconnecting\n";
    }

    // Handles one line; true for a poll slot (a status or a gap).
    bool handle(const std::string& text, std::ostream& err) {
        const json e = json::parse(text, nullptr, false);
        if (!e.is_object()) return false;
        const std::string kind = textOf(e, "event");
        if (kind == "status") {
            ++polls;
            take(objectOf(e, "data"), timeOf(e));
            unshown = true;
            stationAnswers(true, "", err);
            return true;
        }
        if (kind == "gap") {
            gapSinceShown = true;
            stationAnswers(textOf(e, "state") != "disconnected", shown(textOf(e, "error")), err);
            if (stationUp && !textOf(e, "error").empty()) stationError = shown(textOf(e, "error"));
            return true;
        }
        if (kind == "state") stationAnswers(textOf(e, "state") == "connected", shown(textOf(e, "error")), err);
        // The service's last words before it closes (idle, shutting down).
        const auto id = e.find("id");
        if (e.contains("ok") && !flagOf(e, "ok") && (id == e.end() || id->is_null()))
            goneAway(shown(textOf(objectOf(e, "error"), "message")), err);
        return false;
    }

    // Follows the service until the time point (or, with untilPoll, the next
    // poll slot); false when a stop signal came.
    bool follow(Steady::time_point until, int stopFd, std::ostream& err, bool untilPoll) {
        while (Steady::now() < until) {
            if (!serviceUp) {
                if (Steady::now() >= nextAttempt) {
                    try {
                        subscribe(err);
                        err << "moorwinch: moorwinchd answers again after "
                            << seconds(std::chrono::duration<double>(Steady::now() - serviceDown).count()) << "\n";
                        if (untilPoll && unshown) return true;
                        continue;
                    } catch (const std::exception& e) {
                        service.close();
                        goneBecause = e.what();
                        pause = std::min<Steady::duration>(pause * 2, std::chrono::seconds(8));
                        nextAttempt = Steady::now() + pause;
                    }
                }
                if (awaitInput(&stopFd, 1, std::min(until, nextAttempt)) == 0) return false;
                if (untilPoll) return true;  // no poll will come from a service that is away
                continue;
            }
            // Over TCP a dead peer may send nothing, not even an end: a stream
            // silent for three intervals and a poll's wait bound is taken for dead.
            const Steady::time_point dead =
                lastLine + std::chrono::duration_cast<Steady::duration>(
                               std::chrono::duration<double>(2 * serviceInterval + pollSpacing()));
            std::string text;
            switch (service.nextLine(text, service.address.tcp ? std::min(until, dead) : until, stopFd)) {
                case Arrival::stop: return false;
                case Arrival::closed: goneAway(service.closedBecause, err); break;
                case Arrival::time:
                    if (service.address.tcp && Steady::now() >= dead)
                        goneAway("nothing came for " + seconds(std::chrono::duration<double>(Steady::now() - lastLine).count()), err);
                    break;
                case Arrival::line:
                    lastLine = Steady::now();
                    if (handle(text, err) && untilPoll) return true;
                    break;
            }
        }
        return true;
    }

    ServiceBackend& service;
    double serviceInterval = 1, staleAfter = 3;
    std::optional<Status> latest;
    std::chrono::system_clock::time_point latestTime;
    bool unshown = false, gapSinceShown = false, stationUp = true, serviceUp = false;
    std::string stationError, goneBecause;
    Steady::time_point lastLine, lastPoll, stationDown, serviceDown, nextAttempt;
    Steady::duration pause{};
    std::size_t polls = 0, stationOutages = 0, serviceOutages = 0;
};

// ---------------------------------------------------------------------------

std::string defaultServiceSocket() {
    const std::string system = "/run/moorwinch/moorwinchd.sock";
    const char* user = std::getenv("XDG_RUNTIME_DIR");
    if (!isSocket(system) && user && *user && isSocket(std::string(user) + "/moorwinchd.sock"))
        return std::string(user) + "/moorwinchd.sock";
    return system;
}

ServiceBackend::ServiceBackend(ServiceAddress at, std::string token, unsigned int replyWait, std::ostream* traceTo)
    : address(std::move(at)), tokenFile(std::move(token)), waitMs(replyWait), trace(traceTo) {
    if (!address.tcp && address.socket.empty()) address.socket = defaultServiceSocket();
    where = address.tcp ? address.tcp->text() : address.socket;
}

ServiceBackend::~ServiceBackend() { close(); }

void ServiceBackend::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    buffer.clear();
    events.clear();
}

void ServiceBackend::connect() {
    if (fd >= 0) return;
    const std::string token = tokenFile.empty() ? "" : readToken(tokenFile);
    fd = dial(address, address.socket, waitMs);
    if (!token.empty()) ask({{"op", "auth"}, {"token", token}});
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
    while ((end = buffer.find('\n')) == std::string::npos) {
        if (buffer.size() > maxLineBytes) {
            closedBecause = "it sent a line longer than " + std::to_string(maxLineBytes) + " bytes";
            return Arrival::closed;
        }
        const int fds[2] = {fd, stopFd};
        const int ready = awaitInput(fds, stopFd >= 0 ? 2 : 1, until);
        if (ready < 0) return Arrival::time;
        if (ready == 1) return Arrival::stop;
        char chunk[16384];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) {
            closedBecause = got == 0 ? "it closed the connection" : std::strerror(errno);
            return Arrival::closed;
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
    text = buffer.substr(0, end);
    buffer.erase(0, end + 1);
    if (trace) *trace << traceLine(false, text, std::chrono::system_clock::now()) << std::flush;
    return Arrival::line;
}

// The service's refusal lines without an id (too many clients, idle) end the
// connection and are the answer to whatever was asked.
json ServiceBackend::ask(json request) {
    connect();
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
        json reply = json::parse(text, nullptr, false);
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

// The service's polls set the pace; the tool's interval only picks among them.
std::unique_ptr<SampleSource> ServiceBackend::samples(double) { return std::make_unique<Subscription>(*this); }

}  // namespace moorwinch_tool
