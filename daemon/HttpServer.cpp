#include "HttpServer.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <unistd.h>

#include <MoorwinchJson.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "History.h"
#include "Log.h"
#include "Metrics.h"
#include "Sockets.h"

namespace moorwinchd {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

const char* const sessionCookie = "moorwinch_session";
const char* const jsonType = "application/json";
// The page may use this server and nothing else: no inline script, no other origin.
const char* const contentPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
// A request's head and body arrive, and each part of an answer is taken,
// within this; idle connections hold the request threads no longer.
const char* const requestTimeoutMs = "3000";
// Bodies are written in parts of this size, so that a deadline can end them.
constexpr std::size_t writePart = 64 * 1024;
// Browsers reconnect a stream this long after it ends.
const char* const streamRetryMs = "2000";

// The page's files and dygraphs from Debian, by path.
struct PageFile {
    const char* path;
    const char* name;  // in the page's directory, or under dygraphsDirectory
    const char* type;
    bool library;
};
const char* const dygraphsDirectory = "/usr/share/javascript/dygraphs/";
const PageFile pageFiles[] = {
    {"/", "index.html", "text/html; charset=utf-8", false},
    {"/app.js", "app.js", "text/javascript; charset=utf-8", false},
    {"/style.css", "style.css", "text/css; charset=utf-8", false},
    {"/favicon.svg", "favicon.svg", "image/svg+xml", false},
    {"/javascript/dygraphs/dygraph.min.js", "dygraph.min.js", "text/javascript; charset=utf-8", true},
    {"/javascript/dygraphs/dygraph.min.css", "dygraph.min.css", "text/css; charset=utf-8", true},
};

// The reads of the socket protocol that the API serves under their names.
const std::pair<const char*, Op> readOps[] = {{"status", Op::status},   {"details", Op::details},
                                              {"config", Op::config},   {"reporting", Op::reporting},
                                              {"check", Op::check},     {"version", Op::version},
                                              {"state", Op::state}};

// The parameters the API takes, by op.
const std::pair<const char*, const char*> queryParameters[] = {
    {"history", "since"}, {"history", "until"}, {"history", "fields"}, {"history", "step"},
    {"events", "since"},  {"events", "until"},
};

// An error reply's HTTP status by its type.
const std::pair<const char*, int> errorStatuses[] = {
    {"BadRequest", 400}, {"ValueException", 400}, {"Forbidden", 403},    {"Busy", 409},
    {"Unavailable", 503}, {"IOException", 502},   {"DataException", 502},
};

int statusOf(const std::string& line) {
    static const std::string ok = R"({"id":null,"ok":true)";
    if (line.compare(0, ok.size(), ok) == 0) return 200;
    const json reply = json::parse(line, nullptr, false);
    if (!reply.is_object() || !reply.contains("error")) return 500;
    const std::string type = reply["error"].value("type", "");
    for (const auto& [name, status] : errorStatuses)
        if (type == name) return status;
    return 500;
}

bool readFile(const std::string& path, std::string& body) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    body = text.str();
    return !in.bad();
}

// A text from the client, quoted and made valid UTF-8 for a message.
std::string shown(const std::string& text) {
    return json(text.size() > 64 ? text.substr(0, 64) + "..." : text)
        .dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The lines of a stream event: one data line, as the replies are one line each.
std::string frame(const std::string& id, const std::string& kind, const std::string& line) {
    std::string text;
    if (!id.empty()) text += "id: " + id + "\n";
    text += "event: " + kind + "\ndata: ";
    text.append(line, 0, line.size() - (!line.empty() && line.back() == '\n' ? 1 : 0));
    return text + "\n\n";
}

int logFromCivetweb(const mg_connection*, const char* message) {
    log(Level::debug, "http: ", shown(message));
    return 1;
}

Request requestOf(Op op) {
    Request r;
    r.op = op;
    return r;
}

}  // namespace

std::string defaultWwwDirectory() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && self.parent_path() == std::filesystem::path(MOORWINCHD_BUILD_DIR)) return MOORWINCHD_SOURCE_WWW;
    return MOORWINCHD_WWW_DIR;
}

