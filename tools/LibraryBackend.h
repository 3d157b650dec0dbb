// The station through the library in this process, on a serial port.
#ifndef MOORWINCH_TOOL_LIBRARY_BACKEND_H
#define MOORWINCH_TOOL_LIBRARY_BACKEND_H

#include <ostream>
#include <string>

#include "StationBackend.h"

namespace moorwinch_tool {

class LibraryBackend : public StationBackend {
public:
    // trace, when not null, receives every line on the wire.
    LibraryBackend(std::string port, unsigned int timeoutMs, std::ostream* trace);

    std::string subject() const override { return port; }
    void getStatus(Status& status) override;
    void getDetails(Details& details) override;
    void getConfig(Config& config) override;
    void getReporting(Reporting& reporting) override;
    void setTorque(unsigned int percent) override;
    void setStartLength(float metres) override;
    void setActivation(bool on) override;
    void changeReporting(const ReportingChange& change) override;
    std::unique_ptr<SampleSource> samples(double intervalSeconds) override;

    // Reaches the station now (queries and setters do it on first use).
    void connect();
    // Drops the connection and reaches the station again, for a port that went
    // away and came back under the same name.
    void reconnect();

    // The library's default connection timeout, in milliseconds.
    static unsigned int defaultTimeoutMs();

private:
    KORVANE::Moorwinch& open();

    std::string port;
    KORVANE::Moorwinch winch;
    bool opened = false;
};

}  // namespace moorwinch_tool

#endif
