#include "Commands.h"

#include "Check.h"
#include "MoorwinchJson.h"
#include "Output.h"
#include "Watch.h"

namespace moorwinch_tool {
namespace {

using KORVANE::MoorwinchJson::toJson;

template <class R>
void show(const R& record, const Invocation& inv, std::ostream& out) {
    out << (inv.json ? jsonLine(toJson(record)) : report(record)) << std::flush;
}

int ports(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream&) {
    const std::vector<PortEntry> list = station.ports();
    out << (inv.json ? jsonLine(portsJson(list)) : portsText(list));
    return exitSuccess;
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
        out << (inv.json ? jsonLine(unknownJson(e.what())) : unknownLine(e.what()) + "\n");
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

int setTorque(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream&) {
    return setAndReadBack(inv, station, out, [&] { station.setTorque(inv.torque); });
}

int setStartLength(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream&) {
    return setAndReadBack(inv, station, out, [&] { station.setStartLength(static_cast<float>(inv.startLength)); });
}

int setActivation(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream&) {
    return setAndReadBack(inv, station, out, [&] { station.setActivation(inv.activation); });
}

// The flags named change; the others are sent as the station reports them. A
// flag the station does not report cannot be kept, so it must be named.
int setReporting(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream& err) {
    Reporting flags;
    station.getReporting(flags);
    for (const ReportingFlag& flag : reportingFlags()) {
        bool named = false;
        for (const auto& change : inv.flags) {
            if (change.first != flag.key) continue;
            flags.*flag.member = change.second;
            named = true;
        }
        if (!named && flags.*flag.member != 0 && flags.*flag.member != 1) {
            err << "moorwinch: the station does not tell its " << flag.key << " flag; name it (" << flag.key
                << "=1 or " << flag.key << "=0). Nothing was changed.\n";
            return exitUsage;
        }
    }
    station.setReporting(flags);
    Reporting back;
    station.getReporting(back);
    show(back, inv, out);
    return exitSuccess;
}

using Runner = int (*)(const Invocation&, StationBackend&, std::ostream&, std::ostream&);

struct CommandRow {
    Command command;
    Runner run;
    bool station;
};

const CommandRow rows[] = {
    {Command::ports, ports, false},
    {Command::status, query<Status, &StationBackend::getStatus>, true},
    {Command::details, query<Details, &StationBackend::getDetails>, true},
    {Command::config, query<Config, &StationBackend::getConfig>, true},
    {Command::reporting, query<Reporting, &StationBackend::getReporting>, true},
    {Command::report, fullReport, true},
    {Command::check, check, true},
    {Command::setTorque, setTorque, true},
    {Command::setStartLength, setStartLength, true},
    {Command::setActivation, setActivation, true},
    {Command::setReporting, setReporting, true},
    {Command::watch, watch, true},
};

}  // namespace

bool needsStation(Command command) {
    for (const CommandRow& row : rows)
        if (row.command == command) return row.station;
    return false;
}

int runCommand(const Invocation& inv, StationBackend& station, std::ostream& out, std::ostream& err) {
    for (const CommandRow& row : rows)
        if (row.command == inv.command) return row.run(inv, station, out, err);
    return exitUsage;
}

}  // namespace moorwinch_tool