// One request: what it asks, and the answer.
struct HttpServer::Call {
    mg_connection* connection;
    const mg_request_info* info;
    std::string method, path, peer;
    std::map<std::string, std::string> query;
    int status = 0;
    Clock::time_point writeBy = Clock::time_point::max();

    const char* header(const char* name) const { return mg_get_header(connection, name); }
    // The session cookie's value; "" when there is none.
    std::string session() const {
        const char* cookies = header("Cookie");
        char id[128];
        return cookies && mg_get_cookie(cookies, sessionCookie, id, sizeof id) > 0 ? id : "";
    }

    // The head of every response: its type and the rules the page lives by.
    void head(int code, const std::string& type, const std::string& cache) {
        status = code;
        mg_response_header_start(connection, code);
        if (!type.empty()) mg_response_header_add(connection, "Content-Type", type.c_str(), -1);
        mg_response_header_add(connection, "Cache-Control", cache.c_str(), -1);
        mg_response_header_add(connection, "X-Content-Type-Options", "nosniff", -1);
        mg_response_header_add(connection, "Content-Security-Policy", contentPolicy, -1);
        mg_response_header_add(connection, "Referrer-Policy", "no-referrer", -1);
    }
    // The body goes out in parts until writeBy; a reader that takes longer
    // loses the connection (civetweb gives up a part that makes no progress
    // within its request timeout).
    void respond(int code, const std::string& type, const std::string& body, const std::string& cache = "no-store",
                 const Headers& extra = {}) {
        head(code, type, cache);
        const std::string length = std::to_string(body.size());
        mg_response_header_add(connection, "Content-Length", length.c_str(), -1);
        for (const auto& [name, value] : extra) mg_response_header_add(connection, name.c_str(), value.c_str(), -1);
        mg_response_header_send(connection);
        if (method == "HEAD") return;
        for (std::size_t at = 0; at < body.size() && Clock::now() < writeBy; at += writePart)
            if (mg_write(connection, body.data() + at, std::min(writePart, body.size() - at)) <= 0) return;
    }
    // A reply line of the socket protocol, with the status its error type gives.
    void reply(const std::string& line, const Headers& extra = {}) {
        respond(statusOf(line), jsonType, line, "no-store", extra);
    }
    void refuse(int code, const std::string& type, const std::string& kind, const std::string& message,
                const Headers& extra = {}) {
        respond(code, jsonType, errorReply(nullptr, {type, kind, message}), "no-store", extra);
    }
};

HttpServer::HttpServer(HttpSettings s, Station& st, Changes& ch, History* h, Metrics& m, const Authority& a,
                       std::function<ServerCounts()> c)
    : settings(std::move(s)),
      station(st),
      changes(ch),
      history(h),
      metrics(m),
      authority(a),
      counts(std::move(c)) {
    const std::string www = settings.www.empty() ? defaultWwwDirectory() : settings.www;
    for (const PageFile& f : pageFiles) {
        File file;
        const std::string path = (f.library ? std::string(dygraphsDirectory) : www + "/") + f.name;
        if (!readFile(path, file.body)) {
            if (!f.library)
                throw std::runtime_error("cannot read the dashboard's " + path + " (give its directory with --www)");
            log(Level::warning, "cannot read ", path, ": the dashboard has no plots (install libjs-dygraphs)");
            continue;
        }
        file.type = f.type;
        // The page is checked at every load, so that a new service's page is
        // used at once; the library changes with its package only.
        file.cache = f.library ? "public, max-age=86400" : "no-cache";
        std::ostringstream tag;
        tag << '"' << std::hex << std::hash<std::string>()(file.body) << '-' << file.body.size() << '"';
        file.etag = tag.str();
        files[f.path] = std::move(file);
    }
    log(Level::debug, "dashboard files from ", www);
    hostNames = {"localhost", lower(settings.at.host)};
    hostNames.insert(settings.hosts.begin(), settings.hosts.end());
    char own[256] = "";
    if (::gethostname(own, sizeof own - 1) == 0 && *own) hostNames.insert(lower(own));
}

HttpServer::~HttpServer() { stop(); }

