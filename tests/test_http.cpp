// moorwinchd's dashboard server (--http) as a subprocess against MoorwinchSim's
// flight, over real HTTP: the reads answer as the socket does, bad requests are
// refused with their status, changes need a session and the page's own
// origin, wrong tokens slow an address down but never keep the right one out,
// event streams are bounded and resume, also across a restart of the service.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "HttpClient.h"
#include "ServiceTest.h"

using namespace moorwinch_test;

namespace {

const std::string token = "s3cret-token-0123456789";

class Http : public ServiceTest {
protected:
    void SetUp() override {
        makeFolder(token);
        startSimulator({"--scenario", "flight", "--flight-seconds", "20"});
    }

    std::string daemonLog() const { return slurp(dir + "/daemon.log"); }

    // Starts the service and waits until it serves a connected station over HTTP.
    void startDaemon(std::vector<std::string> extra = {}, const std::string& at = "0") {
        std::vector<std::string> args = {MOORWINCHD_PATH, "--port",    link(), "--socket", socketPath(),
                                         "--foreground",  "--interval", "0.2", "--verbose", "--http", at};
        if (withToken) args.insert(args.end(), {"--token-file", dir + "/token"});
        args.insert(args.end(), extra.begin(), extra.end());
        std::filesystem::remove(dir + "/daemon.log");
        daemon = std::make_unique<Process>(args, dir + "/daemon.log");
        ASSERT_TRUE(eventually([&] { return daemonLog().find("poll 1 ok") != std::string::npos; })) << daemonLog();
        const std::string log = daemonLog(), before = "dashboard on http://127.0.0.1:";
        const std::size_t found = log.find(before);
        ASSERT_NE(found, std::string::npos) << log;
        port = std::stoi(log.substr(found + before.size()));
    }

    void stopDaemon() {
        daemon->signal(SIGTERM);
        ASSERT_EQ(daemon->wait(), 0);
    }

    // The session cookie of a sign-in ("name=value"), "" when refused.
    std::string signIn(const std::string& given = token) {
        const Response r = post(port, "/api/login", {{"token", given}});
        const std::string cookie = r.header("set-cookie");
        return r.status == 200 ? cookie.substr(0, cookie.find(';')) : "";
    }

    json socketAsk(const json& request) {
        Connection c(dialUnix(socketPath()));
        return c.ask(request);
    }

