#include "Arguments.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <climits>
#include <linux/limits.h>
#include <cmath>
#include <cstdlib>
#include <ostream>

#include "Check.h"
#include "Moorwinch.h"
#include "MoorwinchHistory.h"
#include "Output.h"

namespace moorwinch_tool {
namespace {

// Digits only (no sign, no fraction), from low to high. The help texts name
// the ranges, so the validators stay out of them.
CLI::Validator wholeNumber(unsigned long long low, unsigned long long high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
                return "'" + text + "' is not a whole number";
            errno = 0;
            const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
            if (errno == ERANGE || value < low || value > high)
                return "'" + text + "' is outside " + std::to_string(low) + " to " + std::to_string(high);
            return "";
        },
        "");
}

// A finite decimal number from low to high; "nan" and "inf" are no numbers.
CLI::Validator decimal(double low, double high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            errno = 0;
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (text.empty() || text.size() > 64 || *end != '\0' || errno == ERANGE || !std::isfinite(value))
                return "'" + text + "' is not a finite decimal number";
            if (value < low || value > high) {
                std::ostringstream range;
                range.precision(15);
                range << "'" << text << "' is outside " << low << " to " << high;
                return range.str();
            }
            return "";
        },
        "");
}

// A path no longer than the system takes.
CLI::Validator pathName(const std::string& what) {
    return CLI::Validator(
        [what](std::string& path) -> std::string {
            return path.size() > PATH_MAX ? what + " is longer than " + std::to_string(PATH_MAX) : "";
        },
        "");
}

// A WHEN as the history library reads it; its words when it cannot.
CLI::Validator when() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            try {
                KORVANE::MoorwinchHistory::parseTime(text, KORVANE::MoorwinchHistory::now());
                return "";
            } catch (const KORVANE::MoorwinchHistory::QueryError& e) {
                return e.what();
            }
        },
        "");
}

// "key=value" with a key of the reporting flags and a value on, off or a whole
// number; which numbers a flag takes is the library's to judge.
bool parseFlag(const std::string& item, std::pair<std::string, std::int32_t>& flag, std::string& problem) {
    const std::size_t equals = item.find('=');
    const std::string key = item.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
    bool known = false;
    for (const ReportingFlag& f : reportingFlags()) known = known || key == f.key;
    if (!known) {
        problem = "'" + item + "': the flags are";
        for (const ReportingFlag& f : reportingFlags()) problem += std::string(" ") + f.key;
        return false;
    }
    if (value == "on" || value == "off") {
        flag = {key, value == "on" ? 1 : 0};
        return true;
    }
    errno = 0;
    char* end = nullptr;
    const long number = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || value.size() > 11 || *end != '\0' || errno == ERANGE || number < INT32_MIN ||
        number > INT32_MAX) {
        problem = "'" + item + "': a flag is set to 1 (on) or 0 (off)";
        return false;
    }
    flag = {key, static_cast<std::int32_t>(number)};
    return true;
}

// A --daemon value: a path (with a slash) names a socket; [HOST:]PORT a TCP
// endpoint; a word without a colon that is no port number, a socket in this folder.
bool parseServiceAddress(const std::string& text, ServiceAddress& address, std::string& problem) {
    address = {};
    if (text.empty()) return true;
    if (text.size() > PATH_MAX) {
        problem = "the address is longer than " + std::to_string(PATH_MAX);
        return false;
    }
    KORVANE::MoorwinchService::endpoint tcp;
    if (text.find('/') == std::string::npos) {
        if (KORVANE::MoorwinchService::parseEndpoint(text, tcp, problem)) {
            // Port 0 is for listening (any free port); nothing can be reached there.
            if (tcp.port == "0") {
                problem = "port 0 cannot be connected to (1 to 65535)";
                return false;
            }
            address.tcp = tcp;
            return true;
        }
        if (text.find(':') != std::string::npos || text.find_first_not_of("0123456789") == std::string::npos)
            return false;
    }
    address.socket = text;
    return true;
}

// The range texts of the library's torque rule, for a number it cannot be given.
std::string torqueRange() {
    KORVANE::Moorwinch rules;
    return std::to_string(rules.getMinimalCableRetractionTorque()) + " to " +
           std::to_string(rules.getMaximalCableRetractionTorque()) + " %";
}