std::string HttpServer::serve() {
    const std::string address = civetwebAddress(settings.at);
    if (address[0] == '[' && !mg_check_feature(MG_FEATURES_IPV6))
        throw std::runtime_error("cannot serve HTTP on " + address + ": this civetweb has no IPv6; give an IPv4 "
                                 "address, e.g. 0.0.0.0:PORT");
    const std::string threads = std::to_string(settings.maxStreams + requestThreads);
    const std::string headerBytes = std::to_string(maxHeaderBytes);
    const char* options[] = {"listening_ports",
                             address.c_str(),
                             "num_threads",
                             threads.c_str(),
                             "request_timeout_ms",
                             requestTimeoutMs,
                             "enable_keep_alive",
                             "yes",
                             "keep_alive_timeout_ms",
                             "2000",
                             "max_request_size",
                             headerBytes.c_str(),
                             "access_control_allow_origin",
                             "",
                             nullptr};
    mg_callbacks callbacks{};
    callbacks.log_message = logFromCivetweb;
    mg_init_data init{&callbacks, this, options};
    char text[256] = "";
    unsigned code = 0;
    mg_error_data error{&code, text, sizeof text};
    // Once per server: civetweb counts its users, prometheus-cpp's exposer among them.
    mg_init_library(0);
    context = mg_start2(&init, &error);
    if (!context) {
        mg_exit_library();
        throw std::runtime_error("cannot serve HTTP on " + address + ": " + (*text ? text : "civetweb failed"));
    }
    mg_set_request_handler(context, "/", &HttpServer::handle, this);
    mg_server_port ports[4];
    const int n = mg_get_server_ports(context, 4, ports);
    if (n <= 0) return address;
    return address.substr(0, address.rfind(':') + 1) + std::to_string(ports[0].port);
}

void HttpServer::stop() {
    stopping = true;
    broadcast.stop();
    if (context) {
        mg_stop(context);
        context = nullptr;
        mg_exit_library();
    }
}

void HttpServer::publish(const Event& event) {
    static const char* const kinds[] = {"status", "state", "gap"};
    broadcast.publish(kinds[event.kind], event.line);
    if (event.kind == Event::gap) return;
    // The verdict goes to the streams when it changes, as /api/check gives it.
    const Snapshot s = station.snapshot();
    std::string judged = std::to_string(s.verdict);
    for (const std::string& condition : s.conditions) judged += "\n" + condition;
    if (judged == lastCheck) return;
    lastCheck = judged;
    broadcast.publish("check", std::make_shared<const std::string>(readReply(requestOf(Op::check), s, {})));
}

int HttpServer::handle(mg_connection* connection, void* self) {
    auto& server = *static_cast<HttpServer*>(self);
    Call call{connection, mg_get_request_info(connection), "", "", "", {}, 0};
    call.method = call.info->request_method ? call.info->request_method : "";
    call.path = call.info->local_uri ? call.info->local_uri : "";
    const std::string host = call.info->remote_addr;
    call.peer = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                std::to_string(call.info->remote_port);
    try {
        // A page of another site whose name was made to point here (DNS
        // rebinding) names its own host: it is answered nothing.
        if (!server.knownHost(call.header("Host"))) {
            if (unbraked(Level::info, "requests for other hosts over HTTP", call.info->remote_addr))
                log(Level::info, "refused a request from ", call.peer, " for the host ", shown(call.header("Host")));
            call.refuse(421, "BadRequest", "misdirected",
                        "this dashboard does not answer to the host " + shown(call.header("Host")) +
                            ": open it by its address or localhost, or name the host with --http-host");
        } else {
            server.route(call);
        }
    } catch (const std::exception& e) {
        log(Level::error, "http ", shown(call.method), " ", shown(call.path), ": ", e.what());
        if (call.status == 0) call.refuse(500, "Unavailable", "internal", e.what());
    }
    return call.status ? call.status : 500;
}

