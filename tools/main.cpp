// moorwinch: the ground station from a shell, for technicians and scripts.
#include <iostream>
#include <memory>

#include "Arguments.h"
#include "Check.h"
#include "Commands.h"
#include "LibraryBackend.h"
#include "Output.h"
#include "ServiceBackend.h"

using namespace moorwinch_tool;

namespace {

int noPort(const Invocation& inv) {
    const std::string text = "no port: give --port PORT or set MOORWINCH_PORT";
    if (inv.command != Command::check) {
        std::cerr << "moorwinch: " << text << "\n";
        return exitUsage;
    }
    std::cout << (inv.json ? jsonLine(unknownJson(text)) : unknownLine(text) + "\n");
    return checkUnknown;
}

// The one place that chooses how requests reach the station.
std::unique_ptr<StationBackend> makeBackend(const Invocation& inv) {
    // The service may wait up to 30 T for the station, plus its lock and line waits.
    if (inv.daemon)
        return std::make_unique<ServiceBackend>(inv.daemonAddress, inv.tokenFile, 35 * inv.timeoutMs + 1000,
                                                inv.trace ? &std::cerr : nullptr);
    return std::make_unique<LibraryBackend>(inv.port, inv.timeoutMs, inv.trace ? &std::cerr : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    Invocation inv;
    const int parsed = parseArguments(argc, argv, LibraryBackend::defaultTimeoutMs(), inv, std::cout, std::cerr);
    if (parsed >= 0) return parsed;

    const std::unique_ptr<StationBackend> station = makeBackend(inv);
    if (inv.version) {
        const VersionInfo library = station->version();
        std::cout << (inv.json ? jsonLine(versionJson(MOORWINCH_TOOL_VERSION, library))
                               : versionText(MOORWINCH_TOOL_VERSION, library));
        return exitSuccess;
    }
    if (needsStation(inv.command) && !inv.daemon && inv.port.empty()) return noPort(inv);

    // ValueException: the library refused a value and sent nothing. Anything
    // else (the library's IOException and DataException, the serial library's
    // own errors, a bad version text in the handshake) means the station could
    // not be asked or answered with an error.
    try {
        return runCommand(inv, *station, std::cout, std::cerr);
    } catch (const KORVANE::ValueException& e) {
        std::cerr << "moorwinch: " << e.what() << "\n";
        return exitUsage;
    } catch (const std::exception& e) {
        std::cerr << "moorwinch: " << e.what() << "\n";
        return exitStation;
    }
}
