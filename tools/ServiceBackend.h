// The station through moorwinchd: the same commands as requests on the
// service's socket (Unix, or TCP). Station failures come back as the library's
// exceptions with the library's texts and kinds, so output and exit codes are
// those of the library backend; the service's own refusals, its absence and
// data it marks stale are ServiceError.
#ifndef MOORWINCH_TOOL_SERVICE_BACKEND_H
#define MOORWINCH_TOOL_SERVICE_BACKEND_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "Arguments.h"
#include "StationBackend.h"

namespace moorwinch_tool {

// /run/moorwinch/moorwinchd.sock, or $XDG_RUNTIME_DIR/moorwinchd.sock when only that exists.
std::string defaultServiceSocket();

class ServiceBackend : public StationBackend {
public:
    // tokenFile, when not empty, holds the token given before anything else.
    // replyWaitMs bounds the connect and the wait for each reply; trace, when
    // not null, receives every line to and from the service.
    ServiceBackend(ServiceAddress address, std::string tokenFile, unsigned int replyWaitMs, std::ostream* trace);
    ~ServiceBackend() override;
    ServiceBackend(const ServiceBackend&) = delete;
    ServiceBackend& operator=(const ServiceBackend&) = delete;

    // The wait for one reply, from the station's connection timeout: a change
    // may wait for a poll and run for up to 31 of them, plus the service's own
    // lock and line waits.
    static unsigned int replyWaitMs(unsigned int timeoutMs) { return 35 * timeoutMs + 1000; }

    std::string subject() const override { return "moorwinchd at " + where; }
    void getStatus(Status& status) override;
    void getDetails(Details& details) override;
    void getConfig(Config& config) override;
    void getReporting(Reporting& reporting) override;
    void setTorque(unsigned int percent) override;
    void setStartLength(float metres) override;
    void setActivation(bool on) override;
    void changeReporting(const ReportingChange& change) override;
    std::unique_ptr<SampleSource> samples(double intervalSeconds) override;

    // A question whose answer is a list (history, events): the reply, with each
    // item of its data's list handed to take as it is read and left out, so
    // that a long answer is never held as JSON. ServiceError as ask.
    nlohmann::json askItems(nlohmann::json request, const std::function<void(const nlohmann::json&)>& take);

private:
    class Subscription;  // watch's source
    friend class Subscription;

    enum class Arrival { line, time, stop, closed };

    void connect();
    void close();
    nlohmann::json ask(nlohmann::json request);
    nlohmann::json exchange(nlohmann::json request, const std::function<void(const nlohmann::json&)>* take);
    // A read's data; stale data are a failure.
    nlohmann::json read(const char* op);
    // The next line from the service (lines that came during a request first),
    // waiting until the time point or until stopFd (when not -1) is readable.
    Arrival nextLine(std::string& text, std::chrono::steady_clock::time_point until, int stopFd);
    bool send(const std::string& text);
    [[noreturn]] void raise(const nlohmann::json& error);

    ServiceAddress address;
    std::string where;  // the address as shown
    std::string tokenFile;
    unsigned int waitMs;
    std::ostream* trace;
    int fd = -1;
    std::string buffer;
    std::size_t scanned = 0;  // bytes of buffer known to hold no line end
    std::size_t lineLimit = 0;
    std::string closedBecause;       // why the last read found the connection closed
    std::deque<std::string> events;  // arrived while a reply was awaited
    std::uint64_t nextId = 1;
};

}  // namespace moorwinch_tool

#endif
