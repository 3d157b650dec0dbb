// The station through moorwinchd: the same commands as requests on the
// service's socket (Unix, or TCP for HOST:PORT). Station failures come back as
// the library's exceptions with the library's texts, so output and exit codes
// are those of the library backend; the service's own refusals (Forbidden,
// Unavailable, BadRequest) and data it marks stale are std::runtime_error.
#ifndef MOORWINCH_TOOL_SERVICE_BACKEND_H
#define MOORWINCH_TOOL_SERVICE_BACKEND_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "StationBackend.h"

namespace moorwinch_tool {

// "" for the default: /run/moorwinch/moorwinchd.sock, or
// $XDG_RUNTIME_DIR/moorwinchd.sock when only that exists.
std::string defaultServiceSocket();

class ServiceBackend : public StationBackend {
public:
    // address: a socket path, or [HOST:]PORT for TCP ("" the default socket).
    // tokenFile, when not empty, holds the token given before anything else.
    // replyWaitMs bounds the wait for each reply; trace, when not null,
    // receives every line to and from the service.
    ServiceBackend(std::string address, std::string tokenFile, unsigned int replyWaitMs, std::ostream* trace);
    ~ServiceBackend() override;

    VersionInfo version() override;
    std::vector<PortEntry> ports() override;
    void connect() override;
    void reconnect() override;
    void getStatus(Status& status) override;
    void getDetails(Details& details) override;
    void getConfig(Config& config) override;
    void getReporting(Reporting& reporting) override;
    void setTorque(unsigned int percent) override;
    void setStartLength(float metres) override;
    void setActivation(bool on) override;
    void setReporting(const Reporting& reporting) override;

    // For watch: the service's status events instead of polls of our own.
    struct Event {
        enum Kind { status, connected, disconnected, closed, stopped } kind;
        std::chrono::system_clock::time_point time;
        Status data;
        std::string error;  // disconnected: why
    };
    // Subscribes; true when the station is connected now.
    bool subscribe();
    // The next event; stopped when stopFd becomes readable first.
    Event next(int stopFd);
    const std::string& where() const { return address; }

private:
    nlohmann::json ask(nlohmann::json request);
    nlohmann::json read(const nlohmann::json& request, const char* what);
    // One line from the service; "" when it closed or the deadline passed.
    std::string line(int waitMs, int stopFd = -1, bool* stopped = nullptr);
    void send(const std::string& text);
    void close();

    std::string address;
    std::string tokenFile;
    unsigned int replyWaitMs;
    std::ostream* trace;
    int fd = -1;
    std::string buffer;
    std::deque<std::string> events;  // arrived while a reply was awaited
    std::uint64_t nextId = 1;
};

}  // namespace moorwinch_tool

#endif
