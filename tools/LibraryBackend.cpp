#include "LibraryBackend.h"

#include <utility>

#include "LinkSummary.h"
#include "Output.h"
#include "Watch.h"

namespace moorwinch_tool {
namespace {

// The port asked at every tick; the exchanges are counted for the summary.
class PolledSource : public SampleSource {
public:
    PolledSource(LibraryBackend& backend, double intervalSeconds) : station(backend), interval(intervalSeconds) {}

    void start(std::ostream&) override { station.connect(); }

    bool next(Steady::time_point due, int stopFd, Sample& sample, std::ostream& err) override {
        if (awaitInput(&stopFd, 1, due) == 0) return false;
        try {
            if (reopen) {
                station.reconnect();
                reopen = false;
            }
            Status status;
            const auto asked = Steady::now();
            station.getStatus(status);
            link.answered(Steady::now() - asked);
            timeouts = 0;
            if (outage) {
                err << "moorwinch: the station answers again after "
                    << seconds(std::chrono::duration<double>(Steady::now() - outageStart).count()) << "\n";
                outage = false;
            }
            sample = {std::chrono::system_clock::now(), status, false, 0, ""};
        } catch (const std::exception& e) {
            const FailureKind kind = failureKind(e);
            link.failed(kind);
            sample = {std::chrono::system_clock::now(), std::nullopt, false, 0, failureText(e, station.subject())};
            if (!outage) {
                err << "moorwinch: the station does not answer (" << sample.failure << "); trying again every "
                    << seconds(interval) << "\n";
                outage = true;
                outageStart = Steady::now();
            }
            if (kind == FailureKind::port || (kind == FailureKind::timeout && ++timeouts >= timeoutsBeforeReopen))
                reopen = true;
        }
        return true;
    }

    std::string summary() const override { return link.text(); }
    bool answering() const override { return !outage; }

private:
    // Consecutive timeouts after which the port is reopened as well: a device
    // that went and came back under the same name can look like a silent one.
    static constexpr int timeoutsBeforeReopen = 3;

    LibraryBackend& station;
    double interval;
    LinkSummary link;
    bool outage = false, reopen = false;
    int timeouts = 0;
    Steady::time_point outageStart;
};

}  // namespace

LibraryBackend::LibraryBackend(std::string portName, unsigned int timeoutMs, std::ostream* trace)
    : port(std::move(portName)) {
    winch.setConnectionTimeout(timeoutMs);
    if (trace) {
        winch.setTrace([trace](KORVANE::Moorwinch::traceDirection direction, const std::string& line,
                               std::chrono::system_clock::time_point time) {
            *trace << traceLine(direction == KORVANE::Moorwinch::traceDirection::sent, line, time) << std::flush;
        });
    }
}

unsigned int LibraryBackend::defaultTimeoutMs() { return KORVANE::Moorwinch().getConnectionTimeout(); }

KORVANE::Moorwinch& LibraryBackend::open() {
    if (!opened) {
        winch.openConnection(port);
        opened = true;
    }
    return winch;
}

void LibraryBackend::connect() { open(); }

// A failed handshake leaves the port open, and opening the name that is open
// does nothing: close first, whatever state the last attempt left.
void LibraryBackend::reconnect() {
    opened = false;
    try {
        winch.closeConnection();
    } catch (const std::exception&) {
        // A port that has gone may fail to close; the object is closed all the same.
    }
    open();
}

void LibraryBackend::getStatus(Status& status) { open().getSystemStatus(status); }
void LibraryBackend::getDetails(Details& details) { open().getSystemDetails(details); }
void LibraryBackend::getConfig(Config& config) { open().getSystemConfig(config); }
void LibraryBackend::getReporting(Reporting& reporting) { open().getSystemStatusConfig(reporting); }
void LibraryBackend::setTorque(unsigned int percent) { open().setCableRetractionTorque(percent); }
void LibraryBackend::setStartLength(float metres) { open().setCableRetractionStartLength(metres); }
void LibraryBackend::setActivation(bool on) { open().setSystemActivation(on); }

void LibraryBackend::changeReporting(const ReportingChange& change) {
    Reporting sent;
    open().changeSystemStatusConfig(change, sent);
}

std::unique_ptr<SampleSource> LibraryBackend::samples(double intervalSeconds) {
    return std::make_unique<PolledSource>(*this, intervalSeconds);
}

}  // namespace moorwinch_tool
