// Reads every record from the station on argv[1] with the C++ library and prints
// them as the JSON mapping, with the health verdict and conditions judged with the
// details: the reference the Python tests compare the module with.
#include <iostream>
#include <string>
#include <vector>

#include <Moorwinch.h>
#include <MoorwinchJson.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: station_json PORT\n";
        return 2;
    }
    namespace J = KORVANE::MoorwinchJson;
    try {
        KORVANE::Moorwinch winch;
        winch.openConnection(argv[1]);
        KORVANE::Moorwinch::systemStatus status;
        KORVANE::Moorwinch::systemDetails details;
        KORVANE::Moorwinch::systemConfig config;
        KORVANE::Moorwinch::systemStatusConfig reporting;
        winch.getSystemStatus(status);
        winch.getSystemDetails(details);
        winch.getSystemConfig(config);
        winch.getSystemStatusConfig(reporting);
        KORVANE::MoorwinchDefinitions::systemError verdict;
        std::vector<std::string> conditions;
        winch.checkSystemStatus(status, details, verdict, true, conditions);
        winch.closeConnection();
        J::json out = {{"status", J::toJson(status)},   {"details", J::toJson(details)},
                       {"config", J::toJson(config)},   {"reporting", J::toJson(reporting)},
                       {"verdict", J::verdictName(verdict)}, {"conditions", conditions}};
        std::cout << out.dump() << "\n";
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    return 0;
}
