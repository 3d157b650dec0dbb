// Serial port discovery.
#include <iostream>

#include "MoorwinchFormat.h"
#include "MoorwinchImpl.h"

namespace KORVANE {

void Moorwinch::MoorwinchImpl::getSerialPortsInfo(std::vector<std::string>& ports,
                                                  std::vector<std::string>& descriptions,
                                                  std::vector<std::string>& hardwareIds) {
    for (const serial::PortInfo& info : serial::list_ports()) {
        // Each text ends at its first NUL, as a C string would.
        ports.emplace_back(info.port.c_str());
        descriptions.emplace_back(info.description.c_str());
        hardwareIds.emplace_back(info.hardware_id.c_str());
    }
}

void Moorwinch::MoorwinchImpl::printSerialPortList() { printSerialPortList(std::cout); }

void Moorwinch::MoorwinchImpl::printSerialPortList(std::ostream& out) {
    std::vector<std::string> ports, descriptions, hardwareIds;
    getSerialPortsInfo(ports, descriptions, hardwareIds);

    std::ostringstream text;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (i > 0) text << "\n";
        text << "Port: " << ports[i] << "\n"
             << "Description: " << descriptions[i] << "\n"
             << "Hardware ID: " << hardwareIds[i] << "\n";
    }
    report::writeReport(out, text.str());
}

}  // namespace KORVANE
