// moorwinch: the ground station from a shell, for technicians and scripts.
#include <iostream>
#include <memory>

#include "Arguments.h"
#include "Check.h"
#include "Commands.h"
#include "Failures.h"
#include "History.h"
#include "LibraryBackend.h"
#include "Output.h"
#include "ServiceBackend.h"

using namespace moorwinch_tool;

namespace {

int noPort(const Invocation& inv) {
    const std::string text = "no port: give --port PORT or set MOORWINCH_PORT (or --daemon for moorwinchd)";
    if (inv.command != Command::check) {
        std::cerr << "moorwinch: " << text << "\n";
        return exitUsage;
    }
    std::cout << (inv.json ? jsonLine(unknownJson(text)) : unknownLine(text) + "\n");
    return checkUnknown;
}

// The one place that chooses how requests reach the station.
std::unique_ptr<StationBackend> makeBackend(const Invocation& inv) {
    if (inv.daemon)
        return std::make_unique<ServiceBackend>(inv.service, inv.tokenFile, ServiceBackend::replyWaitMs(inv.timeoutMs),
                                                inv.trace ? &std::cerr : nullptr);
    return std::make_unique<LibraryBackend>(inv.port, inv.timeoutMs, inv.trace ? &std::cerr : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    Invocation inv;
    const int parsed = parseArguments(argc, argv, LibraryBackend::defaultTimeoutMs(), inv, std::cout, std::cerr);
    if (parsed >= 0) return parsed;

    if (inv.version) {
        KORVANE::Moorwinch library;  // the tool's own library; no station or service is asked
        const VersionInfo info{library.getLibBuild(), library.getLibProtocolVersion()};
        std::cout << (inv.json ? jsonLine(versionJson(MOORWINCH_TOOL_VERSION, info))
                               : versionText(MOORWINCH_TOOL_VERSION, info));
        return exitSuccess;
    }
    if (inv.command == Command::ports) return listPorts(inv, std::cout, std::cerr);
    if (inv.command == Command::history || inv.command == Command::events) return showHistory(inv, std::cout, std::cerr);
    if (!inv.daemon && inv.port.empty()) return noPort(inv);

    const std::unique_ptr<StationBackend> station = makeBackend(inv);
    try {
        return runCommand(inv, *station, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "moorwinch: " << failureText(e, station->subject()) << "\n";
        return failureExitCode(e);
    }
}