    int port = -1;
    bool withToken = true;
};

TEST_F(Http, ReadsAnswerAsTheSocketDoesAndEveryResponseSaysItsType) {
    startDaemon();
    for (const char* op : {"status", "details", "config", "reporting", "check", "version", "state"}) {
        const Response r = http(port, "GET", std::string("/api/") + op);
        EXPECT_EQ(r.status, 200) << op << " " << r.body;
        EXPECT_EQ(r.header("content-type"), "application/json") << op;
        EXPECT_EQ(r.header("cache-control"), "no-store") << op;
        EXPECT_EQ(r.header("x-content-type-options"), "nosniff") << op;
        const json reply = r.reply();
        ASSERT_EQ(reply["ok"], true) << op << " " << r.body;
        EXPECT_TRUE(reply["id"].is_null());
        const json socket = socketAsk({{"op", op}});
        // The same members from the same function; polled values move between the two asks.
        for (const auto& item : socket["data"].items()) EXPECT_TRUE(reply["data"].contains(item.key())) << op;
        if (std::string(op) == "details" || std::string(op) == "version") {
            EXPECT_EQ(reply["data"], socket["data"]);
        }
    }
    EXPECT_EQ(http(port, "GET", "/api/session").reply()["data"],
              json({{"signedIn", false}, {"signIn", true}, {"history", false}}));

    const Response metrics = http(port, "GET", "/metrics");
    EXPECT_EQ(metrics.status, 200);
    EXPECT_EQ(metrics.header("content-type"), "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_NE(metrics.body.find("\nmoorwinch_up 1\n"), std::string::npos) << metrics.body;
    EXPECT_NE(metrics.body.find("moorwinch_data_age_seconds "), std::string::npos);

    // The page and its scripts: their own types, a policy of this origin only, revalidated.
    const Response page = http(port, "GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.header("content-type"), "text/html; charset=utf-8");
    EXPECT_NE(page.header("content-security-policy").find("default-src 'none'; script-src 'self'"), std::string::npos);
    EXPECT_EQ(page.header("cache-control"), "no-cache");
    EXPECT_NE(page.body.find("<script src=\"app.js\""), std::string::npos);
    EXPECT_EQ(http(port, "GET", "/app.js").header("content-type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(http(port, "GET", "/style.css").header("content-type"), "text/css; charset=utf-8");
    EXPECT_EQ(http(port, "GET", "/", {"If-None-Match: " + page.header("etag")}).status, 304);
    if (access("/usr/share/javascript/dygraphs/dygraph.min.js", R_OK) == 0) {
        const Response library = http(port, "GET", "/javascript/dygraphs/dygraph.min.js");
        EXPECT_EQ(library.status, 200);
        EXPECT_EQ(library.header("cache-control"), "public, max-age=86400");
    }
}

TEST_F(Http, BadRequestsAreRefusedWithTheirStatusAndChangeNothing) {
    startDaemon();
    const std::string cookie = signIn();
    ASSERT_FALSE(cookie.empty());
    const std::string origin = "Origin: http://127.0.0.1:" + std::to_string(port);
    const std::string json = "Content-Type: application/json";
    const struct {
        const char* method;
        std::string path;
        std::vector<std::string> headers;
        std::string body;
        int status;
        const char* says;
    } cases[] = {
        {"GET", "/nothing", {}, "", 404, "nothing at"},
        {"GET", "/api/nothing?x=1", {}, "", 404, "no API at"},
        {"GET", "/api/status?fields=x", {}, "", 400, "unknown parameter \\\"fields\\\""},
        {"GET", "/api/history?since=1&since=2", {}, "", 400, "given twice"},
        {"GET", "/api/status?" + std::string(3000, 'a'), {}, "", 414, "longer than 2048"},
        {"GET", "/?x=1", {}, "", 400, "takes no parameters"},
        {"DELETE", "/api/status", {}, "", 405, "is not served here"},
        {"POST", "/", {origin, json}, "{}", 405, "is not served here"},
        {"POST", "/api/status", {origin, json}, "{}", 405, "is not served here"},
        {"GET", "/api/set", {}, "", 405, "is not served here"},
        {"POST", "/api/set", {origin, "Cookie: " + cookie, json}, std::string(9000, ' '), 413, "larger than 8192"},
        {"POST", "/api/set", {origin, "Cookie: " + cookie, "Content-Type: text/plain"}, "{\"torque\":5}", 415,
         "must be JSON"},
        {"POST", "/api/set", {origin, "Cookie: " + cookie, json}, "{\"torque\":", 400, "not JSON"},
        {"POST", "/api/set", {origin, "Cookie: " + cookie, json}, "[5]", 400, "a JSON object"},
        {"POST", "/api/set", {origin, "Cookie: " + cookie, json}, "{\"torque\":\"5\"}", 400, "whole number"},
        {"POST", "/api/set", {origin, "Cookie: " + cookie, json}, "{\"op\":\"auth\"}", 400, "unknown member"},
        {"POST", "/api/set", {origin, "Cookie: " + cookie, json}, "{\"speed\":1}", 400, "unknown member"},
        {"POST", "/api/reporting", {origin, "Cookie: " + cookie, json}, "{}", 400, "needs \\\"set\\\""},
        // The library's own range check and text.
        {"POST", "/api/set", {origin, "Cookie: " + cookie, json}, "{\"torque\":150}", 400, "ValueException"},
    };
    for (const auto& c : cases) {
        const Response r = http(port, c.method, c.path, c.headers, c.body);
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.path.substr(0, 60) << ": " << r.body;
        EXPECT_NE(r.body.find(c.says), std::string::npos) << c.method << " " << c.path.substr(0, 60) << ": " << r.body;
        EXPECT_EQ(r.header("content-type"), "application/json");
    }
    // A body without its length, and headers past the bound.
    EXPECT_EQ(http(port, "POST", "/api/set", {origin, "Cookie: " + cookie, json, "Transfer-Encoding: chunked"},
                   "5\r\n{\"a\":\r\n0\r\n\r\n", false)
                  .status,
              411);
    EXPECT_GE(http(port, "GET", "/api/status", {"X-Filler: " + std::string(20000, 'x')}).status, 400);
    // Nothing of it reached the station.
    EXPECT_EQ(socketAsk({{"op", "config"}})["data"]["cableRetractionTorque"], 40);
    EXPECT_EQ(http(port, "GET", "/api/status").status, 200);
}

TEST_F(Http, OnlyNamesOfThisServerAreAnswered) {
    startDaemon({"--http-host", "dash.example"});
    // A page whose name was pointed here (DNS rebinding) can neither read nor sign in.
    const std::string evil = "evil.example:" + std::to_string(port);
    for (const char* path : {"/", "/api/status", "/metrics"}) {
        const Response r = http(port, "GET", path, {"Host: " + evil});
        EXPECT_EQ(r.status, 421) << path;
        EXPECT_NE(r.body.find("--http-host"), std::string::npos) << r.body;
    }
    const Response r = http(port, "POST", "/api/login",
                            {"Host: " + evil, "Origin: http://" + evil, "Content-Type: application/json"},
                            json({{"token", token}}).dump());
    EXPECT_EQ(r.status, 421);
    EXPECT_EQ(r.header("set-cookie"), "");
    // Its address, localhost and the names given, with any port (a tunnel's), are answered.
    for (const char* host : {"localhost:9999", "LOCALHOST", "[::1]:8080", "10.0.0.7", "Dash.Example.:443"})
        EXPECT_EQ(http(port, "GET", "/api/status", {std::string("Host: ") + host}).status, 200) << host;
}

TEST_F(Http, ChangesNeedASessionAndThePagesOwnOrigin) {
    startDaemon();
    const json torque = {{"torque", 55}};
    Response r = post(port, "/api/set", torque);
    EXPECT_EQ(r.status, 403);
    EXPECT_NE(r.body.find("needs the token"), std::string::npos) << r.body;
    // Anyone may ask, but a flood of refusals is not a flood of log lines.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(post(port, "/api/set", torque).status, 403);
    const std::string log = daemonLog();
    ASSERT_NE(log.find("refused a change"), std::string::npos) << log;
    EXPECT_EQ(log.find("refused a change"), log.rfind("refused a change")) << log;

    EXPECT_EQ(post(port, "/api/login", {{"token", "wrong-token-0123456789"}}).status, 403);
    r = post(port, "/api/login", {{"token", token}}, "", "http://evil.example");
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(r.header("set-cookie"), "");
    r = post(port, "/api/login", {{"token", token}});
    ASSERT_EQ(r.status, 200) << r.body;
    const std::string setCookie = r.header("set-cookie");
    for (const char* part : {"; Max-Age=43200", "; Path=/", "; HttpOnly", "; SameSite=Strict"})
        EXPECT_NE(setCookie.find(part), std::string::npos) << setCookie;
    const std::string cookie = setCookie.substr(0, setCookie.find(';'));
    EXPECT_GE(cookie.size(), std::string("moorwinch_session=").size() + 32);  // 128 bits and more, in hex
    EXPECT_EQ(http(port, "GET", "/api/session", {"Cookie: " + cookie}).reply()["data"]["signedIn"], true);

    // A page of another origin, or none, cannot use the session.
    for (const char* origin : {"http://evil.example", "http://127.0.0.1:1", "null"}) {
        r = post(port, "/api/set", torque, cookie, origin);
        EXPECT_EQ(r.status, 403) << origin;
        EXPECT_NE(r.body.find("Origin"), std::string::npos) << r.body;
    }
    EXPECT_EQ(http(port, "POST", "/api/set", {"Cookie: " + cookie, "Content-Type: application/json"}, torque.dump())
                  .status,
              403);
    EXPECT_EQ(socketAsk({{"op", "config"}})["data"]["cableRetractionTorque"], 40);

    r = post(port, "/api/set", torque, cookie);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.reply()["data"]["cableRetractionTorque"], 55);
    EXPECT_EQ(socketAsk({{"op", "config"}})["data"]["cableRetractionTorque"], 55);
    r = post(port, "/api/reporting", {{"set", {{"env", 0}}}}, cookie);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.reply()["data"]["env"], 0);
    EXPECT_NE(daemonLog().find("over HTTP"), std::string::npos);  // the author in the log

    r = post(port, "/api/logout", json::object(), cookie);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.header("set-cookie").find("Max-Age=0"), std::string::npos);
    EXPECT_EQ(post(port, "/api/set", {{"torque", 60}}, cookie).status, 403);
    EXPECT_EQ(socketAsk({{"op", "config"}})["data"]["cableRetractionTorque"], 55);
}

TEST_F(Http, HistoryAndEventsAnswerAsTheSocketDoes) {
    startDaemon();
    Response r = http(port, "GET", "/api/history?since=1m");
    EXPECT_EQ(r.status, 503);
    EXPECT_NE(r.body.find("--history"), std::string::npos) << r.body;
    EXPECT_EQ(http(port, "GET", "/api/session").reply()["data"]["history"], false);
    stopDaemon();

    startDaemon({"--history", dir + "/history.db"});
    EXPECT_EQ(http(port, "GET", "/api/session").reply()["data"]["history"], true);
    // The dashboard's /metrics has the history's counters as the metrics server has them.
    EXPECT_NE(http(port, "GET", "/metrics").body.find("\nmoorwinch_history_write_errors_total 0\n"), std::string::npos);
    const std::string since = "/api/history?since=10m&fields=cableLength,uavPowerConsumption";
    ASSERT_TRUE(eventually([&] { return !http(port, "GET", since).reply()["data"]["rows"].empty(); }));
    r = http(port, "GET", since + "&step=1");
    ASSERT_EQ(r.status, 200) << r.body;
    const json bucket = r.reply()["data"]["buckets"].at(0);
    EXPECT_TRUE(bucket["cableLength"]["mean"].is_number()) << bucket;
    EXPECT_FALSE(bucket.contains("mainsVoltage"));
    const json socket = socketAsk({{"op", "events"}, {"since", "10m"}});
    r = http(port, "GET", "/api/events?since=10m");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.reply()["data"]["events"].at(0), socket["data"]["events"].at(0));  // "connected"
    for (const char* bad : {"/api/history?fields=speed", "/api/history?since=1m&until=2m", "/api/history?step=fast",
                            "/api/history?step=0", "/api/events?since=yesterday", "/api/events?step=1"}) {
        r = http(port, "GET", bad);
        EXPECT_EQ(r.status, 400) << bad << " " << r.body;
    }
}

TEST_F(Http, WrongTokensSlowTheirAddressDown) {
    startDaemon();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(post(port, "/api/login", {{"token", "guess-" + std::to_string(i)}}).status, 403);
    // Further guesses are refused late; the right token, from the same address, still signs in.
    const Response r = post(port, "/api/login", {{"token", "guess-3"}});
    EXPECT_EQ(r.status, 429) << r.body;
    const int wait = std::atoi(r.header("retry-after").c_str());
    EXPECT_GE(wait, 1);
    EXPECT_LE(wait, 60);
    EXPECT_EQ(r.header("set-cookie"), "");
    EXPECT_NE(signIn(), "");
}

TEST_F(Http, WithoutATokenFileTheDashboardIsReadOnly) {
    withToken = false;
    startDaemon();
    EXPECT_EQ(http(port, "GET", "/api/session").reply()["data"]["signIn"], false);
    const Response r = post(port, "/api/login", {{"token", token}});
    EXPECT_EQ(r.status, 403);
    EXPECT_NE(r.body.find("read-only"), std::string::npos) << r.body;
    EXPECT_EQ(post(port, "/api/set", {{"torque", 55}}).status, 403);
}

TEST_F(Http, StreamsAreBoundedAndResumeAcrossARestart) {
    startDaemon({"--http-max-streams", "2"});
    auto first = std::make_unique<EventStream>(port);
    ASSERT_EQ(first->response.status, 200);
    EXPECT_EQ(first->response.header("content-type"), "text/event-stream; charset=utf-8");
    EXPECT_EQ(first->response.header("cache-control"), "no-store");
    // A new stream starts with the watch reply, the state, the latest status and the verdict.
    EventStream::Frame f = first->next();
    EXPECT_EQ(f.event, "watch");
    EXPECT_EQ(f.data["data"]["watching"], true);
    EXPECT_EQ(f.data["resumed"], false);
    EXPECT_EQ(first->next().event, "state");
    EXPECT_EQ(first->next().event, "status");
    EXPECT_EQ(first->next().event, "check");
    f = first->next("status");
    ASSERT_FALSE(f.id.empty());
    EXPECT_TRUE(f.data["data"]["cableLength"].is_number()) << f.data;

    EventStream second(port);
    EXPECT_EQ(second.response.status, 200);
    EventStream third(port);
    EXPECT_EQ(third.response.status, 503);

    // A stream that comes back with the last id it saw misses nothing.
    const std::string seen = f.id;
    const int poll = f.data["poll"];
    first.reset();
    // The slot of the closed stream is free again once its end is noticed, at its next event.
    ASSERT_TRUE(eventually([&] {
        first = std::make_unique<EventStream>(port, seen);
        return first->response.status == 200;
    }));
    f = first->next("watch");
    EXPECT_EQ(f.data["resumed"], true);
    f = first->next("status");
    EXPECT_EQ(f.data["poll"], poll + 1);

    // After a restart the old id is another run's: a fresh start, on the same port.
    const int at = port;
    stopDaemon();
    startDaemon({}, "127.0.0.1:" + std::to_string(at));
    EventStream again(port, seen);
    ASSERT_EQ(again.response.status, 200);
    f = again.next("watch");
    EXPECT_EQ(f.data["resumed"], false);
    EXPECT_EQ(again.next().event, "state");
    f = again.next("status");
    EXPECT_TRUE(f.data["data"]["cableLength"].is_number());
    EXPECT_NE(f.id.substr(0, f.id.find('-')), seen.substr(0, seen.find('-')));
}

}  // namespace