void HttpServer::route(Call& call) {
    const bool api = call.path.compare(0, 5, "/api/") == 0;
    const bool post = call.method == "POST";
    if (api ? !post && call.method != "GET" : call.method != "GET" && call.method != "HEAD")
        return call.refuse(405, "BadRequest", "methodNotAllowed", shown(call.method) + " is not served here",
                           {{"Allow", api ? "GET, POST" : "GET, HEAD"}});
    if (!api) {
        if (call.info->query_string)
            return call.refuse(400, "BadRequest", "badRequest", shown(call.path) + " takes no parameters");
        if (call.path == "/metrics")
            return call.respond(200, "text/plain; version=0.0.4; charset=utf-8", metrics.exposition());
        if (auto it = files.find(call.path); it != files.end()) return serveFile(call, it->second);
        return call.refuse(404, "BadRequest", "notFound", "nothing at " + shown(call.path));
    }

    const std::string op = call.path.substr(5);
    const auto read = std::find_if(std::begin(readOps), std::end(readOps), [&](const auto& r) { return op == r.first; });
    const bool takesGet = read != std::end(readOps) || op == "stream" || op == "history" || op == "events" ||
                          op == "session";
    const bool takesPost = op == "login" || op == "logout" || op == "set" || op == "reporting";
    if (!takesGet && !takesPost) return call.refuse(404, "BadRequest", "notFound", "no API at " + shown(call.path));
    if (!(post ? takesPost : takesGet))
        return call.refuse(405, "BadRequest", "methodNotAllowed", call.method + " is not served here",
                           {{"Allow", post ? "GET" : "POST"}});
    if (!readQuery(call, op)) return;
    if (post) {
        if (op == "login") return login(call);
        if (op == "logout") return logout(call);
        return change(call, op);
    }
    if (op == "stream") return stream(call);
    if (op == "history" || op == "events") return question(call, op);
    if (op == "session")
        return call.reply(okReply(nullptr, {{"signedIn", signedIn(call)},
                                            {"signIn", authority.hasToken()},
                                            {"history", history != nullptr}}));
    call.reply(readReply(requestOf(read->second), station.snapshot(), counts()));
}

// The history and events ops with their members from the query: the same
// parser and the same answer as the socket's. A step that is not a number is
// passed on as text for the parser to refuse.
void HttpServer::question(Call& call, const std::string& op) {
    json object = {{"op", op}};
    for (const auto& [name, value] : call.query) {
        if (name == "fields") {
            object[name] = json::array();
            for (std::size_t start = 0; start <= value.size();) {
                const std::size_t end = std::min(value.find(',', start), value.size());
                if (end > start) object[name].push_back(value.substr(start, end - start));
                start = end + 1;
            }
        } else if (name == "step") {
            char* end = nullptr;
            const double step = std::strtod(value.c_str(), &end);
            object[name] = !value.empty() && *end == '\0' ? json(step) : json(value);
        } else {
            object[name] = value;
        }
    }
    Request request;
    std::string problem;
    if (!parseRequest(object.dump(-1, ' ', false, json::error_handler_t::replace), request, problem))
        return call.refuse(400, "BadRequest", "badRequest", problem);
    // An answer may hold a hundred thousand rows: a few built at a time, and
    // those that are sent bounded together, so that slow readers hold neither
    // the history nor much memory.
    std::string answer;
    {
        {
            std::lock_guard<std::mutex> lock(questionMutex);
            if (questionsAnswered >= maxHttpQuestions)
                return call.refuse(503, "Unavailable", "unavailable", "too many history questions at once; try again",
                                   {{"Retry-After", "1"}});
            ++questionsAnswered;
        }
        struct Done {
            HttpServer& server;
            ~Done() {
                std::lock_guard<std::mutex> lock(server.questionMutex);
                --server.questionsAnswered;
            }
        } done{*this};
        answer = historyReply(request, history);
    }
    if (answerBytes.fetch_add(answer.size()) + answer.size() > maxHttpAnswerBytes) {
        answerBytes -= answer.size();
        return call.refuse(503, "Unavailable", "unavailable",
                           "history answers of other requests are still being sent; try again",
                           {{"Retry-After", "1"}});
    }
    call.writeBy = Clock::now() + answerDeadline;
    // A body cut at the deadline must not be taken for the end of the response.
    call.reply(answer, {{"Connection", "close"}});
    answerBytes -= answer.size();
}

