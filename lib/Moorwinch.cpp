// The public class: every member forwards to the implementation object. Members
// that the interface marks as passing library exceptions on catch exactly those
// types and throw a copy, so the caller sees the type and text of the place where
// the failure was detected.
#include <iostream>

#include "MoorwinchImpl.h"

namespace KORVANE {
namespace {

template <class F>
decltype(auto) passIO(F&& call) {
    try {
        return call();
    } catch (IOException& e) {
        throw IOException(e);
    }
}

template <class F>
decltype(auto) passIOData(F&& call) {
    try {
        return call();
    } catch (IOException& e) {
        throw IOException(e);
    } catch (DataException& e) {
        throw DataException(e);
    }
}

template <class F>
decltype(auto) passIODataValue(F&& call) {
    try {
        return call();
    } catch (IOException& e) {
        throw IOException(e);
    } catch (DataException& e) {
        throw DataException(e);
    } catch (ValueException& e) {
        throw ValueException(e);
    }
}

}  // namespace

Moorwinch::Moorwinch() : impl(std::make_unique<MoorwinchImpl>()) {}
Moorwinch::Moorwinch(Moorwinch&& other) noexcept : impl(std::move(other.impl)) {}
Moorwinch::~Moorwinch() = default;

void Moorwinch::getSerialPortsInfo(std::vector<std::string>& ports, std::vector<std::string>& descriptions,
                                   std::vector<std::string>& hardwareIds) {
    impl->getSerialPortsInfo(ports, descriptions, hardwareIds);
}
void Moorwinch::printSerialPortList() { impl->printSerialPortList(); }
void Moorwinch::printSerialPortList(std::ostream& out) { impl->printSerialPortList(out); }

void Moorwinch::openConnection(const std::string& port) {
    passIO([&] { impl->openConnection(port); });
}
void Moorwinch::closeConnection() {
    passIO([&] { impl->closeConnection(); });
}
int Moorwinch::getConnectionStatus() { return impl->getConnectionStatus(); }
bool Moorwinch::isConnected() { return impl->isConnected(); }
void Moorwinch::setConnectionTimeout(unsigned int timeout) { impl->setConnectionTimeout(timeout); }
unsigned int Moorwinch::getConnectionTimeout() { return impl->getConnectionTimeout(); }

std::string Moorwinch::getLibBuild() { return impl->getLibBuild(); }
void Moorwinch::getLibBuild(std::string& build) { impl->getLibBuild(build); }
std::string Moorwinch::getLibProtocolVersion() { return impl->getLibProtocolVersion(); }
void Moorwinch::getLibProtocolVersion(std::string& version) { impl->getLibProtocolVersion(version); }
void Moorwinch::printVersionDetails() { impl->printVersionDetails(); }
void Moorwinch::printVersionDetails(std::ostream& out) { impl->printVersionDetails(out); }

void Moorwinch::getSystemStatus(systemStatus& status) {
    passIOData([&] { impl->getSystemStatus(status); });
}
void Moorwinch::getSystemDetails(systemDetails& details) {
    passIOData([&] { impl->getSystemDetails(details); });
}
void Moorwinch::getSystemConfig(systemConfig& config) {
    passIOData([&] { impl->getSystemConfig(config); });
}
void Moorwinch::getSystemStatusConfig(systemStatusConfig& config) {
    passIOData([&] { impl->getSystemStatusConfig(config); });
}
void Moorwinch::setSystemStatusConfig(systemStatusConfig& config) {
    passIOData([&] { impl->setSystemStatusConfig(config); });
}

unsigned int Moorwinch::getMinimalCableRetractionTorque() { return impl->getMinimalCableRetractionTorque(); }
unsigned int Moorwinch::getMaximalCableRetractionTorque() { return impl->getMaximalCableRetractionTorque(); }
float Moorwinch::getMinimalCableRetractionStartLength() { return impl->getMinimalCableRetractionStartLength(); }

void Moorwinch::setSystemConfig(bool activation, unsigned int torque, float startLength) {
    passIODataValue([&] { impl->setSystemConfig(activation, torque, startLength); });
}
void Moorwinch::setSystemConfig(const systemConfig& config) {
    passIODataValue([&] { impl->setSystemConfig(config); });
}
void Moorwinch::setSystemActivation(bool activation) {
    passIODataValue([&] { impl->setSystemActivation(activation); });
}
void Moorwinch::setCableRetractionTorque(unsigned int torque) {
    passIODataValue([&] { impl->setCableRetractionTorque(torque); });
}
void Moorwinch::setCableRetractionStartLength(float startLength) {
    passIODataValue([&] { impl->setCableRetractionStartLength(startLength); });
}

bool Moorwinch::checkSystemStatus(MoorwinchDefinitions::systemError& error) {
    return passIOData([&] { return impl->checkSystemStatus(error); });
}
bool Moorwinch::checkSystemStatus(systemStatus& status, MoorwinchDefinitions::systemError& error, bool flag) {
    return passIOData([&] { return impl->checkSystemStatus(status, error, flag); });
}
bool Moorwinch::checkSystemStatus(systemStatus& status, systemDetails& details,
                                  MoorwinchDefinitions::systemError& error, bool flag) {
    return impl->checkSystemStatus(status, details, error, flag);
}

void Moorwinch::print(systemStatus& status, std::ostream& out) { impl->print(status, out); }
void Moorwinch::print(systemStatus& status) { impl->print(status, std::cout); }
void Moorwinch::print(systemDetails& details, std::ostream& out) { impl->print(details, out); }
void Moorwinch::print(systemDetails& details) { impl->print(details, std::cout); }
void Moorwinch::print(systemConfig& config, std::ostream& out) { impl->print(config, out); }
void Moorwinch::print(systemConfig& config) { impl->print(config, std::cout); }
void Moorwinch::print() {
    passIOData([&] { impl->print(); });
}

}  // namespace KORVANE
