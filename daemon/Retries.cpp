#include "Retries.h"

#include <stdexcept>

#include "Log.h"

namespace moorwinchd {

Retries::~Retries() { stop(); }

void Retries::add(std::string what, std::function<bool()> attempt) {
    retries.push_back(Retry{std::move(what), std::move(attempt)});
}

void Retries::start() {
    if (!retries.empty() && !thread.joinable()) thread = std::thread([this] { run(); });
}

void Retries::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    stopped.notify_all();
    if (thread.joinable()) thread.join();
}

void Retries::run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!retries.empty()) {
        if (stopped.wait_for(lock, retryEvery, [this] { return stopping; })) return;
        lock.unlock();
        for (auto it = retries.begin(); it != retries.end();) {
            bool done;
            try {
                done = it->attempt();
            } catch (const std::exception& e) {
                log(Level::error, it->what, ": ", e.what(), "; not tried again");
                done = true;
            }
            it = done ? retries.erase(it) : it + 1;
        }
        lock.lock();
    }
}

}  // namespace moorwinchd