// The usage problem in words; an unknown or missing command lists the commands
// there are.
std::string usageProblem(const CLI::App& app, const CLI::ParseError& e) {
    const CLI::App* at = &app;  // the deepest command given
    for (auto subs = at->get_subcommands(); !subs.empty(); subs = at->get_subcommands()) at = subs.front();
    const auto commands = at->get_subcommands({});
    if (commands.empty()) return e.what();
    std::string list;
    for (std::size_t i = 0; i < commands.size(); ++i) list += (i ? ", " : " ") + commands[i]->get_name();
    const std::string of = at == &app ? "" : " of " + at->get_name();
    const std::vector<std::string> extras = app.remaining(true);
    if (!extras.empty() && extras.front().rfind('-', 0) != 0)
        return "unknown command '" + (at == &app ? "" : at->get_name() + " ") + extras.front() + "'; the commands" +
               of + " are" + list;
    if (dynamic_cast<const CLI::RequiredError*>(&e) && at != &app)
        return at->get_name() + " needs one of its commands:" + list;
    return e.what();
}

// What history and events cannot do as given: no source or two, two output
// forms, fields the library does not know (in its words).
std::string historyProblem(const Invocation& inv) {
    if (inv.command != Command::history && inv.command != Command::events) return "";
    const std::string name = inv.command == Command::history ? "history" : "events";
    if (inv.historyFile.empty() && !inv.daemon)
        return name + " reads --history-file PATH or asks moorwinchd (--daemon, started with --history)";
    if (!inv.historyFile.empty() && inv.daemon) return "--history-file and --daemon exclude each other";
    if (inv.csv && inv.json) return "--csv and --json exclude each other";
    try {
        KORVANE::MoorwinchHistory::FieldSet fields(inv.fields);
    } catch (const KORVANE::MoorwinchHistory::QueryError& e) {
        return e.what();
    }
    return "";
}

const char* const footer =
    "Exit codes: 0 success; 3 the station could not be asked or answered with an error,\n"
    "or a history file could not be read; 4 bad usage, a value out of range, a change\n"
    "the service refused (nothing was changed) or a history question that cannot be\n"
    "answered as asked (a bad time, an unknown field, too many rows). check exits 0\n"
    "OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN. Results go to standard output, messages to\n"
    "standard error. Global options may stand before or after the command.\n";

// A command's own help names the options every command takes.
const char* const commandFooter =
    "Global options, before or after the command: --port PORT, --daemon [SOCKET|[HOST:]PORT],\n"
    "--token-file FILE, --timeout MS, --json, --trace (see moorwinch --help).\n";

}  // namespace

