// The station's events for the HTTP event streams. Each gets a number; the last
// ones are kept so that a browser that reconnects with the id it saw last
// (Last-Event-ID) is given what it missed instead of a fresh start. Numbers
// belong to one run of the service: an id names the run too, so that after a
// restart an old id is recognised as such.
#ifndef MOORWINCHD_HTTP_STREAM_H
#define MOORWINCHD_HTTP_STREAM_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Station.h"

namespace moorwinchd {

// Events kept for streams that reconnect or fall behind: about four minutes of
// polls at the default interval.
constexpr std::size_t keptStreamEvents = 256;

class Broadcast {
public:
    struct Item {
        std::uint64_t number;
        std::string kind;
        std::shared_ptr<const std::string> line;  // with its "\n"
    };
    enum class Wait { events, timeout, stopped, behind };

    Broadcast();

    // The SSE id of an event of this run.
    std::string id(std::uint64_t number) const;
    // The number of an id of this run that is still kept (every event after it
    // is); false for another run's id, a malformed one or one too old.
    bool resumable(const std::string& id, std::uint64_t& number) const;

    void publish(std::string kind, std::shared_ptr<const std::string> line);
    std::uint64_t last() const;
    // Waits until events after `after` are there (then copies them), the time
    // passes or stop() is called. behind: some of them are no longer kept.
    Wait wait(std::uint64_t after, Clock::time_point until, std::vector<Item>& items);
    void stop();

private:
    const std::string run;
    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Item> items;
    std::uint64_t next = 1;
    bool stopping = false;
};

}  // namespace moorwinchd

#endif
