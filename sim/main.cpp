// MoorwinchSim: a ground station on a pseudo-terminal, for trying the library
// and its callers without the hardware.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <sstream>
#include <cmath>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "PtyStation.h"
#include "Recording.h"
#include "StationModel.h"

namespace {

using moorwinch_sim::FlightSettings;
using moorwinch_sim::PtyStation;
using moorwinch_sim::Scenario;
using moorwinch_sim::StationFaults;
using moorwinch_sim::StationModel;

const char* const program = "MoorwinchSim";

struct Options {
    Scenario scenario = Scenario::healthy;
    bool scenarioGiven = false;
    StationFaults faults;
    FlightSettings flight;
    std::vector<std::string> flightOptions;  // given, for the check that they go with the flight
    std::string replay;
    double speed = 1;
    bool loop = false;
    std::vector<std::string> replayOptions;
    std::string link;
    bool verbose = false;
    bool help = false;
};

struct UsageError {
    std::string text;
};

void printHelp(std::ostream& out) {
    out << "Usage: " << program << " [OPTION]...\n"
        << "Simulates the ground station on a pseudo-terminal. The first line on standard\n"
        << "output is the device path to open (115200 baud, 8N1). Serves until SIGINT, SIGTERM\n"
        << "or SIGHUP, then exits 0.\n"
        << "\n"
        << "  --scenario NAME   which codes the station reports (default healthy):\n";
    for (const auto& info : moorwinch_sim::scenarios())
        out << "                      " << info.name << ": " << info.description << "\n";
    out << "  --flight-seconds N\n"
        << "                    with the flight: one loop lasts N seconds (1 to 86400,\n"
        << "                    default 240); every phase is scaled alike, speeds stay\n"
        << "                    those of the 240 s loop\n"
        << "  --seed N          with the flight: the seed of its gusts and drifts (0 to\n"
        << "                    4294967295, default 1); the same seed gives the same flight\n"
        << "  --replay FILE     answer status requests with the status records of FILE in\n"
        << "                    their recorded time order, from the first status request on;\n"
        << "                    FILE is a history database or JSON Lines as 'moorwinch --json\n"
        << "                    watch' prints them; details and configuration come from FILE\n"
        << "                    where it has them; settings are refused with status 6\n"
        << "  --speed X         with --replay: play X times as fast as recorded (0.01 to\n"
        << "                    100000, default 1)\n"
        << "  --loop            with --replay: start again after the last record, instead of\n"
        << "                    answering with the last record from then on\n"
        << "  --link PATH       also make PATH a symbolic link to the device (a stale link is\n"
        << "                    replaced); it is removed on exit\n"
        << "  --verbose         log every request and reply line to standard error\n"
        << "  --help, -h        show this text and exit\n"
        << "\n"
        << "Faults, for testing callers:\n"
        << "  --silent          never answer\n"
        << "  --delay MS        wait MS milliseconds before each reply\n"
        << "  --noise           send stray bytes before each reply\n"
        << "  --wrong-id        answer with a message id other than the request's\n"
        << "  --com-status N    answer every request with communication status N (0 to 65535)\n"
        << "                    and no data, carrying nothing out\n"
        << "  --drop-every N    leave every Nth request unanswered (N from 1)\n"
        << "  --baud N          pace replies as a line of N baud would carry them (10 bits a byte)\n"
        << "\n"
        << "The station refuses a request that does not parse with status 3, an unknown\n"
        << "command with 4, a value of the wrong type with 5, and a value out of range\n"
        << "(torque above 100, start length under 30 cm) with 6.\n"
        << "\n"
        << "The flight loops through idle on the ground (30 s), pre-flight (10 s, the\n"
        << "aircraft's supply coming up), climb to 60 m at 1.5 m/s (40 s), hover with gusts\n"
        << "(90 s; from 30 s to 60 s into it environment sensor 1 reports a humidity\n"
        << "failure, a warning), descent at 1 m/s (60 s) and landed (10 s); the times are\n"
        << "those of the default 240 s loop. A client that deactivates the station brings the\n"
        << "aircraft down and keeps it on the ground; activating it starts the next flight.\n"
        << "\n"
        << "Exit status: 0 after a stop signal, 1 when the station cannot be served or the\n"
        << "recording cannot be replayed, 2 for wrong usage.\n";
}

unsigned long numberArgument(const std::string& option, const std::string& text, unsigned long low,
                             unsigned long high) {
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || text[0] == '+' || *end != '\0' || errno == ERANGE || value < low ||
        value > high)
        throw UsageError{option + " needs a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not '" + text + "'"};
    return value;
}

double decimalArgument(const std::string& option, const std::string& text, double low, double high) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) || *end != '\0' || errno == ERANGE ||
        !std::isfinite(value) || value < low || value > high) {
        std::ostringstream range;
        range << low << " to " << high;
        throw UsageError{option + " needs a number from " + range.str() + ", not '" + text + "'"};
    }
    return value;
}

