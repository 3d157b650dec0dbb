#include "HttpStream.h"

#include <cerrno>
#include <cstdlib>

namespace moorwinchd {

// The run is the service's start in microseconds: unique enough across
// restarts, and growing, so that ids of different runs never collide.
Broadcast::Broadcast()
    : run(std::to_string(
          std::chrono::duration_cast<std::chrono::microseconds>(WallClock::now().time_since_epoch()).count())) {}

std::string Broadcast::id(std::uint64_t number) const { return run + "-" + std::to_string(number); }

bool Broadcast::resumable(const std::string& text, std::uint64_t& number) const {
    if (text.size() > 64 || text.compare(0, run.size() + 1, run + "-") != 0) return false;
    const std::string digits = text.substr(run.size() + 1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    number = std::strtoull(digits.c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    std::lock_guard<std::mutex> lock(mutex);
    const std::uint64_t newest = next - 1;
    const std::uint64_t oldestKept = items.empty() ? next : items.front().number;
    return number <= newest && number + 1 >= oldestKept;
}

void Broadcast::publish(std::string kind, std::shared_ptr<const std::string> line) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back(Item{next++, std::move(kind), std::move(line)});
        if (items.size() > keptStreamEvents) items.pop_front();
    }
    arrived.notify_all();
}

std::uint64_t Broadcast::last() const {
    std::lock_guard<std::mutex> lock(mutex);
    return next - 1;
}

Broadcast::Wait Broadcast::wait(std::uint64_t after, Clock::time_point until, std::vector<Item>& out) {
    out.clear();
    std::unique_lock<std::mutex> lock(mutex);
    if (!arrived.wait_until(lock, until, [&] { return stopping || next - 1 > after; }))
        return Wait::timeout;
    if (stopping) return Wait::stopped;
    if (items.empty() || items.front().number > after + 1) return Wait::behind;
    for (const Item& item : items)
        if (item.number > after) out.push_back(item);
    return Wait::events;
}

void Broadcast::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    arrived.notify_all();
}

}  // namespace moorwinchd