// The parameters of the API: bounded, each once, only those the op takes.
// False when refused (answered already).
bool HttpServer::readQuery(Call& call, const std::string& op) {
    const char* raw = call.info->query_string;
    const std::string query = raw ? raw : "";
    if (query.size() > maxQueryBytes) {
        call.refuse(414, "BadRequest", "badRequest", "query longer than " + std::to_string(maxQueryBytes) + " bytes");
        return false;
    }
    for (std::size_t start = 0; start < query.size();) {
        const std::size_t end = std::min(query.find('&', start), query.size());
        const std::string pair = query.substr(start, end - start);
        start = end + 1;
        if (pair.empty()) continue;
        const std::size_t equals = std::min(pair.find('='), pair.size());
        std::string texts[2] = {pair.substr(0, equals), equals < pair.size() ? pair.substr(equals + 1) : ""};
        for (std::string& text : texts) {
            std::vector<char> decoded(text.size() + 1);
            if (mg_url_decode(text.c_str(), static_cast<int>(text.size()), decoded.data(),
                              static_cast<int>(decoded.size()), 1) < 0) {
                call.refuse(400, "BadRequest", "badRequest", "malformed query");
                return false;
            }
            text = decoded.data();
        }
        bool known = false;
        for (const auto& [taker, parameter] : queryParameters) known = known || (op == taker && texts[0] == parameter);
        std::string problem;
        if (!known) problem = "unknown parameter " + shown(texts[0]) + " for " + shown("/api/" + op);
        else if (!call.query.emplace(texts[0], texts[1]).second)
            problem = "parameter " + shown(texts[0]) + " given twice";
        if (!problem.empty()) {
            call.refuse(400, "BadRequest", "badRequest", problem);
            return false;
        }
    }
    return true;
}

void HttpServer::serveFile(Call& call, const File& file) {
    const Headers tag = {{"ETag", file.etag}};
    const char* given = call.header("If-None-Match");
    if (given && file.etag == given) return call.respond(304, "", "", file.cache, tag);
    call.respond(200, file.type, file.body, file.cache, tag);
}

bool HttpServer::signedIn(const Call& call) {
    const std::string id = call.session();
    return !id.empty() && sessions.valid(id, Clock::now());
}

void HttpServer::stream(Call& call) {
    // One address may hold three quarters of the streams, so that it cannot keep every other dashboard out.
    const unsigned int perAddress = settings.maxStreams - settings.maxStreams / 4;
    const std::string address = call.info->remote_addr;
    std::string refusal;
    {
        std::lock_guard<std::mutex> lock(streamMutex);
        if (streams >= settings.maxStreams)
            refusal = "too many event streams (at most " + std::to_string(settings.maxStreams) + ")";
        else if (streamsFrom[address] >= perAddress)
            refusal = "too many event streams from this address (at most " + std::to_string(perAddress) + ")";
        else {
            ++streams;
            ++streamsFrom[address];
        }
        if (!refusal.empty() && streamsFrom[address] == 0) streamsFrom.erase(address);
    }
    if (!refusal.empty())
        return call.refuse(503, "Unavailable", "tooManyClients", refusal + "; try again later", {{"Retry-After", "5"}});
    struct Slot {
        HttpServer& server;
        const std::string& address;
        ~Slot() {
            std::lock_guard<std::mutex> lock(server.streamMutex);
            --server.streams;
            if (--server.streamsFrom[address] == 0) server.streamsFrom.erase(address);
        }
    } slot{*this, address};

    mg_connection* c = call.connection;
    call.head(200, "text/event-stream; charset=utf-8", "no-store");
    // Proxies that buffer responses would hold the events back.
    mg_response_header_add(c, "X-Accel-Buffering", "no", -1);
    // The stream has no length: its end is the connection's.
    mg_response_header_add(c, "Connection", "close", -1);
    mg_response_header_send(c);

    // Taken before the snapshot: what follows it may repeat the snapshot, never miss.
    std::uint64_t cursor = broadcast.last();
    const char* lastId = call.header("Last-Event-ID");
    std::uint64_t resumeAt = 0;
    const bool resumed = lastId && broadcast.resumable(lastId, resumeAt);
    const Snapshot s = station.snapshot();
    std::string out = std::string("retry: ") + streamRetryMs + "\n\n";
    out += frame("", "watch", okReply(nullptr, watchData(true, s), {{"resumed", resumed}}));
    if (resumed) {
        cursor = resumeAt;
    } else {
        const std::string id = broadcast.id(cursor);
        out += frame(id, "state", stateEvent(s));
        if (s.haveStatus && s.connected)
            out += frame(id, "status", statusEvent(KORVANE::MoorwinchJson::toJson(s.status), s.statusTime, s.polls));
        out += frame(id, "check", readReply(requestOf(Op::check), s, {}));
    }
    std::vector<Broadcast::Item> items;
    while (mg_write(c, out.data(), out.size()) > 0) {
        out.clear();
        switch (broadcast.wait(cursor, Clock::now() + streamKeepAlive, items)) {
            case Broadcast::Wait::stopped:
            case Broadcast::Wait::behind:  // the browser reconnects and starts afresh
                return;
            case Broadcast::Wait::timeout:
                out = ":\n\n";
                break;
            case Broadcast::Wait::events:
                for (const auto& item : items) out += frame(broadcast.id(item.number), item.kind, *item.line);
                cursor = items.back().number;
                break;
        }
    }
}

