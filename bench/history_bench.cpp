// MoorwinchHistoryBench: figures of the history file. Writes a day of polls a
// second apart (values that move as in a flight), then prints one line:
//   bytes_per_poll       the file's used pages per poll, after a checkpoint
//   cpu_ms_per_poll_1s   CPU of the process (caller and writer thread) per
//                        poll with one poll per commit, as at 1 s polls
//   cpu_ms_per_poll_20hz what the writer adds to a loop polling each 0.05 s
//                        in real time for some seconds (its idle wake-ups included)
//   query_ms_3 / _all    wall time to answer the day in 1000 buckets, three
//                        fields and every field (median of five); query_cpu_ms_*
//                        the CPU time of it (steadier on a loaded machine)
// --polls N writes N polls instead of a day and --seconds S paces for S
// seconds (scripts/bench --smoke: a few of each).
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>

#include "MoorwinchHistory.h"

using namespace KORVANE;
using namespace KORVANE::MoorwinchHistory;

namespace {

using Clock = std::chrono::steady_clock;

// CPU of the whole process (every thread), from the scheduler's own count.
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A station in flight: every block reported, values wandering with the two
// decimals the station sends, counters counting.
class Flight {
public:
    Moorwinch::systemStatus next() {
        s.cab = s.env = s.energyGS = s.energyUAV = s.sysState = s.hwModuleStatus = 1;
        s.cableLength = wander(length, 0, 80, 0.5);
        s.cableSpeed = wander(speed, -1.5, 1.5, 0.1);
        s.cableRetractionStatus = 1;
        s.cableRetractionTorque = 40;
        s.cableRetractionStartLength = 2.5f;
        s.tetherStatus = 0;
        s.cableGuideStatus = s.cableReelStatus = 0;
        s.temperature1 = wander(t1, 20, 60, 0.1);
        s.temperature2 = wander(t2, 20, 60, 0.1);
        s.temperature3 = wander(t3, 20, 60, 0.1);
        s.temperature4 = wander(t4, 20, 60, 0.1);
        s.humidity1 = wander(humidity, 30, 60, 0.1);
        s.pressure1 = wander(pressure, 990, 1030, 0.05);
        s.envSensor1Status = s.envSensor2Status = s.envSensor3Status = s.envSensor4Status = 0;
        s.fan1Rpm = static_cast<int>(wander(fan1, 1000, 4000, 20));
        s.fan2Rpm = static_cast<int>(wander(fan2, 1000, 4000, 20));
        s.fan1Status = s.fan2Status = 0;
        s.mainsVoltage = wander(mainsV, 225, 235, 0.2);
        s.mainsCurrent = wander(mainsA, 0.5, 12, 0.2);
        s.mainsFrequency = wander(hz, 49.9, 50.1, 0.01);
        s.mainsStatus = 0;
        s.controlSupplyStatus = 0;
        s.backupBatteryVoltage = wander(battery, 24, 25.5, 0.01);
        s.backupBatteryStatus = 0;
        s.uavSupplyVoltage = wander(uavV, 47, 49, 0.05);
        s.uavSupplyCurrent = wander(uavA, 0, 40, 0.5);
        s.uavPowerConsumption = std::round(s.uavSupplyVoltage * s.uavSupplyCurrent * 100) / 100;
        s.uavExtSupplyStatus = 0;
        s.uavCellCount = 12;
        s.activationStatus = 1;
        s.retractionStatus = 0;
        s.batteryStatus = 0;
        ++s.systemTime;
        ++s.operationTime;
        ++s.flightTime;
        s.flightTimeOpSum = 123456;
        s.flightCountOpSum = 321;
        s.errorCode = 0;
        s.hwMainCtrl = s.hwReelCtrl = s.hwLpwrCtrl = s.hwHpwrCtrl = s.hwEnvCtrl = 0;
        return s;
    }

private:
    float wander(double& value, double low, double high, double stepSize) {
        value = std::clamp(value + std::uniform_real_distribution<double>(-stepSize, stepSize)(random), low, high);
        return static_cast<float>(std::round(value * 100) / 100);
    }

