// watch through moorwinchd: its polls arrive as events, so the station sees no
// traffic of ours. At each tick the newest poll not yet shown is shown; when
// there is none, the tick waits for the next poll while it is not overdue,
// then shows the last data again as stale. A service that goes away (an
// upgrade, a restart) is told once and reached again with a growing pause.
#include <algorithm>

#include "Failures.h"
#include "MoorwinchJson.h"
#include "Output.h"
#include "ServiceBackend.h"
#include "ServiceLines.h"
#include "Watch.h"

namespace moorwinch_tool {

using KORVANE::MoorwinchJson::fromJson;
using namespace serviceLines;

class ServiceBackend::Subscription : public SampleSource {
public:
    explicit Subscription(ServiceBackend& backend) : service(backend) {}

    void start(std::ostream& err) override { subscribe(err); }

    bool next(Steady::time_point due, int stopFd, Sample& sample, std::ostream& err) override {
        if (!follow(due, stopFd, err, false)) return false;
        if (!unshown && serviceUp && stationUp && !gapSinceShown) {
            const Steady::time_point overdue =
                lastPoll + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(pollSpacing()));
            if (!follow(std::max(overdue, Steady::now()), stopFd, err, true)) return false;
        }
        const auto now = std::chrono::system_clock::now();
        if (latest && unshown) {
            sample = {latestTime, latest, false, 0, ""};
        } else if (latest) {
            sample = {now, latest, true, ageOfLatest(), ""};
        } else {
            sample = {now, std::nullopt, false, 0, whyNoData()};
        }
        unshown = false;
        gapSinceShown = false;
        return true;
    }

    std::string summary() const override {
        return counted(polls, "poll") + " by moorwinchd, " + counted(stationOutages, "station outage") + ", " +
               counted(serviceOutages, "moorwinchd outage");
    }

    bool answering() const override {
        return serviceUp && stationUp && latest && ageOfLatest() <= staleAfter;
    }

private:
    // The longest a poll may take to come after the last: one of the service's
    // intervals and its poll's wait bound (what makes data stale beyond two intervals).
    double pollSpacing() const { return serviceInterval + std::max(0.0, staleAfter - 2 * serviceInterval); }

    std::string whyNoData() const {
        if (!serviceUp) return "moorwinchd went away (" + goneBecause + ")";
        if (!stationError.empty()) return "the station does not answer moorwinchd (" + stationError + ")";
        return "moorwinchd has no status yet";
    }

    // Watch, then the newest status the service holds.
    void subscribe(std::ostream& err) {
        service.connect();
        const json watching = service.ask({{"op", "watch"}});
        const json data = objectOf(watching, "data");
        serviceInterval = numberOf(data, "interval", serviceInterval);
        if (!(serviceInterval > 0 && serviceInterval <= 86400)) serviceInterval = 1;
        staleAfter = numberOf(data, "staleAfter", 3 * serviceInterval);
        if (!(staleAfter > 0 && staleAfter <= 1e6)) staleAfter = 3 * serviceInterval;
        const bool connected = textOf(data, "state") == "connected";
        stationAnswers(connected, connected ? "" : lastError(), err);
        serviceUp = true;
        lastLine = lastPoll = Steady::now();
        try {
            const json status = service.ask({{"op", "status"}});
            const auto time = timeOf(status);
            if (!latest || time != latestTime) {
                take(objectOf(status, "data"), time, numberOf(status, "age", 0));
                unshown = !flagOf(status, "stale");
            }
        } catch (const ServiceError& e) {
            if (e.type() != "Unavailable") throw;  // no status yet: the first poll will bring one
        }
    }

    // Why the service cannot reach the station, as its state tells; empty when
    // it refuses to say. A connection lost on the way is the caller's failure.
    std::string lastError() {
        try {
            return shown(textOf(objectOf(service.ask({{"op", "state"}}), "data"), "lastError"));
        } catch (const ServiceError& e) {
            if (e.type().empty()) throw;
            return "";
        }
    }

