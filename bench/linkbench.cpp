// MoorwinchLinkBench: exchanges over a real serial device, timed from outside.
// With --client library it drives the public class; with --client bare it is
// the floor to compare with: a raw port, poll(2), block reads and one JSON
// parse per reply. Prints one line of figures: latency median and 95th
// percentile, CPU per exchange (user + system of this process), exchanges per
// second, bytes per exchange and, with --baud, the share of the rate at which
// a line of that speed can carry the replies.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Moorwinch.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string port;
    std::string client = "library";
    std::string query = "status";  // status, details, activation
    unsigned long count = 200;
    unsigned int timeoutMs = 400;
    unsigned long baud = 0;         // the station's pacing; 0: unpaced
    bool expectSilence = false;     // every exchange is meant to time out
};

[[noreturn]] void usage(int code) {
    std::fprintf(code ? stderr : stdout,
                 "Usage: MoorwinchLinkBench --port PATH [--client library|bare] [--query status|details|activation]\n"
                 "                          [--count N] [--timeout MS] [--baud N] [--expect-silence]\n");
    std::exit(code);
}

unsigned long number(const char* text, unsigned long low, unsigned long high) {
    char* end = nullptr;
    errno = 0;
    unsigned long value = text ? std::strtoul(text, &end, 10) : 0;
    if (!text || *text == '\0' || *text == '-' || *end != '\0' || errno != 0 || value < low || value > high) usage(2);
    return value;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The floor: what any client has to do for one exchange.
class BareClient {
public:
    explicit BareClient(const std::string& port) {
        fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("open " + port + ": " + std::strerror(errno));
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        cfsetspeed(&tio, B115200);
        tcsetattr(fd, TCSANOW, &tio);
        tcflush(fd, TCIFLUSH);
    }
    ~BareClient() { ::close(fd); }

    // One request, one reply line; notes the bytes of each.
    void exchange(const std::string& command, int timeoutMs, std::size_t& requestBytes, std::size_t& replyBytes) {
        const unsigned id = ids(engine);
        const std::string request =
            "{\"COM\":{\"MSG_ID\":" + std::to_string(id) + "},\"COMMAND\":{\"" + command + "\":1}}\n";
        if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
            throw std::runtime_error("write failed");
        std::string line;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (!line.empty() && line.back() == '\n') break;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) throw std::runtime_error("timeout");
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char block[4096];
            const ssize_t n = ::read(fd, block, sizeof block);
            if (n <= 0) throw std::runtime_error("read failed");
            line.append(block, static_cast<std::size_t>(n));
        }
        const nlohmann::json reply = nlohmann::json::parse(line);
        if (reply.at("COM").at("MSG_ID").get<unsigned>() != id) throw std::runtime_error("wrong id");
        requestBytes = request.size();
        replyBytes = line.size();
    }

private:
    int fd = -1;
    std::mt19937 engine{std::random_device{}()};
    std::uniform_int_distribution<unsigned> ids{1000, 65535};
};

const char* commandOf(const std::string& query) {
    if (query == "details") return "GET_SYSTEM_DETAILS";
    if (query == "activation") return "SET_ACTIVATION";
    return "GET_SYSTEM_STATUS";
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--help" || a == "-h") usage(0);
        if (a == "--expect-silence") {
            o.expectSilence = true;
            continue;
        }
        if (!v) usage(2);
        ++i;
        if (a == "--port") o.port = v;
        else if (a == "--client") o.client = v;
        else if (a == "--query") o.query = v;
        else if (a == "--count") o.count = number(v, 1, 10000000);
        else if (a == "--timeout") o.timeoutMs = static_cast<unsigned>(number(v, 1, 600000));
        else if (a == "--baud") o.baud = number(v, 1, 100000000);
        else usage(2);
    }
    if (o.port.empty() || (o.client != "library" && o.client != "bare") ||
        (o.query != "status" && o.query != "details" && o.query != "activation"))
        usage(2);

    try {
        KORVANE::Moorwinch winch;
        std::unique_ptr<BareClient> bare;
        std::size_t requestBytes = 0, replyBytes = 0;  // of the warm-up exchange
        if (o.client == "library") {
            winch.setConnectionTimeout(o.timeoutMs);
            try {
                winch.openConnection(o.port);
            } catch (const KORVANE::IOException&) {
                // A silent station leaves the port open without a handshake.
                if (!o.expectSilence || !winch.isConnected()) throw;
            }
            winch.setTrace([&](KORVANE::Moorwinch::traceDirection d, const std::string& line,
                               std::chrono::system_clock::time_point) {
                (d == KORVANE::Moorwinch::traceDirection::sent ? requestBytes : replyBytes) = line.size() + 1;
            });
        } else {
            bare = std::make_unique<BareClient>(o.port);
        }
        const int factor = o.query == "details" ? 10 : o.query == "activation" ? 30 : 1;
        const std::string command = commandOf(o.query);
        auto once = [&] {
            if (bare) {
                bare->exchange(command, static_cast<int>(o.timeoutMs) * factor, requestBytes, replyBytes);
                return;
            }
            if (o.query == "details") {
                KORVANE::Moorwinch::systemDetails details;
                winch.getSystemDetails(details);
            } else if (o.query == "activation") {
                winch.setSystemActivation(true);
            } else {
                KORVANE::Moorwinch::systemStatus status;
                winch.getSystemStatus(status);
            }
        };
        unsigned long failures = 0;
        auto attempt = [&] {
            try {
                once();
            } catch (const std::exception& e) {
                if (!o.expectSilence && failures == 0) std::fprintf(stderr, "exchange failed: %s\n", e.what());
                ++failures;
            }
        };
        attempt();  // warm-up; also measures the bytes
        if (!bare) winch.clearTrace();

        std::vector<double> latencies;
        latencies.reserve(o.count);
        failures = 0;
        const double cpuStart = cpuSeconds();
        const auto start = Clock::now();
        for (unsigned long i = 0; i < o.count; ++i) {
            const auto t0 = Clock::now();
            attempt();
            latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = cpuSeconds() - cpuStart;
        std::sort(latencies.begin(), latencies.end());
        const double median = latencies[latencies.size() / 2];
        const double p95 = latencies[std::min(latencies.size() - 1, latencies.size() * 95 / 100)];
        const double rate = o.count / wall;
        std::printf("client=%s query=%s count=%lu failures=%lu median_ms=%.3f p95_ms=%.3f cpu_ms_per_exchange=%.4f "
                    "exchanges_per_s=%.2f bytes_per_exchange=%zu",
                    o.client.c_str(), o.query.c_str(), o.count, failures, median, p95, cpu * 1000 / o.count, rate,
                    requestBytes + replyBytes);
        if (o.baud) {
            // The station paces its replies: the line-rate limit is the reply's
            // bytes at 10 bits a byte.
            const double limit = static_cast<double>(o.baud) / 10.0 / static_cast<double>(replyBytes);
            std::printf(" line_rate_limit_per_s=%.3f share=%.4f", limit, rate / limit);
        }
        std::printf("\n");
        return failures == 0 || o.expectSilence ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "MoorwinchLinkBench: %s\n", e.what());
        return 1;
    }
}
