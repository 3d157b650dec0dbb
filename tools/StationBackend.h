// What the commands need from a ground station, whatever carries the requests:
// the library in this process (LibraryBackend) or, later, a service that owns
// the port. Failures are the library's exceptions, so that exit codes and
// messages are the same for every backend.
#ifndef MOORWINCH_TOOL_STATION_BACKEND_H
#define MOORWINCH_TOOL_STATION_BACKEND_H

#include <string>
#include <vector>

#include "Moorwinch.h"

namespace moorwinch_tool {

using Status = KORVANE::Moorwinch::systemStatus;
using Details = KORVANE::Moorwinch::systemDetails;
using Config = KORVANE::Moorwinch::systemConfig;
using Reporting = KORVANE::Moorwinch::systemStatusConfig;

struct VersionInfo {
    std::string libraryBuild;
    std::string protocolVersion;
};

struct PortEntry {
    std::string port;
    std::string description;
    std::string hardwareId;
};

// The library judges a value before it looks at the port, so a setter called on
// an object that was never opened refuses a bad value (ValueException) without
// any traffic, and fails for want of a port otherwise. Every backend judges
// values so: a refused value never even opens the port or reaches a service.
template <class Setter>
void judgeWithoutTraffic(Setter setter) {
    KORVANE::Moorwinch closed;
    try {
        setter(closed);
    } catch (const KORVANE::ValueException&) {
        throw;
    } catch (const std::exception&) {
    }
}

class StationBackend {
public:
    virtual ~StationBackend() = default;

    virtual VersionInfo version() = 0;
    virtual std::vector<PortEntry> ports() = 0;

    // Reaches the station now (queries and setters do it on first use).
    virtual void connect() = 0;
    // Drops the connection and reaches the station again, for a port that went
    // away and came back under the same name.
    virtual void reconnect() = 0;

    virtual void getStatus(Status& status) = 0;
    virtual void getDetails(Details& details) = 0;
    virtual void getConfig(Config& config) = 0;
    virtual void getReporting(Reporting& reporting) = 0;

    // A value out of range throws KORVANE::ValueException and sends nothing.
    virtual void setTorque(unsigned int percent) = 0;
    virtual void setStartLength(float metres) = 0;
    virtual void setActivation(bool on) = 0;
    virtual void setReporting(const Reporting& reporting) = 0;
};

}  // namespace moorwinch_tool

#endif
