// Who may change the station over HTTP: sessions opened by POST /api/login with
// the service's token, and a brake on addresses that guess the token. Safe
// from every thread of the HTTP server.
#ifndef MOORWINCHD_HTTP_SESSIONS_H
#define MOORWINCHD_HTTP_SESSIONS_H

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Station.h"

namespace moorwinchd {

constexpr std::chrono::hours sessionLifetime{12};
// Sessions at once; a new one ends the oldest.
constexpr std::size_t maxSessions = 64;
// Wrong tokens from one address within the window; more are answered 429
// (late) until the first of them leaves it. The right token always signs in.
constexpr std::size_t wrongTokensAllowed = 3;
constexpr std::chrono::minutes wrongTokenWindow{1};
// Addresses remembered for the brake; the oldest are forgotten beyond it.
constexpr std::size_t maxTrackedAddresses = 4096;

class Sessions {
public:
    // A new session's id: 256 random bits from the kernel, in hex. Throws
    // std::runtime_error when the kernel gives none.
    std::string open(Clock::time_point now);
    // Every session is compared in constant time, so that the answer's time
    // says nothing about how close a guess came.
    bool valid(const std::string& id, Clock::time_point now);
    void close(const std::string& id);

    // Counts a wrong token from the address. Returns 0 while the address is
    // within its allowance, else the seconds until a wrong token would be
    // within it again.
    long wrongToken(const std::string& address, Clock::time_point now);

private:
    struct Session {
        std::string id;
        Clock::time_point expires;
    };
    void forgetOld(Clock::time_point now);

    std::mutex mutex;
    std::vector<Session> sessions;  // oldest first
    std::map<std::string, std::deque<Clock::time_point>> wrong;
};

}  // namespace moorwinchd

#endif
