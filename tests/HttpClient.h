// A plain HTTP/1.1 client over the harness's TCP connections, for the
// service's dashboard server: one request a connection, and event streams read
// frame by frame.
#ifndef MOORWINCH_TESTS_HTTP_CLIENT_H
#define MOORWINCH_TESTS_HTTP_CLIENT_H

#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "DaemonHarness.h"

namespace moorwinch_test {

struct Response {
    int status = 0;  // 0: no answer
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
    json reply() const { return json::parse(body, nullptr, false); }
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

inline std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Splits the head of a response; the status is 0 when it is not one.
inline Response parseHead(const std::string& head) {
    Response r;
    std::istringstream lines(head);
    std::string line;
    if (!std::getline(lines, line) || line.compare(0, 5, "HTTP/") != 0) return r;
    r.status = std::atoi(line.c_str() + line.find(' ') + 1);
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        r.headers[lowerCase(line.substr(0, colon))] = value;
    }
    return r;
}

// Sends one request (with Connection: close) and reads the response to its end.
inline Response http(int port, const std::string& method, const std::string& path,
                     const std::vector<std::string>& headers = {}, const std::string& body = "",
                     bool withLength = true) {
    Connection c(dialTcp(port));
    if (!c.open()) return {};
    std::string request = method + " " + path + " HTTP/1.1\r\nConnection: close\r\n";
    bool host = false;
    for (const std::string& h : headers) {
        request += h + "\r\n";
        host = host || h.compare(0, 5, "Host:") == 0;
    }
    if (!host) request += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    if (withLength && (!body.empty() || method == "POST"))
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    c.send(request + "\r\n" + body);
    const std::string response = c.rest();
    const std::size_t end = response.find("\r\n\r\n");
    if (end == std::string::npos) return {};
    Response r = parseHead(response.substr(0, end));
    r.body = response.substr(end + 4);
    return r;
}

// A POST of JSON as the dashboard sends it: from its own origin, with the
// session's cookie when there is one.
inline Response post(int port, const std::string& path, const json& body, const std::string& cookie = "",
                     const std::string& origin = "") {
    std::vector<std::string> headers = {"Content-Type: application/json",
                                        "Origin: " + (origin.empty() ? "http://127.0.0.1:" + std::to_string(port)
                                                                     : origin)};
    if (!cookie.empty()) headers.push_back("Cookie: " + cookie);
    return http(port, "POST", path, headers, body.dump());
}

// An event stream: the response's head, then one event at a time.
class EventStream {
public:
    struct Frame {
        std::string id, event;
        json data;
    };

    EventStream(int port, const std::string& lastId = "") : c(dialTcp(port)) {
        if (!c.open()) return;
        std::string request = "GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
        if (!lastId.empty()) request += "Last-Event-ID: " + lastId + "\r\n";
        c.send(request + "\r\n");
        std::string head;
        for (std::string line = c.line(); !line.empty() && line != "\r"; line = c.line()) head += line + "\n";
        response = parseHead(head);
    }

    // The next event with data (comments and retry lines skipped); an empty
    // event at the end of the stream or on timeout.
    Frame next(std::chrono::milliseconds limit = patience) {
        const auto deadline = Clock::now() + limit;
        Frame f;
        while (Clock::now() < deadline) {
            const std::string line =
                c.line(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (line.empty()) {
                if (c.ended) return Frame{};
                if (!f.event.empty()) return f;
                continue;
            }
            if (line.compare(0, 4, "id: ") == 0) f.id = line.substr(4);
            else if (line.compare(0, 7, "event: ") == 0) f.event = line.substr(7);
            else if (line.compare(0, 6, "data: ") == 0) f.data = json::parse(line.substr(6), nullptr, false);
        }
        return Frame{};
    }

    // The next event of this kind, passing over others.
    Frame next(const std::string& kind, std::chrono::milliseconds limit = patience) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            Frame f = next(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (f.event.empty() || f.event == kind) return f;
        }
        return Frame{};
    }

    Connection c;
    Response response;
};

}  // namespace moorwinch_test

#endif