    std::mt19937 random{15};
    Moorwinch::systemStatus s;
    double length = 30, speed = 0, t1 = 30, t2 = 32, t3 = 35, t4 = 28, humidity = 40, pressure = 1013, fan1 = 2000,
           fan2 = 2100, mainsV = 230, mainsA = 4, hz = 50, battery = 25, uavV = 48, uavA = 20;
};

WriterOptions keepingAll() {
    WriterOptions options;
    options.maxAgeDays = 0;
    return options;
}

// Appends the polls a second apart, committing every `batch` of them; the CPU per poll.
double writeBatches(const std::string& path, Time start, long polls, int batch) {
    Writer writer(path, keepingAll());
    Flight flight;
    const double cpu = cpuSeconds();
    for (long i = 0; i < polls;) {
        for (int b = 0; b < batch && i < polls; ++b, ++i)
            writer.appendPoll(start + i * microsecondsPerSecond, MoorwinchDefinitions::statusOk, flight.next());
        writer.flush();
    }
    return (cpuSeconds() - cpu) / static_cast<double>(polls);
}

// A poll each 0.05 s for the given seconds, as the service would, with a
// writer or without; the CPU per poll.
double paced(Writer* writer, int seconds) {
    Flight flight;
    const long polls = seconds * 20L;
    const double cpu = cpuSeconds();
    auto next = Clock::now();
    for (long i = 0; i < polls; ++i) {
        Moorwinch::systemStatus status = flight.next();
        if (writer) writer->appendPoll(now(), MoorwinchDefinitions::statusOk, status);
        next += std::chrono::milliseconds(50);
        std::this_thread::sleep_until(next);
    }
    if (writer) writer->flush();
    return (cpuSeconds() - cpu) / static_cast<double>(polls);
}

// What the writer adds to a paced loop: its CPU per poll.
double writePaced(const std::string& path, int seconds) {
    const double bare = paced(nullptr, seconds);
    Writer writer(path, keepingAll());
    return paced(&writer, seconds) - bare;
}

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Median wall time and median CPU time of five runs, in ms.
struct Timing {
    double wall;
    double cpu;
};

Timing median(const std::function<void()>& work) {
    std::vector<double> wall, cpu;
    for (int i = 0; i < 5; ++i) {
        const auto begin = Clock::now();
        const double cpuBegin = threadCpuMs();
        work();
        cpu.push_back(threadCpuMs() - cpuBegin);
        wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    return {wall[2], cpu[2]};
}

}  // namespace

int main(int argc, char** argv) {
    long polls = 86400, seconds = 5;
    for (int i = 1; i < argc; i += 2) {
        long* option = std::strcmp(argv[i], "--polls") == 0 ? &polls : std::strcmp(argv[i], "--seconds") == 0 ? &seconds : nullptr;
        if (!option || i + 1 == argc) {
            std::fprintf(stderr, "Usage: MoorwinchHistoryBench [--polls N] [--seconds S]\n");
            return 2;
        }
        *option = std::strtol(argv[i + 1], nullptr, 10);
    }
    if (polls < 1000 || polls > 10000000 || seconds < 1 || seconds > 3600) {
        std::fprintf(stderr, "MoorwinchHistoryBench: --polls from 1000 to 10000000, --seconds from 1 to 3600\n");
        return 2;
    }
    char pattern[] = "/tmp/moorwinch-history-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    const Time start = 1714564800 * microsecondsPerSecond;
    int status = 0;
    try {
        writeBatches(dir + "/day.db", start, polls, 1000);
        const double cpu1 = writeBatches(dir + "/single.db", start, std::min(polls, 5000L), 1);
        const double cpu20 = writePaced(dir + "/paced.db", static_cast<int>(seconds));

        std::int64_t used;
        {
            SQLite::Database db(dir + "/day.db", SQLite::OPEN_READONLY);
            used = (db.execAndGet("PRAGMA page_count").getInt64() - db.execAndGet("PRAGMA freelist_count").getInt64()) *
                   db.execAndGet("PRAGMA page_size").getInt64();
        }

        const Reader reader(dir + "/day.db");
        const Time until = start + (polls - 1) * microsecondsPerSecond;
        const Time step = polls * microsecondsPerSecond / 1000;
        const FieldSet three({"cableLength", "uavSupplyCurrent", "mainsCurrent"});
        const FieldSet all;
        std::size_t buckets = 0;
        const Timing query3 = median([&] { buckets = reader.buckets(start, until, three, step).size(); });
        const Timing queryAll = median([&] { reader.buckets(start, until, all, step); });

        std::printf("polls=%ld buckets=%zu bytes_per_poll=%.1f cpu_ms_per_poll_1s=%.4f cpu_ms_per_poll_20hz=%.4f "
                    "query_ms_3=%.1f query_cpu_ms_3=%.1f query_ms_all=%.1f query_cpu_ms_all=%.1f\n",
                    polls, buckets, static_cast<double>(used) / static_cast<double>(polls), cpu1 * 1e3, cpu20 * 1e3,
                    query3.wall, query3.cpu, queryAll.wall, queryAll.cpu);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "MoorwinchHistoryBench: %s\n", e.what());
        status = 1;
    }
    if (!std::getenv("KEEP")) std::system(("rm -rf '" + dir + "'").c_str());
    return status;
}