// The Host header names this server by an IP address or a name it knows, with
// any port (a tunnel or proxy may forward another). Browsers always send one.
bool HttpServer::knownHost(const char* header) const {
    if (!header) return true;
    const std::string host = header;
    std::string name = host, port;
    if (!host.empty() && host[0] == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string::npos) return false;
        name = host.substr(1, close - 1);
        port = host.substr(close + 1);
        if (!port.empty() && port[0] != ':') return false;
        in6_addr address;
        if (::inet_pton(AF_INET6, name.c_str(), &address) != 1) return false;
    } else if (const std::size_t colon = host.rfind(':'); colon != std::string::npos) {
        name = host.substr(0, colon);
        port = host.substr(colon);
    }
    if (!port.empty() && (port.size() < 2 || port.size() > 6 || port.find_first_not_of("0123456789", 1) != std::string::npos)) return false;
    if (!host.empty() && host[0] == '[') return true;
    name = lower(name);
    if (!name.empty() && name.back() == '.') name.pop_back();
    in_addr address;
    return ::inet_pton(AF_INET, name.c_str(), &address) == 1 || hostNames.count(name) > 0;
}

// Every POST comes from this server's own page: its Origin names the host the
// request was sent to. False when refused (answered already).
bool HttpServer::ownOrigin(Call& call) {
    const char* origin = call.header("Origin");
    const char* host = call.header("Host");
    const std::string given = origin ? origin : "";
    const std::size_t scheme = given.find("://");
    if (!host || scheme == std::string::npos || lower(given.substr(scheme + 3)) != lower(host)) {
        log(Level::info, "refused a POST to ", shown(call.path), " from ", call.peer, ": Origin ",
            origin ? shown(given) : "missing");
        call.refuse(403, "Forbidden", "forbidden",
                    "a change must come from this dashboard's own page: the Origin header must name this server");
        return false;
    }
    return true;
}