    // The age is counted on this machine's steady clock from the age the
    // service gave (a status event is new when it comes), so that a clock
    // that differs from the service's never makes data look old or new.
    void take(const json& data, std::chrono::system_clock::time_point time, double ageOnArrival) {
        Status status;
        fromJson(data, status);
        latest = status;
        latestTime = time;
        lastPoll = Steady::now();
        if (!(ageOnArrival >= 0 && ageOnArrival < 1e9)) ageOnArrival = 0;
        latestBorn = lastPoll - std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(ageOnArrival));
    }

    double ageOfLatest() const { return std::chrono::duration<double>(Steady::now() - latestBorn).count(); }

    void stationAnswers(bool answering, const std::string& error, std::ostream& err) {
        if (answering && !stationUp) {
            err << "moorwinch: the station answers again after "
                << seconds(std::chrono::duration<double>(Steady::now() - stationDown).count()) << "\n";
            stationError.clear();
        } else if (!answering && stationUp) {
            err << "moorwinch: the station does not answer moorwinchd" << (error.empty() ? "" : " (" + error + ")")
                << "; moorwinchd keeps trying\n";
            stationDown = Steady::now();
            ++stationOutages;
        }
        if (!answering && !error.empty()) stationError = error;
        stationUp = answering;
    }

    void goneAway(const std::string& why, std::ostream& err) {
        service.close();
        serviceUp = false;
        goneBecause = why;
        serviceDown = Steady::now();
        ++serviceOutages;
        pause = std::chrono::milliseconds(500);
        nextAttempt = serviceDown + pause;
        err << "moorwinch: moorwinchd went away (" << why << "); reconnecting\n";
    }

    // Handles one line; true for a poll slot (a status or a gap).
    bool handle(const std::string& text, std::ostream& err) {
        const json e = json::parse(text, nullptr, false);
        if (!e.is_object()) return false;
        const std::string kind = textOf(e, "event");
        if (kind == "status") {
            ++polls;
            take(objectOf(e, "data"), timeOf(e), 0);
            unshown = true;
            stationAnswers(true, "", err);
            return true;
        }
        if (kind == "gap") {
            gapSinceShown = true;
            stationAnswers(textOf(e, "state") != "disconnected", shown(textOf(e, "error")), err);
            if (stationUp && !textOf(e, "error").empty()) stationError = shown(textOf(e, "error"));
            return true;
        }
        if (kind == "state") stationAnswers(textOf(e, "state") == "connected", shown(textOf(e, "error")), err);
        // The service's last words before it closes (idle, shutting down).
        const auto id = e.find("id");
        if (e.contains("ok") && !flagOf(e, "ok") && (id == e.end() || id->is_null()))
            goneAway(shown(textOf(objectOf(e, "error"), "message")), err);
        return false;
    }

    // Follows the service until the time point (or, with untilPoll, the next
    // poll slot); false when a stop signal came.
    bool follow(Steady::time_point until, int stopFd, std::ostream& err, bool untilPoll) {
        while (Steady::now() < until) {
            if (!serviceUp) {
                if (Steady::now() >= nextAttempt) {
                    try {
                        subscribe(err);
                        err << "moorwinch: moorwinchd answers again after "
                            << seconds(std::chrono::duration<double>(Steady::now() - serviceDown).count()) << "\n";
                        if (untilPoll && unshown) return true;
                        continue;
                    } catch (const std::exception& e) {
                        service.close();
                        goneBecause = e.what();
                        pause = std::min<Steady::duration>(pause * 2, std::chrono::seconds(8));
                        nextAttempt = Steady::now() + pause;
                    }
                }
                if (awaitInput(&stopFd, 1, std::min(until, nextAttempt)) == 0) return false;
                if (untilPoll) return true;  // no poll will come from a service that is away
                continue;
            }
            // Over TCP a dead peer may send nothing, not even an end: a stream
            // silent for three intervals and a poll's wait bound is taken for dead.
            const Steady::time_point dead =
                lastLine + std::chrono::duration_cast<Steady::duration>(
                               std::chrono::duration<double>(2 * serviceInterval + pollSpacing()));
            std::string text;
            switch (service.nextLine(text, service.address.tcp ? std::min(until, dead) : until, stopFd)) {
                case Arrival::stop: return false;
                case Arrival::closed: goneAway(service.closedBecause, err); break;
                case Arrival::time:
                    if (service.address.tcp && Steady::now() >= dead)
                        goneAway("nothing came for " + seconds(std::chrono::duration<double>(Steady::now() - lastLine).count()), err);
                    break;
                case Arrival::line:
                    lastLine = Steady::now();
                    if (handle(text, err) && untilPoll) return true;
                    break;
            }
        }
        return true;
    }

    ServiceBackend& service;
    double serviceInterval = 1, staleAfter = 3;
    std::optional<Status> latest;
    std::chrono::system_clock::time_point latestTime;
    bool unshown = false, gapSinceShown = false, stationUp = true, serviceUp = false;
    std::string stationError, goneBecause;
    Steady::time_point lastLine, lastPoll, latestBorn, stationDown, serviceDown, nextAttempt;
    Steady::duration pause{};
    std::size_t polls = 0, stationOutages = 0, serviceOutages = 0;
};

// The service's polls set the pace; the tool's interval only picks among them.
std::unique_ptr<SampleSource> ServiceBackend::samples(double) { return std::make_unique<Subscription>(*this); }

}  // namespace moorwinch_tool
