// MoorwinchSoak: a long run of mixed queries and commands against the station
// model on a pseudo-terminal, in one process. Prints how many exchanges ran and
// failed, how long they took, and the resident memory after the warm-up, at the
// end and at its peak, so that growth per exchange shows up as a number.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include "Moorwinch.h"
#include "PtyStation.h"
#include "StationModel.h"

namespace {

using KORVANE::Moorwinch;

struct Options {
    unsigned long exchanges = 10000;
    unsigned long warmup = 1000;
    unsigned int timeoutMs = 150;  // replies polled every millisecond
};

void usage(std::ostream& out) {
    out << "Usage: MoorwinchSoak [--exchanges N] [--warmup N] [--timeout MS]\n"
        << "Runs N exchanges (default 10000) of mixed queries and commands against a simulated\n"
        << "ground station in this process and prints exchanges, failures, duration and resident\n"
        << "memory after the warm-up (default 1000 exchanges), at the end and at its peak.\n"
        << "The connection timeout defaults to 150 ms. Exits 1 when any exchange failed.\n";
}

bool number(const char* text, unsigned long low, unsigned long high, unsigned long& value) {
    char* end = nullptr;
    if (!text || !*text || *text == '-' || *text == '+') return false;
    errno = 0;
    value = std::strtoul(text, &end, 10);
    return *end == '\0' && errno == 0 && value >= low && value <= high;
}

// Resident set size in KiB, from /proc/self/statm (pages).
long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    if (!(statm >> size >> resident)) return -1;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A "Name:   value kB" line of /proc/self/status, e.g. VmHWM, the peak RSS.
long statusKiB(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(name) + ":";
    while (std::getline(status, line))
        if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
    return -1;
}

// One operation of the mix, chosen by its number: mostly short queries and
// commands, now and then the details (10 T) and the two commands that wait 30 T.
void runOperation(Moorwinch& station, unsigned long i) {
    const unsigned long slot = i % 200;
    if (slot < 90) {
        Moorwinch::systemStatus status;
        station.getSystemStatus(status);
    } else if (slot < 130) {
        Moorwinch::systemConfig config;
        station.getSystemConfig(config);
    } else if (slot < 156) {
        station.setCableRetractionTorque(static_cast<unsigned int>(i % 101));
    } else if (slot < 182) {
        station.setCableRetractionStartLength(0.3f + static_cast<float>(i % 50) * 0.1f);
    } else if (slot < 194) {
        Moorwinch::systemStatusConfig flags;
        station.getSystemStatusConfig(flags);
    } else if (slot < 198) {
        Moorwinch::systemDetails details;
        station.getSystemDetails(details);
    } else if (slot == 198) {
        station.setSystemActivation((i / 200) % 2 == 0);
    } else {
        Moorwinch::systemStatusConfig flags{1, 1, 1, 1, 1, 1};
        station.setSystemStatusConfig(flags);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; i += 2) {  // every option takes one value
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long n = 0;
        if (arg == "-h" || arg == "--help") {
            usage(std::cout);
            return 0;
        } else if (arg == "--exchanges" && number(value, 1, 100000000, n)) {
            options.exchanges = n;
        } else if (arg == "--warmup" && number(value, 0, 100000000, n)) {
            options.warmup = n;
        } else if (arg == "--timeout" && number(value, 1, 60000, n)) {
            options.timeoutMs = static_cast<unsigned int>(n);
        } else {
            std::cerr << "MoorwinchSoak: bad argument '" << arg << "'\n";
            usage(std::cerr);
            return 2;
        }
    }
    if (options.warmup >= options.exchanges) options.warmup = options.exchanges / 10;

    moorwinch_sim::PtyStation pty;
    moorwinch_sim::StationModel model;
    model.attach(pty);

    Moorwinch station;
    station.setConnectionTimeout(options.timeoutMs);
    try {
        station.openConnection(pty.devicePath());
    } catch (const std::exception& e) {
        std::cerr << "MoorwinchSoak: cannot open " << pty.devicePath() << ": " << e.what() << "\n";
        return 1;
    }

    std::map<std::string, unsigned long> failures;  // by text
    unsigned long failed = 0;
    long rssWarm = residentKiB();
    const auto start = std::chrono::steady_clock::now();
    auto warmedAt = start;
    for (unsigned long i = 0; i < options.exchanges; ++i) {
        if (i == options.warmup) {
            rssWarm = residentKiB();
            warmedAt = std::chrono::steady_clock::now();
        }
        // The pty station records every request line; drop them so that only
        // the library's own memory is measured.
        if (i % 100 == 0) pty.clearRequests();
        try {
            runOperation(station, i);
        } catch (const std::exception& e) {
            ++failed;
            ++failures[e.what()];
        }
    }
    const auto end = std::chrono::steady_clock::now();
    const long rssEnd = residentKiB();
    const long rssPeak = statusKiB("VmHWM");
    station.closeConnection();

    const double seconds = std::chrono::duration<double>(end - start).count();
    const double afterWarmup = std::chrono::duration<double>(end - warmedAt).count();
    const unsigned long measured = options.exchanges - options.warmup;
    std::printf("exchanges: %lu\n", options.exchanges);
    std::printf("failures: %lu\n", failed);
    for (const auto& f : failures) std::printf("  %lu x %s\n", f.second, f.first.c_str());
    std::printf("connection timeout: %u ms\n", options.timeoutMs);
    std::printf("duration: %.1f s (%.2f ms per exchange)\n", seconds, seconds * 1000.0 / options.exchanges);
    std::printf("rss after warm-up (%lu exchanges): %ld KiB\n", options.warmup, rssWarm);
    std::printf("rss at end: %ld KiB\n", rssEnd);
    std::printf("rss growth after warm-up: %ld KiB over %lu exchanges in %.1f s\n", rssEnd - rssWarm, measured,
                afterWarmup);
    std::printf("peak rss (VmHWM): %ld KiB\n", rssPeak);
    return failed == 0 ? 0 : 1;
}
