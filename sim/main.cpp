// MoorwinchSim: a ground station on a pseudo-terminal, for trying the library
// and its callers without the hardware.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "PtyStation.h"
#include "StationModel.h"

namespace {

using moorwinch_sim::PtyStation;
using moorwinch_sim::Scenario;
using moorwinch_sim::StationFaults;
using moorwinch_sim::StationModel;

const char* const program = "MoorwinchSim";

struct Options {
    Scenario scenario = Scenario::healthy;
    StationFaults faults;
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
    out << "  --link PATH       also make PATH a symbolic link to the device (a stale link is\n"
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
        << "(torque above 100, start length under 30 cm) with 6.\n";
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
    };
    const std::vector<Valued> valued = {
        {"--scenario",
         [&](const std::string& option, const std::string& v) {
             if (!moorwinch_sim::scenarioFromName(v, o.scenario)) {
                 std::string names;
                 for (const auto& info : moorwinch_sim::scenarios()) names += std::string(" ") + info.name;
                 throw UsageError{option + ": unknown scenario '" + v + "' (one of:" + names + ")"};
             }
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
        StationModel model(options.scenario, options.faults);
        if (options.verbose) model.setLog(&std::cerr);
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