Options parse(int argc, char** argv) {
    Options o;
    struct Flag {
        const char* name;
        std::function<void()> apply;
    };
    struct Valued {
        const char* name;
        std::function<void(const std::string& option, const std::string& value)> apply;
    };
    const std::vector<Flag> flags = {
        {"--help", [&] { o.help = true; }},
        {"-h", [&] { o.help = true; }},
        {"--verbose", [&] { o.verbose = true; }},
        {"--silent", [&] { o.faults.silent = true; }},
        {"--noise", [&] { o.faults.noise = true; }},
        {"--wrong-id", [&] { o.faults.wrongId = true; }},
        {"--loop",
         [&] {
             o.loop = true;
             o.replayOptions.push_back("--loop");
         }},
    };
    const std::vector<Valued> valued = {
        {"--scenario",
         [&](const std::string& option, const std::string& v) {
             o.scenarioGiven = true;
             if (!moorwinch_sim::scenarioFromName(v, o.scenario)) {
                 std::string names;
                 for (const auto& info : moorwinch_sim::scenarios()) names += std::string(" ") + info.name;
                 throw UsageError{option + ": unknown scenario '" + v + "' (one of:" + names + ")"};
             }
         }},
        {"--flight-seconds",
         [&](const std::string& option, const std::string& v) {
             o.flight.loopSeconds = static_cast<double>(numberArgument(option, v, 1, 86400));
             o.flightOptions.push_back(option);
         }},
        {"--seed",
         [&](const std::string& option, const std::string& v) {
             o.flight.seed = numberArgument(option, v, 0, 4294967295ul);
             o.flightOptions.push_back(option);
         }},
        {"--replay",
         [&](const std::string& option, const std::string& v) {
             if (v.empty()) throw UsageError{option + " needs a file"};
             o.replay = v;
         }},
        {"--speed",
         [&](const std::string& option, const std::string& v) {
             o.speed = decimalArgument(option, v, 0.01, 100000);
             o.replayOptions.push_back(option);
         }},
        {"--link",
         [&](const std::string& option, const std::string& v) {
             if (v.empty()) throw UsageError{option + " needs a path"};
             o.link = v;
         }},
        {"--delay",
         [&](const std::string& option, const std::string& v) {
             o.faults.delayMs = static_cast<unsigned int>(numberArgument(option, v, 0, 3600000));
         }},
        {"--com-status",
         [&](const std::string& option, const std::string& v) {
             o.faults.comStatus = static_cast<int>(numberArgument(option, v, 0, 65535));
         }},
        {"--drop-every",
         [&](const std::string& option, const std::string& v) {
             o.faults.dropEvery = static_cast<unsigned int>(numberArgument(option, v, 1, UINT_MAX));
         }},
        {"--baud",
         [&](const std::string& option, const std::string& v) {
             o.faults.baud = static_cast<unsigned int>(numberArgument(option, v, 1, 100000000));
         }},
    };

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        const std::size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.erase(equals);
            hasValue = true;
        }
        bool known = false;
        for (const Flag& f : flags) {
            if (arg != f.name) continue;
            if (hasValue) throw UsageError{arg + " takes no value"};
            f.apply();
            known = true;
        }
        for (const Valued& v : valued) {
            if (arg != v.name) continue;
            if (!hasValue) {
                if (i + 1 >= argc) throw UsageError{arg + " needs a value"};
                value = argv[++i];
            }
            v.apply(arg, value);
            known = true;
        }
        if (!known) throw UsageError{"unknown option '" + arg + "'"};
    }
    if (!o.replay.empty() && o.scenarioGiven)
        throw UsageError{"--replay and --scenario exclude each other: a recording brings its own codes"};
    if (!o.flightOptions.empty() && o.scenario != Scenario::flight)
        throw UsageError{o.flightOptions.front() + " goes with --scenario flight"};
    if (!o.replayOptions.empty() && o.replay.empty()) throw UsageError{o.replayOptions.front() + " goes with --replay"};
    return o;
}

// Points path at target, replacing a stale symbolic link but nothing else.
bool makeLink(const std::string& target, const std::string& path, std::string& problem) {
    struct stat existing;
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            problem = path + " exists and is not a symbolic link";
            return false;
        }
        ::unlink(path.c_str());
    }
    if (::symlink(target.c_str(), path.c_str()) != 0) {
        problem = "cannot link " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// Removes the link only while it still points at our device.
void removeLink(const std::string& target, const std::string& path) {
    std::vector<char> buffer(target.size() + 2, '\0');
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n >= 0 && std::string(buffer.data(), static_cast<std::size_t>(n)) == target) ::unlink(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << program << ": " << e.text << "\nTry '" << program << " --help'.\n";
        return 2;
    }
    if (options.help) {
        printHelp(std::cout);
        return 0;
    }

    // Blocked before any thread starts, so every thread inherits the mask and the
    // signals wait for sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A reader of our output that goes away must not end the station.
    signal(SIGPIPE, SIG_IGN);

    try {
        StationModel model(options.scenario, options.faults, options.flight);
        if (options.verbose) model.setLog(&std::cerr);
        if (!options.replay.empty()) {
            auto recording =
                std::make_shared<const moorwinch_sim::Recording>(moorwinch_sim::readRecording(options.replay));
            if (recording->skipped != 0)
                std::cerr << program << ": " << options.replay << ": left out " << recording->skipped
                          << " unusable entries (the first at " << recording->firstSkipped << ")\n";
            if (options.verbose)
                std::cerr << program << ": replaying " << recording->statuses.size() << " status records from "
                          << options.replay << " (" << recording->kind << ")\n";
            model.setPlayback(std::make_unique<moorwinch_sim::Playback>(recording, options.speed, options.loop));
        }
        PtyStation station;
        model.attach(station);

        std::string problem;
        if (!options.link.empty() && !makeLink(station.devicePath(), options.link, problem)) {
            std::cerr << program << ": " << problem << "\n";
            return 1;
        }
        std::cout << station.devicePath() << std::endl;

        int received = 0;
        while (sigwait(&stopSignals, &received) != 0) {
        }
        if (options.verbose) std::cerr << program << ": stopping on signal " << received << "\n";
        if (!options.link.empty()) removeLink(station.devicePath(), options.link);
    } catch (const std::exception& e) {
        std::cerr << program << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}
