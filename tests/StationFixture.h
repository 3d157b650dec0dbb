// A pseudo-terminal ground station and an implementation object connected to
// it, for tests that exchange over a real device path.
#ifndef MOORWINCH_TESTS_STATION_FIXTURE_H
#define MOORWINCH_TESTS_STATION_FIXTURE_H

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>

#include "MoorwinchImpl.h"
#include "PtyStation.h"

namespace moorwinch_test {

using moorwinch_sim::PtyStation;
using Clock = std::chrono::steady_clock;

inline bool isRequestFor(const std::string& line, const char* command) {
    return line.find(std::string("\"") + command + "\"") != std::string::npos;
}

// The handshake reply of a station speaking protocol 1.36.
inline std::string protocolReply(const std::string& request, const std::string& version = "\"1.36\"") {
    return PtyStation::reply(request, "\"SYSTEM_DETAILS\":{\"PROTOCOL_VERSION\":" + version + "}");
}

inline long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Descriptors an open connection holds on its device: the port's own and the
// one that holds the device's lock.
constexpr int portDescriptors = 2;

// How many descriptors of this process refer to path.
inline int descriptorsOpenTo(const std::string& path) {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    while (dirent* entry = readdir(dir)) {
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[PATH_MAX] = {};
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && path == std::string(target, static_cast<std::size_t>(n))) ++count;
    }
    closedir(dir);
    return count;
}

// An implementation object connected to a station that speaks protocol 1.36.
class StationTest : public ::testing::Test {
protected:
    using Handler = PtyStation::Handler;

    // Answers the handshake itself and every other request with answer.
    void answerWith(Handler answer) {
        station.setHandler([answer](const std::string& line, PtyStation& s) {
            if (isRequestFor(line, "GET_PROTOCOL"))
                s.send(protocolReply(line));
            else if (answer)
                answer(line, s);
        });
    }

    void connect(unsigned int timeoutMs = 50) {
        answerWith(nullptr);
        impl.setConnectionTimeout(timeoutMs);
        impl.openConnection(station.devicePath());
        station.clearRequests();
    }

    PtyStation station;
    KORVANE::Moorwinch::MoorwinchImpl impl;
};

}  // namespace moorwinch_test

#endif