// The body of a POST as the socket's request of the op: a JSON object within
// the bound. False when refused (answered already).
bool HttpServer::readRequest(Call& call, const char* op, Request& request) {
    if (!ownOrigin(call)) return false;
    const char* type = call.header("Content-Type");
    if (!type || lower(type).compare(0, std::strlen(jsonType), jsonType) != 0) {
        call.refuse(415, "BadRequest", "badRequest", "the body must be JSON (Content-Type: application/json)");
        return false;
    }
    const long long length = call.info->content_length;
    if (length < 0) {
        call.refuse(411, "BadRequest", "badRequest", "the body needs a Content-Length");
        return false;
    }
    if (static_cast<unsigned long long>(length) > maxBodyBytes) {
        call.refuse(413, "BadRequest", "badRequest", "body larger than " + std::to_string(maxBodyBytes) + " bytes");
        return false;
    }
    std::string text(static_cast<std::size_t>(length), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const int n = mg_read(call.connection, &text[got], text.size() - got);
        if (n <= 0) {
            call.refuse(400, "BadRequest", "badRequest", "the body ended early");
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    // The socket's parser judges the members, so that both take the same requests.
    json object = json::parse(text, nullptr, false);
    std::string problem;
    if (object.is_discarded()) {
        problem = "the body is not JSON";
    } else if (!object.is_object()) {
        problem = "the body must be a JSON object";
    } else if (object.contains("op") || object.contains("id")) {
        problem = "unknown member \"" + std::string(object.contains("op") ? "op" : "id") + "\"";
    } else {
        object["op"] = op;
        parseRequest(object.dump(), request, problem);
    }
    if (!problem.empty()) {
        call.refuse(400, "BadRequest", "badRequest", problem);
        return false;
    }
    return true;
}

void HttpServer::login(Call& call) {
    Request request;
    if (!readRequest(call, "auth", request)) return;
    if (!authority.hasToken())
        return call.refuse(403, "Forbidden", "forbidden",
                           "no token is configured (--token-file): the dashboard is read-only");
    // The token is judged first: guesses from an address, which behind a
    // tunnel or proxy is every operator's, never keep the right token out.
    const auto now = Clock::now();
    if (!authority.tokenMatches(request.token)) {
        if (unbraked(Level::warning, "wrong tokens over HTTP", call.info->remote_addr))
            log(Level::warning, "wrong token over HTTP from ", call.peer);
        const long wait = sessions.wrongToken(call.info->remote_addr, now);
        if (wait == 0) return call.refuse(403, "Forbidden", "forbidden", "wrong token");
        // Late, so that guesses one after the other go slowly; a few at once,
        // so that guesses in parallel cannot take the request threads.
        if (delayedGuesses.fetch_add(1) < maxDelayedGuesses && !stopping)
            std::this_thread::sleep_for(wrongTokenDelay);
        --delayedGuesses;
        return call.refuse(429, "Forbidden", "tooManyAttempts",
                           "wrong token, again: more than three from this address within a minute; try again in " +
                               std::to_string(wait) + " s",
                           {{"Retry-After", std::to_string(wait)}});
    }
    const std::string id = sessions.open(now);
    const auto lifetime = std::chrono::duration_cast<std::chrono::seconds>(sessionLifetime).count();
    log(Level::info, "signed in over HTTP from ", call.peer);
    call.reply(okReply(nullptr, {{"signedIn", true}, {"expires", unixSeconds(WallClock::now() + sessionLifetime)}}),
               {{"Set-Cookie", std::string(sessionCookie) + "=" + id + "; Max-Age=" + std::to_string(lifetime) +
                                   "; Path=/; HttpOnly; SameSite=Strict"}});
}

void HttpServer::logout(Call& call) {
    if (!ownOrigin(call)) return;
    if (const std::string id = call.session(); !id.empty()) sessions.close(id);
    call.reply(okReply(nullptr, {{"signedIn", false}}),
               {{"Set-Cookie", std::string(sessionCookie) + "=; Max-Age=0; Path=/; HttpOnly; SameSite=Strict"}});
}

void HttpServer::change(Call& call, const std::string& op) {
    Request request;
    if (!readRequest(call, op.c_str(), request)) return;
    if (request.op == Op::reporting)
        return call.refuse(400, "BadRequest", "badRequest",
                           "POST /api/reporting needs \"set\": {\"env\":0}, say; GET reads the flags");
    // One waiting change per session, as per socket client.
    const std::string id = call.session();
    const bool mayControl = !id.empty() && sessions.valid(id, Clock::now());
    struct Answer {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<std::string> line;
    };
    auto answer = std::make_shared<Answer>();
    auto refused = changes.submit(std::move(request), networkAuthor("http", call.peer), mayControl,
                                  "http " + id, [answer](std::string line) {
                                      {
                                          std::lock_guard<std::mutex> lock(answer->mutex);
                                          answer->line = std::move(line);
                                      }
                                      answer->done.notify_all();
                                  });
    if (refused) return call.reply(*refused);
    std::unique_lock<std::mutex> lock(answer->mutex);
    // The station answers every change (also when it stops); the server's stop ends the wait too.
    while (!answer->line && !stopping) answer->done.wait_for(lock, std::chrono::milliseconds(200));
    if (!answer->line)
        return call.refuse(503, "Unavailable", "unavailable", "the service is stopping; the change may have been made");
    call.reply(*answer->line);
}

}  // namespace moorwinchd
