#include "LibraryBackend.h"

#include <utility>

#include "Output.h"

namespace moorwinch_tool {

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

VersionInfo LibraryBackend::version() { return {winch.getLibBuild(), winch.getLibProtocolVersion()}; }

std::vector<PortEntry> LibraryBackend::ports() {
    std::vector<std::string> names, descriptions, hardwareIds;
    winch.getSerialPortsInfo(names, descriptions, hardwareIds);
    std::vector<PortEntry> entries;
    for (std::size_t i = 0; i < names.size(); ++i) entries.push_back({names[i], descriptions[i], hardwareIds[i]});
    return entries;
}

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

void LibraryBackend::setTorque(unsigned int percent) {
    judgeWithoutTraffic([percent](KORVANE::Moorwinch& w) { w.setCableRetractionTorque(percent); });
    open().setCableRetractionTorque(percent);
}

void LibraryBackend::setStartLength(float metres) {
    judgeWithoutTraffic([metres](KORVANE::Moorwinch& w) { w.setCableRetractionStartLength(metres); });
    open().setCableRetractionStartLength(metres);
}

void LibraryBackend::setActivation(bool on) { open().setSystemActivation(on); }

void LibraryBackend::setReporting(const Reporting& reporting) {
    Reporting flags = reporting;
    open().setSystemStatusConfig(flags);
}

}  // namespace moorwinch_tool
