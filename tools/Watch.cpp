#include "Watch.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "LinkSummary.h"
#include "MoorwinchJson.h"
#include "ServiceBackend.h"

namespace moorwinch_tool {
namespace {

using Steady = std::chrono::steady_clock;

// Consecutive timeouts after which the port is reopened as well: a device
// that went and came back under the same name can look like a silent one.
constexpr int timeoutsBeforeReopen = 3;

// SIGINT and SIGTERM are held back for the watch's lifetime and taken only
// while it sleeps, so a sample in progress is finished and the summary printed.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, &previous);
    }
    ~StopSignals() {
        if (descriptor >= 0) ::close(descriptor);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Sleeps until the time point; true when a stop signal came first.
    bool sleepUntil(Steady::time_point until) {
        for (;;) {
            const auto left = until - Steady::now();
            timespec wait{0, 0};
            if (left > Steady::duration::zero()) {
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                wait.tv_sec = static_cast<time_t>(ns / 1000000000);
                wait.tv_nsec = static_cast<long>(ns % 1000000000);
            }
            const int received = sigtimedwait(&set, nullptr, &wait);
            if (received == SIGINT || received == SIGTERM) return true;
            if (Steady::now() >= until) return false;  // EAGAIN, or EINTR from another signal
        }
    }

    // Readable once a stop signal is pending, for waiting on a socket as well.
    int fd() {
        if (descriptor < 0) descriptor = signalfd(-1, &set, SFD_CLOEXEC);
        return descriptor;
    }
    // Takes the pending signal, which would otherwise strike when the mask is restored.
    void take() {
        signalfd_siginfo info;
        if (::read(fd(), &info, sizeof info) < 0) {
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

std::string seconds(Steady::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
    return text;
}

}  // namespace

std::string watchLine(std::chrono::system_clock::time_point time, const Status& status, const Judgement& judgement) {
    const json v = KORVANE::MoorwinchJson::toJson(status);
    const auto show = [&](const char* key, float Status::*member, const char* unit) {
        return value(v, status, key, member, unit);
    };
    std::string line = localTime(time) + "  cable " + show("cableLength", &Status::cableLength, "m") + " " +
                       show("cableSpeed", &Status::cableSpeed, "m/s") + "  mains " +
                       show("mainsVoltage", &Status::mainsVoltage, "V") + " " +
                       show("mainsCurrent", &Status::mainsCurrent, "A") + "  UAV " +
                       show("uavSupplyVoltage", &Status::uavSupplyVoltage, "V") + " " +
                       show("uavSupplyCurrent", &Status::uavSupplyCurrent, "A") + "  " +
                       KORVANE::MoorwinchJson::verdictName(judgement.verdict);
    for (std::size_t i = 0; i < judgement.conditions.size(); ++i)
        line += (i == 0 ? ": " : ", ") + judgement.conditions[i];
    return line + "\n";
}

json watchJson(std::chrono::system_clock::time_point time, const Status& status, const Judgement& judgement) {
    json sample = checkJson(judgement, status);
    sample["time"] = utcTime(time);
    return sample;
}

// Through moorwinchd: its polls arrive as events, so the station sees no
// traffic of ours; an interval longer than the service's skips events.
int watchService(const Invocation& inv, ServiceBackend& service, std::ostream& out, std::ostream& err) {
    StopSignals stop;
    const auto interval = std::chrono::duration<double>(inv.intervalSeconds * 0.95);
    bool answering = service.subscribe();
    Steady::time_point outageStart = Steady::now();
    if (!answering) err << "moorwinch: the station does not answer moorwinchd; waiting for it\n";
    unsigned long shown = 0, received = 0, outages = answering ? 0 : 1;
    std::chrono::system_clock::time_point lastShown{};
    for (bool going = true; going && (inv.count == 0 || shown < inv.count);) {
        const ServiceBackend::Event e = service.next(stop.fd());
        switch (e.kind) {
            case ServiceBackend::Event::stopped:
                stop.take();
                going = false;
                break;
            case ServiceBackend::Event::closed:
                err << "moorwinch: moorwinchd closed the connection (" << service.where() << ")\n";
                answering = going = false;
                break;
            case ServiceBackend::Event::disconnected:
                if (answering) {
                    err << "moorwinch: the station does not answer (" << e.error << "); moorwinchd keeps trying\n";
                    outageStart = Steady::now();
                    ++outages;
                }
                answering = false;
                break;
            case ServiceBackend::Event::connected:
                if (!answering) err << "moorwinch: the station answers again after " << seconds(Steady::now() - outageStart) << "\n";
                answering = true;
                break;
            case ServiceBackend::Event::status: {
                ++received;
                answering = true;
                if (shown > 0 && e.time - lastShown < interval) break;
                lastShown = e.time;
                const Judgement judgement = judge(e.data, nullptr);
                out << (inv.json ? jsonLine(watchJson(e.time, e.data, judgement)) : watchLine(e.time, e.data, judgement))
                    << std::flush;
                ++shown;
                break;
            }
        }
    }
    err << "moorwinch: " << shown << " samples of " << received << " polls by moorwinchd, " << outages
        << " station outages\n";
    return answering ? exitSuccess : exitStation;
}

int watch(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream& err) {
    if (auto* service = dynamic_cast<ServiceBackend*>(&station)) return watchService(inv, *service, out, err);
    StopSignals stop;
    station.connect();  // a port that cannot be opened at the start is an error, not an outage

    const auto interval = std::chrono::duration_cast<Steady::duration>(
        std::chrono::duration<double>(inv.intervalSeconds));
    LinkSummary summary;
    bool outage = false, reopen = false, lastAnswered = false;
    int timeouts = 0;
    Steady::time_point outageStart;
    auto next = Steady::now();

    for (unsigned long n = 0; inv.count == 0 || n < inv.count; ++n) {
        if (n > 0 && stop.sleepUntil(next)) break;
        next += interval;
        if (next < Steady::now()) next = Steady::now();  // a slow sample shifts the schedule, no catching up

        try {
            if (reopen) {
                station.reconnect();
                reopen = false;
            }
            Status s;
            const auto asked = Steady::now();
            station.getStatus(s);
            summary.answered(Steady::now() - asked);
            lastAnswered = true;
            timeouts = 0;
            if (outage) {
                err << "moorwinch: the station answers again after " << seconds(Steady::now() - outageStart) << "\n";
                outage = false;
            }
            const auto time = std::chrono::system_clock::now();
            const Judgement judgement = judge(s, nullptr);
            out << (inv.json ? jsonLine(watchJson(time, s, judgement)) : watchLine(time, s, judgement)) << std::flush;
        } catch (const std::exception& e) {
            const FailureKind kind = failureKind(e);
            summary.failed(kind);
            lastAnswered = false;
            if (!outage) {
                err << "moorwinch: the station does not answer (" << e.what() << "); trying again every "
                    << seconds(interval) << "\n";
                outage = true;
                outageStart = Steady::now();
            }
            if (kind == FailureKind::port || (kind == FailureKind::timeout && ++timeouts >= timeoutsBeforeReopen))
                reopen = true;
        }
    }
    err << "moorwinch: " << summary.text() << "\n";
    return lastAnswered ? exitSuccess : exitStation;
}

}  // namespace moorwinch_tool
