// The dashboard's HTTP server (civetweb, on threads of its own): the page and
// dygraphs, /metrics, the JSON API (the socket's ops and their replies, built by
// the same functions), an event stream of the station (SSE) and sign-in for
// changes. Every input is bounded; every response says its type and is served
// with a policy that lets the page use nothing but this server.
#ifndef MOORWINCHD_HTTP_SERVER_H
#define MOORWINCHD_HTTP_SERVER_H

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Auth.h"
#include "Changes.h"
#include "HttpSessions.h"
#include "HttpStream.h"
#include "Options.h"
#include "Replies.h"
#include "Station.h"

struct mg_context;
struct mg_connection;
struct mg_request_info;

namespace moorwinchd {

class History;
class Metrics;

// The largest request body (a JSON object of a change or the token).
constexpr std::size_t maxBodyBytes = 8 * 1024;
// The request line and headers together.
constexpr std::size_t maxHeaderBytes = 16 * 1024;
// The query string of an API request.
constexpr std::size_t maxQueryBytes = 2048;
// History questions answered at once; more are answered 503.
constexpr unsigned int maxHttpQuestions = 2;
// The bytes of history answers being sent at once; more are answered 503.
constexpr std::size_t maxHttpAnswerBytes = 64 * 1024 * 1024;
// The time a history answer may take to be read; then its connection is closed.
constexpr std::chrono::seconds answerDeadline{120};
// Requests served at once besides the event streams.
constexpr unsigned int requestThreads = 16;
// The silence after which a stream gets a comment, so that proxies keep it
// open and a browser that went away is noticed.
constexpr std::chrono::seconds streamKeepAlive{15};

// The reply to a wrong token past the allowance comes this late; so late at
// most this many at once.
constexpr std::chrono::seconds wrongTokenDelay{1};
constexpr int maxDelayedGuesses = 4;

struct HttpSettings {
    Endpoint at;
    unsigned int maxStreams = 32;
    std::string www;  // the page's files; "" for defaultWwwDirectory()
    std::vector<std::string> hosts;  // names answered besides localhost, IP addresses and this host's name
};

// The page installed with the service, or the source tree's when the service
// runs from its build tree.
std::string defaultWwwDirectory();

class HttpServer {
public:
    // Reads the page's files. Throws std::runtime_error when they are missing.
    // history may be null (no --history).
    HttpServer(HttpSettings settings, Station& station, Changes& changes, History* history, Metrics& metrics,
               const Authority& authority, std::function<ServerCounts()> counts);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Starts listening; returns the address bound (with the real port when 0
    // was asked). Throws std::runtime_error when the address cannot be used.
    std::string serve();
    // An event of the station for the streams; called from one thread.
    void publish(const Event& event);
    // Ends the streams and the server's threads.
    void stop();

private:
    struct File {
        std::string type, cache, etag;
        std::string body;
    };
    struct Call;

    static int handle(mg_connection* connection, void* self);
    void route(Call& call);
    bool readQuery(Call& call, const std::string& op);
    void stream(Call& call);
    void question(Call& call, const std::string& op);
    void login(Call& call);
    void logout(Call& call);
    void change(Call& call, const std::string& op);
    bool ownOrigin(Call& call);
    bool knownHost(const char* host) const;
    bool readRequest(Call& call, const char* op, Request& request);
    void serveFile(Call& call, const File& file);
    bool signedIn(const Call& call);

    const HttpSettings settings;
    Station& station;
    Changes& changes;
    History* const history;
    Metrics& metrics;
    const Authority& authority;
    const std::function<ServerCounts()> counts;
    std::map<std::string, File> files;  // by path
    std::set<std::string> hostNames;    // lower case
    Sessions sessions;
    Broadcast broadcast;
    std::string lastCheck;  // the verdict and conditions the streams were told last
    std::mutex streamMutex;
    unsigned int streams = 0;
    std::map<std::string, unsigned int> streamsFrom;  // by address
    std::mutex questionMutex;
    unsigned int questionsAnswered = 0;
    std::atomic<int> delayedGuesses{0};
    std::atomic<std::size_t> answerBytes{0};
    std::atomic<bool> stopping{false};
    mg_context* context = nullptr;
};

}  // namespace moorwinchd

#endif
