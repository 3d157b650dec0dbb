#include "HttpSessions.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Auth.h"
#include "Log.h"

namespace moorwinchd {
namespace {

constexpr std::size_t idBytes = 32;

}  // namespace

std::string Sessions::open(Clock::time_point now) {
    unsigned char random[idBytes];
    std::size_t got = 0;
    while (got < idBytes) {
        const ssize_t n = ::getrandom(random + got, idBytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::string("no random bytes for a session: ") + std::strerror(errno));
        got += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string id;
    for (unsigned char byte : random) {
        id += digits[byte >> 4];
        id += digits[byte & 15];
    }
    std::lock_guard<std::mutex> lock(mutex);
    forgetOld(now);
    if (sessions.size() >= maxSessions) {
        sessions.erase(sessions.begin());
        log(Level::notice, "a sign-in over HTTP with ", maxSessions, " sessions open: the oldest session ends");
    }
    sessions.push_back(Session{id, now + sessionLifetime});
    return id;
}

bool Sessions::valid(const std::string& id, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex);
    forgetOld(now);
    bool found = false;
    for (const Session& s : sessions) found = sameSecret(id, s.id) || found;
    return found;
}

void Sessions::close(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex);
    sessions.erase(
        std::remove_if(sessions.begin(), sessions.end(), [&](const Session& s) { return sameSecret(id, s.id); }),
        sessions.end());
}

void Sessions::forgetOld(Clock::time_point now) {
    sessions.erase(std::remove_if(sessions.begin(), sessions.end(), [&](const Session& s) { return s.expires <= now; }),
                   sessions.end());
}

long Sessions::wrongToken(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex);
    if (wrong.size() >= maxTrackedAddresses && !wrong.count(address)) {
        // Forget the addresses whose window has passed, else the one heard from longest ago.
        for (auto it = wrong.begin(); it != wrong.end();)
            it = it->second.back() + wrongTokenWindow <= now ? wrong.erase(it) : std::next(it);
        if (wrong.size() >= maxTrackedAddresses)
            wrong.erase(std::min_element(wrong.begin(), wrong.end(), [](const auto& a, const auto& b) {
                return a.second.back() < b.second.back();
            }));
    }
    auto& times = wrong[address];
    while (!times.empty() && times.front() + wrongTokenWindow <= now) times.pop_front();
    const bool braked = times.size() >= wrongTokensAllowed;
    times.push_back(now);
    while (times.size() > wrongTokensAllowed) times.pop_front();
    if (!braked) return 0;
    const auto left = times.front() + wrongTokenWindow - now;
    return std::max<long>(1, static_cast<long>(std::chrono::ceil<std::chrono::seconds>(left).count()));
}

}  // namespace moorwinchd
