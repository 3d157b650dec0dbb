// Listeners whose address is not there yet (at boot, before the network is
// up) are tried again on a thread of their own, so that a name that resolves
// slowly never holds up the socket loop or the station.
#ifndef MOORWINCHD_RETRIES_H
#define MOORWINCHD_RETRIES_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace moorwinchd {

// How often a listener whose address is not there yet is tried again.
constexpr std::chrono::seconds retryEvery{2};

class Retries {
public:
    Retries() = default;
    // Waits for an attempt in progress.
    ~Retries();
    Retries(const Retries&) = delete;
    Retries& operator=(const Retries&) = delete;

    // Tried every retryEvery, from the first start() on, until it returns
    // true; what it throws is logged and ends its retries. Before start() only.
    void add(std::string what, std::function<bool()> attempt);
    void start();
    void stop();

private:
    struct Retry {
        std::string what;
        std::function<bool()> attempt;
    };
    void run();

    std::vector<Retry> retries;  // the thread's own once it runs
    std::mutex mutex;
    std::condition_variable stopped;
    bool stopping = false;
    std::thread thread;
};

}  // namespace moorwinchd

#endif
