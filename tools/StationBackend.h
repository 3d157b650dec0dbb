// What the commands need from a ground station, whatever carries the requests:
// the library in this process (LibraryBackend) or moorwinchd, the service that
// owns the port (ServiceBackend). Failures are the library's exceptions, so that
// exit codes and messages are the same for every backend.
#ifndef MOORWINCH_TOOL_STATION_BACKEND_H
#define MOORWINCH_TOOL_STATION_BACKEND_H

#include <memory>
#include <string>

#include "Moorwinch.h"

namespace moorwinch_tool {

using Status = KORVANE::Moorwinch::systemStatus;
using Details = KORVANE::Moorwinch::systemDetails;
using Config = KORVANE::Moorwinch::systemConfig;
using Reporting = KORVANE::Moorwinch::systemStatusConfig;
using ReportingChange = KORVANE::Moorwinch::systemStatusConfigChange;

class SampleSource;

class StationBackend {
public:
    virtual ~StationBackend() = default;

    // What a failure is about, for messages: the port, or the service's address.
    virtual std::string subject() const = 0;

    virtual void getStatus(Status& status) = 0;
    virtual void getDetails(Details& details) = 0;
    virtual void getConfig(Config& config) = 0;
    virtual void getReporting(Reporting& reporting) = 0;

    // Values are judged by the caller (the library's static checks) first.
    virtual void setTorque(unsigned int percent) = 0;
    virtual void setStartLength(float metres) = 0;
    virtual void setActivation(bool on) = 0;
    // The named flags change, the others stay as the station reports them.
    virtual void changeReporting(const ReportingChange& change) = 0;

    // The status over time, for watch: polled on the port, or the service's polls.
    virtual std::unique_ptr<SampleSource> samples(double intervalSeconds) = 0;
};

}  // namespace moorwinch_tool

#endif