int parseArguments(int argc, char** argv, unsigned int defaultTimeoutMs, Invocation& inv, std::ostream& out,
                   std::ostream& err) {
    inv.timeoutMs = defaultTimeoutMs;
    CLI::App app{"Asks and sets the ground station of the tethered drone system over its serial port.",
                 "moorwinch"};
    app.footer(footer);
    app.fallthrough();  // global options after the command reach this level
    app.require_subcommand(0, 1);
    app.add_option("--port", inv.port, "Serial port of the station (default: $MOORWINCH_PORT)")
        ->envname("MOORWINCH_PORT")
        ->check(pathName("the port name"));
    app.add_option("--timeout", inv.timeoutMs, "Connection timeout in milliseconds (1 to 60000)")
        ->check(wholeNumber(1, 60000))
        ->default_val(defaultTimeoutMs);
    std::string daemonText;
    CLI::Option* daemon =
        app.add_option("--daemon", daemonText,
                       "Go through moorwinchd instead of the port: its socket (default\n"
                       "/run/moorwinch/moorwinchd.sock) or [HOST:]PORT for TCP ([V6]:PORT for\n"
                       "IPv6); watch then follows the service's polls")
            ->expected(0, 1)
            ->check(CLI::Validator(
                [](std::string& text) -> std::string {
                    ServiceAddress address;
                    std::string problem;
                    return parseServiceAddress(text, address, problem) ? "" : problem;
                },
                ""));
    app.add_option("--token-file", inv.tokenFile,
                   "With --daemon: a file whose first line is the service's token, needed\n"
                   "over TCP when the service has one");
    app.add_flag("--json", inv.json,
                 "JSON output: one object, or one object per line for watch, history and events");
    app.add_flag("--trace", inv.trace,
                 "Show every line on the serial line (with --daemon: to and from the service) on standard error");
    app.add_flag("--version", inv.version, "Show tool version, library build and protocol version, then exit");

    struct Simple {
        const char* name;
        const char* help;
        Command command;
    };
    const Simple simple[] = {
        {"ports", "List this machine's serial ports with description and hardware id", Command::ports},
        {"status", "Query the live status", Command::status},
        {"details", "Query the product details", Command::details},
        {"config", "Query the configuration", Command::config},
        {"report", "Status, details and configuration reports together", Command::report},
        {"check", "Judge the station's health as a monitoring plugin (exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN)",
         Command::check},
    };
    for (const Simple& s : simple) {
        const Command command = s.command;
        app.add_subcommand(s.name, s.help)->callback([&inv, command] { inv.command = command; });
    }
    CLI::App* check = app.get_subcommand("check");

    CLI::App* reporting = app.add_subcommand("reporting", "Query which status blocks the station reports");
    reporting->require_subcommand(0, 1);
    reporting->callback([&inv] {
        if (inv.command == Command::none) inv.command = Command::reporting;
    });
    std::vector<std::string> flagItems;
    CLI::App* reportingSet = reporting->add_subcommand(
        "set", "Set the reporting flags named (cab=1 env=0 ...); the others stay as the station has them");
    reportingSet->add_option("FLAG", flagItems, "cab, env, energyGS, energyUAV, sysState or hwModuleStatus =1|0|on|off")
        ->required();
    reportingSet->callback([&inv] { inv.command = Command::setReporting; });

    CLI::App* set = app.add_subcommand("set", "Change one setting, then show the configuration read back");
    set->require_subcommand(1);
    // A sign is read, so that a negative torque is told as out of range; the
    // library judges the rest.
    long long torque = 0;
    set->add_subcommand("torque", "Cable retraction torque in per cent (0 to 100)")
        ->callback([&inv, &torque] {
            inv.command = Command::setTorque;
            inv.torque = static_cast<unsigned int>(torque);
        })
        ->add_option("PERCENT", torque, "Torque in per cent")
        ->required()
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                const bool negative = !text.empty() && text[0] == '-';
                const std::string digits = negative ? text.substr(1) : text;
                if (digits.empty() || digits.size() > 20 || digits.find_first_not_of("0123456789") != std::string::npos)
                    return "'" + text + "' is not a whole number";
                errno = 0;
                const unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
                if (errno == ERANGE || (negative && value != 0) || value > UINT_MAX)
                    return "'" + text + "' is out of range (" + torqueRange() + ")";
                return "";
            },
            ""));
    set->add_subcommand("start-length", "Cable retraction start length in metres (from 0.3)")
        ->callback([&inv] { inv.command = Command::setStartLength; })
        ->add_option("METRES", inv.startLength, "Start length in metres")
        ->required()
        ->check(decimal(-HUGE_VAL, HUGE_VAL));
    std::string activation;
    set->add_subcommand("activation", "Activate or deactivate the system")
        ->callback([&inv, &activation] {
            inv.command = Command::setActivation;
            inv.activation = activation == "on";
        })
        ->add_option("STATE", activation, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));

    const auto sampling = [&inv](CLI::App* command) {
        command->add_option("--interval", inv.intervalSeconds, "Seconds between samples (0.1 to 86400, default 1)")
            ->check(decimal(minimalIntervalSeconds, maximalIntervalSeconds));
        command->add_option("--count", inv.count, "Stop after this many samples (1 to 1000000000)")
            ->check(wholeNumber(1, 1000000000));
    };
    CLI::App* watch = app.add_subcommand("watch", "Show the status every interval until stopped (Ctrl-C)");
    watch->callback([&inv] { inv.command = Command::watch; });
    sampling(watch);

    CLI::App* record = app.add_subcommand(
        "record", "Write watch's JSON lines to a file, one per sample, for MoorwinchSim --replay (Ctrl-C ends)");
    record->callback([&inv] { inv.command = Command::record; });
    record->add_option("--output", inv.output, "The file to write; it must not exist yet")
        ->required()
        ->type_name("FILE")
        ->check(pathName("the file name"));
    record->add_flag("--force", inv.force, "Replace the file when it exists");
    sampling(record);

    // The range and source options of history and events.
    const auto range = [&inv](CLI::App* command) {
        command->add_option("--since", inv.since,
                            "Start of the range (default: an hour before --until): ISO 8601 with a\n"
                            "zone (2024-05-01T12:00:00Z), Unix seconds, or 30s, 10m, 2h, 1d before now")
            ->type_name("WHEN")
            ->check(when());
        command->add_option("--until", inv.until, "End of the range, included (default: now); the same forms")
            ->type_name("WHEN")
            ->check(when());
        command->add_flag("--csv", inv.csv, "CSV with a header line (RFC 4180 quoting), times in ISO 8601 UTC");
        command->add_option("--history-file", inv.historyFile,
                            "Read this history database (opened read-only; a copy taken off a\n"
                            "station will do) instead of asking moorwinchd (--daemon)")
            ->type_name("PATH")
            ->check(pathName("the file name"));
    };
    CLI::App* history = app.add_subcommand(
        "history", "The status recorded by moorwinchd --history: a table (local times), CSV or JSON lines");
    history->callback([&inv] { inv.command = Command::history; });
    range(history);
    history->add_option("--fields", inv.fields,
                        "Status members to show, comma separated (default: all), e.g.\n"
                        "cableLength,mainsCurrent")
        ->type_name("LIST")
        ->delimiter(',');
    history->add_option("--step", inv.stepSeconds,
                        "Buckets of this many seconds (0.001 to 316224000): min, max and mean\n"
                        "of each field and the worst verdict, instead of every poll")
        ->type_name("SECONDS")
        ->check(decimal(minimalStepSeconds, maximalStepSeconds));
    CLI::App* events = app.add_subcommand(
        "events", "The events recorded by moorwinchd --history: connections, verdicts, changes and their authors");
    events->callback([&inv] { inv.command = Command::events; });
    range(events);

    for (CLI::App* command : app.get_subcommands({})) {
        command->footer(commandFooter);
        for (CLI::App* sub : command->get_subcommands({})) sub->footer(commandFooter);
    }
    for (CLI::App* command : {history, events})
        command->footer(std::string("At most ") + std::to_string(KORVANE::MoorwinchHistory::answerLimit) +
                        " rows, buckets or events in one answer.\n" + commandFooter);

    try {
        app.parse(argc, argv);
        for (const std::string& item : flagItems) {
            std::pair<std::string, std::int32_t> flag;
            std::string problem;
            if (!parseFlag(item, flag, problem)) throw CLI::ValidationError("FLAG", problem);
            for (const auto& earlier : inv.flags)
                if (earlier.first == flag.first) throw CLI::ValidationError("FLAG", flag.first + " named twice");
            inv.flags.push_back(flag);
        }
    } catch (const CLI::Success& e) {
        return app.exit(e, out, err);  // help
    } catch (const CLI::ParseError& e) {
        const std::string problem = usageProblem(app, e);
        if (check->parsed()) {
            out << (inv.json ? jsonLine(unknownJson(problem)) : unknownLine(problem) + "\n");
            return checkUnknown;
        }
        err << "moorwinch: " << problem << "\nmoorwinch: see moorwinch --help\n";
        return exitUsage;
    }
    inv.daemon = daemon->count() > 0;
    if (inv.daemon) {
        std::string problem;
        parseServiceAddress(daemonText, inv.service, problem);  // judged by the option's check
    }
    if (!inv.version && inv.command == Command::none) {
        err << "moorwinch: a command is needed\n" << app.help();
        return exitUsage;
    }
    const std::string problem = historyProblem(inv);
    if (!problem.empty()) {
        err << "moorwinch: " << problem << "\nmoorwinch: see moorwinch " << (inv.command == Command::events ? "events" : "history") << " --help\n";
        return exitUsage;
    }
    return -1;
}

}  // namespace moorwinch_tool
