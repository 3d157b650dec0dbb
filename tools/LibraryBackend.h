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

    VersionInfo version() override;
    std::vector<PortEntry> ports() override;
    void connect() override;
    void reconnect() override;
    void getStatus(Status& status) override;
    void getDetails(Details& details) override;
    void getConfig(Config& config) override;
    void getReporting(Reporting& reporting) override;
    void setTorque(unsigned int percent) override;
    void setStartLength(float metres) override;
    void setActivation(bool on) override;
    void setReporting(const Reporting& reporting) override;

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
