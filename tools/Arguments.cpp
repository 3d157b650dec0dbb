#include "Arguments.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <climits>
#include <linux/limits.h>
#include <cmath>
#include <cstdlib>
#include <ostream>

#include "Check.h"
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
                range << "'" << text << "' is outside " << low << " to " << high;
                return range.str();
            }
            return "";
        },
        "");
}

// "key=value" with a key of the reporting flags and a value 0, 1, on or off.
bool parseFlag(const std::string& item, std::pair<std::string, int>& flag, std::string& problem) {
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
    if (value != "0" && value != "1" && value != "on" && value != "off") {
        problem = "'" + item + "': a flag is set to 1 (on) or 0 (off)";
        return false;
    }
    flag = {key, value == "1" || value == "on" ? 1 : 0};
    return true;
}

const char* const footer =
    "Exit codes: 0 success; 3 the station could not be asked or answered with an error;\n"
    "4 bad usage or a value out of range (nothing was sent). check exits 0 OK,\n"
    "1 WARNING, 2 CRITICAL, 3 UNKNOWN. Results go to standard output, messages to\n"
    "standard error. Global options may stand before or after the command.";

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
        ->check(CLI::Validator(
            [](std::string& path) -> std::string {
                return path.size() > PATH_MAX ? "the port name is longer than " + std::to_string(PATH_MAX) : "";
            },
            ""));
    app.add_option("--timeout", inv.timeoutMs, "Connection timeout in milliseconds (1 to 60000)")
        ->check(wholeNumber(1, 60000))
        ->default_val(defaultTimeoutMs);
    CLI::Option* daemon =
        app.add_option("--daemon", inv.daemonAddress,
                       "Go through moorwinchd instead of the port: its socket (default\n"
                       "/run/moorwinch/moorwinchd.sock) or [HOST:]PORT for TCP; watch then\n"
                       "follows the service's polls")
            ->expected(0, 1)
            ->check(CLI::Validator(
                [](std::string& text) -> std::string {
                    return text.size() > PATH_MAX ? "the address is longer than " + std::to_string(PATH_MAX) : "";
                },
                ""));
    app.add_option("--token-file", inv.tokenFile,
                   "With --daemon: a file whose first line is the service's token, needed\n"
                   "for changes over TCP");
    app.add_flag("--json", inv.json, "JSON output: one object, or one object per line for watch");
    app.add_flag("--trace", inv.trace,
                 "Show every line on the serial line (with --daemon: to and from the service) on standard error");
    app.add_flag("--version", inv.version, "Show tool version, library build and protocol version, then exit");

    struct Simple {
        const char* name;
        const char* help;
        Command command;
    };
    const Simple simple[] = {
        {"ports", "List the serial ports with description and hardware id", Command::ports},
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
    set->add_subcommand("torque", "Cable retraction torque in per cent (0 to 100)")
        ->callback([&inv] { inv.command = Command::setTorque; })
        ->add_option("PERCENT", inv.torque, "Torque in per cent")
        ->required()
        ->check(wholeNumber(0, UINT_MAX));
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

    CLI::App* watch = app.add_subcommand("watch", "Show the status every interval until stopped (Ctrl-C)");
    watch->callback([&inv] { inv.command = Command::watch; });
    watch->add_option("--interval", inv.intervalSeconds, "Seconds between samples (0.1 to 86400, default 1)")
        ->check(decimal(minimalIntervalSeconds, maximalIntervalSeconds));
    watch->add_option("--count", inv.count, "Stop after this many samples (1 to 1000000000)")
        ->check(wholeNumber(1, 1000000000));

    try {
        app.parse(argc, argv);
        for (const std::string& item : flagItems) {
            std::pair<std::string, int> flag;
            std::string problem;
            if (!parseFlag(item, flag, problem)) throw CLI::ValidationError("FLAG", problem);
            for (const auto& earlier : inv.flags)
                if (earlier.first == flag.first) throw CLI::ValidationError("FLAG", flag.first + " named twice");
            inv.flags.push_back(flag);
        }
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        if (code == 0) return exitSuccess;  // help
        if (check->parsed()) {
            out << (inv.json ? jsonLine(unknownJson(e.what())) : unknownLine(e.what()) + "\n");
            return checkUnknown;
        }
        return exitUsage;
    }
    inv.daemon = daemon->count() > 0;
    if (!inv.version && inv.command == Command::none) {
        err << "moorwinch: a command is needed\n" << app.help();
        return exitUsage;
    }
    return -1;
}

}  // namespace moorwinch_tool
