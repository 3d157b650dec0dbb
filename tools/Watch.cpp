#include "Watch.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "MoorwinchJson.h"

namespace moorwinch_tool {
namespace {

// SIGINT and SIGTERM are held back for the watch's lifetime and taken only
// while it waits, so a sample in progress is finished and the summary printed.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, &previous);
        descriptor = signalfd(-1, &set, SFD_CLOEXEC);
    }
    ~StopSignals() {
        if (descriptor >= 0) ::close(descriptor);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Readable once a stop signal is pending.
    int fd() const { return descriptor; }
    // Takes the pending signal, which would otherwise strike when the mask is restored.
    void take() {
        signalfd_siginfo info;
        if (::read(descriptor, &info, sizeof info) < 0) {
        }
    }

private:
    sigset_t set, previous;
    int descriptor = -1;
};

// The value with its unit, or "-" where the JSON mapping has null.
std::string value(const json& values, const Status& status, const char* key, float Status::*member,
                  const char* unit) {
    return values.at(key).is_null() ? "-" : shortestDecimal(status.*member) + " " + unit;
}

}  // namespace

int awaitInput(const int* fds, int count, Steady::time_point until) {
    pollfd p[2];
    for (int i = 0; i < count && i < 2; ++i) p[i] = {fds[i], POLLIN, 0};
    for (;;) {
        const auto left = until - Steady::now();
        const auto ns = std::max<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left).count(), 0);
        const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        const int n = ::ppoll(p, static_cast<nfds_t>(count), &wait, nullptr);
        if (n < 0 && errno == EINTR) continue;
        for (int i = 0; n > 0 && i < count; ++i)
            if (p[i].revents) return i;
        if (Steady::now() >= until) return -1;
    }
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", value);
    return text;
}

std::string watchLine(const Sample& sample, bool milliseconds) {
    std::string line = localTime(sample.time, milliseconds);
    if (!sample.status) return line + "  no data: " + sample.failure + "\n";
    if (sample.stale) line += " (stale, " + seconds(sample.ageSeconds) + " old)";
    const Status& status = *sample.status;
    const Judgement judgement = judge(status, nullptr);
    const json v = KORVANE::MoorwinchJson::toJson(status);
    const auto show = [&](const char* key, float Status::*member, const char* unit) {
        return value(v, status, key, member, unit);
    };
    line += "  cable " + show("cableLength", &Status::cableLength, "m") + " " +
            show("cableSpeed", &Status::cableSpeed, "m/s") + "  mains " +
            show("mainsVoltage", &Status::mainsVoltage, "V") + " " + show("mainsCurrent", &Status::mainsCurrent, "A") +
            "  UAV " + show("uavSupplyVoltage", &Status::uavSupplyVoltage, "V") + " " +
            show("uavSupplyCurrent", &Status::uavSupplyCurrent, "A") + "  " +
            KORVANE::MoorwinchJson::verdictName(judgement.verdict);
    for (std::size_t i = 0; i < judgement.conditions.size(); ++i)
        line += (i == 0 ? ": " : ", ") + judgement.conditions[i];
    return line + "\n";
}

json watchJson(const Sample& sample) {
    json object = sample.status ? checkJson(judge(*sample.status, nullptr), *sample.status) : unknownJson(sample.failure);
    object["time"] = utcTime(sample.time);
    if (sample.status && sample.stale) {
        object["stale"] = true;
        object["age"] = std::round(sample.ageSeconds * 1000) / 1000;
    }
    return object;
}

// Every tick prints one line, so a count is a count of lines whatever the source.
int watch(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream& err) {
    StopSignals stop;
    const std::unique_ptr<SampleSource> source = station.samples(inv.intervalSeconds);
    source->start(err);  // a station that cannot be reached at the start is an error, not an outage

    const auto interval =
        std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(inv.intervalSeconds));
    const bool milliseconds = inv.intervalSeconds < 1;
    auto due = Steady::now();
    for (unsigned long n = 0; inv.count == 0 || n < inv.count; ++n) {
        Sample sample;
        if (!source->next(due, stop.fd(), sample, err)) {
            stop.take();
            break;
        }
        out << (inv.json ? jsonLine(watchJson(sample)) : watchLine(sample, milliseconds)) << std::flush;
        if (!out) break;  // the output cannot be written (its owner says why)
        due += interval;
        if (due < Steady::now()) due = Steady::now();  // a slow sample shifts the schedule, no catching up
    }
    err << "moorwinch: " << source->summary() << "\n";
    return out && source->answering() ? exitSuccess : exitStation;
}

}  // namespace moorwinch_tool
