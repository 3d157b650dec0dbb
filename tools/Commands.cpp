#include "Commands.h"

#include <cmath>
#include <limits>

#include "Check.h"
#include "Failures.h"
#include "MoorwinchJson.h"
#include "Output.h"
#include "Record.h"
#include "Watch.h"

namespace moorwinch_tool {
namespace {

using KORVANE::MoorwinchJson::toJson;

template <class R>
void show(const R& record, const Invocation& inv, std::ostream& out) {
    out << (inv.json ? jsonLine(toJson(record)) : report(record)) << std::flush;
}

// One query, shown as the library's report or as JSON.
template <class Record, void (StationBackend::*get)(Record&)>
int query(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream&) {
    Record record;
    (station.*get)(record);
    show(record, inv, out);
    return exitSuccess;
}

// Every read first, so that a failure prints nothing.
int fullReport(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream&) {
    Status s;
    Details d;
    Config c;
    station.getStatus(s);
    station.getDetails(d);
    station.getConfig(c);
    if (inv.json)
        out << jsonLine({{"status", toJson(s)}, {"details", toJson(d)}, {"config", toJson(c)}});
    else
        out << report(s) << "\n" << report(d) << "\n" << report(c);
    return exitSuccess;
}

// Monitors read standard output only, so the reason of UNKNOWN goes there.
int check(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream&) {
    Status s;
    Details d;
    try {
        station.getStatus(s);
        station.getDetails(d);
    } catch (const std::exception& e) {
        const std::string reason = failureText(e, station.subject());
        out << (inv.json ? jsonLine(unknownJson(reason)) : unknownLine(reason) + "\n");
        return checkUnknown;
    }
    const Judgement judgement = judge(s, &d);
    out << (inv.json ? jsonLine(checkJson(judgement, s)) : checkLine(judgement, s) + "\n");
    return checkExitCode(judgement);
}

// A setter, then the configuration as the station has it now.
template <class Set>
int setAndReadBack(const Invocation& inv, StationBackend& station, std::ostream& out, Set set) {
    set();
    Config c;
    station.getConfig(c);
    show(c, inv, out);
    return exitSuccess;
}

// Values are judged by the library's own rules before anything is reached.
int setTorque(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream&) {
    KORVANE::Moorwinch::checkCableRetractionTorque(inv.torque);
    return setAndReadBack(inv, station, out, [&] { station.setTorque(inv.torque); });
}

int setStartLength(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream&) {
    // A number beyond a float's range has no float: it is taken as infinite, which the rule refuses.
    constexpr float infinite = std::numeric_limits<float>::infinity();
    const float metres = std::abs(inv.startLength) <= std::numeric_limits<float>::max()
                             ? static_cast<float>(inv.startLength)
                             : inv.startLength > 0 ? infinite : -infinite;
    KORVANE::Moorwinch::checkCableRetractionStartLength(metres);
    return setAndReadBack(inv, station, out, [&] { station.setStartLength(metres); });
}

int setActivation(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream&) {
    return setAndReadBack(inv, station, out, [&] { station.setActivation(inv.activation); });
}

// The flags named change; the others stay as the station reports them (the
// library's rule, also the service's).
int setReporting(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream&) {
    ReportingChange change;
    for (const auto& named : inv.flags)
        for (const ReportingFlag& flag : reportingFlags())
            if (named.first == flag.key) {
                KORVANE::Moorwinch::checkStatusReportingFlag(flag.key, named.second);
                change.*flag.change = named.second;
            }
    station.changeReporting(change);
    Reporting back;
    station.getReporting(back);
    show(back, inv, out);
    return exitSuccess;
}

using Runner = int (*)(const Invocation&, StationBackend&, std::ostream&, std::ostream&);

struct CommandRow {
    Command command;
    Runner run;
};

const CommandRow rows[] = {
    {Command::status, query<Status, &StationBackend::getStatus>},
    {Command::details, query<Details, &StationBackend::getDetails>},
    {Command::config, query<Config, &StationBackend::getConfig>},
    {Command::reporting, query<Reporting, &StationBackend::getReporting>},
    {Command::report, fullReport},
    {Command::check, check},
    {Command::setTorque, setTorque},
    {Command::setStartLength, setStartLength},
    {Command::setActivation, setActivation},
    {Command::setReporting, setReporting},
    {Command::watch, watch},
    {Command::record, record},
};

}  // namespace

// The ports are this machine's: moorwinchd, even on this machine, is not asked.
int listPorts(const Invocation& inv, std::ostream& out, std::ostream& err) {
    if (inv.daemon) err << "moorwinch: ports lists this machine's serial ports; --daemon does not apply to it\n";
    std::vector<std::string> names, descriptions, hardwareIds;
    KORVANE::Moorwinch().getSerialPortsInfo(names, descriptions, hardwareIds);
    std::vector<PortEntry> list;
    for (std::size_t i = 0; i < names.size(); ++i) list.push_back({names[i], descriptions[i], hardwareIds[i]});
    out << (inv.json ? jsonLine(portsJson(list)) : portsText(list));
    return exitSuccess;
}

int runCommand(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream& err) {
    for (const CommandRow& row : rows)
        if (row.command == inv.command) return row.run(inv, station, out, err);
    return exitUsage;
}

}  // namespace moorwinch_tool
