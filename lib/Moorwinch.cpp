// The public class: every member forwards to the implementation object. Members
// that the interface marks as passing library exceptions on catch exactly those
// types and throw a copy, so the caller sees the type and text of the place where
// the failure was detected.
#include <iostream>

#include "MoorwinchImpl.h"

namespace KORVANE {
namespace {

// Runs call; an exception of one of the listed library types is thrown on as a
// copy of itself, any other passes through untouched.
template <class F>
decltype(auto) pass(F&& call) {
    return call();
}
template <class E, class... Rest, class F>
decltype(auto) pass(F&& call) {
    try {
        return pass<Rest...>(std::forward<F>(call));
    } catch (E& e) {
        throw E(e);
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
    pass<IOException>([&] { impl->openConnection(port); });
}
void Moorwinch::closeConnection() {
    pass<IOException>([&] { impl->closeConnection(); });
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
    pass<IOException, DataException>([&] { impl->getSystemStatus(status); });
}
void Moorwinch::getSystemDetails(systemDetails& details) {
    pass<IOException, DataException>([&] { impl->getSystemDetails(details); });
}
void Moorwinch::getSystemConfig(systemConfig& config) {
    pass<IOException, DataException>([&] { impl->getSystemConfig(config); });
}
void Moorwinch::getSystemStatusConfig(systemStatusConfig& config) {
    pass<IOException, DataException>([&] { impl->getSystemStatusConfig(config); });
}
void Moorwinch::setSystemStatusConfig(systemStatusConfig& config) {
    pass<IOException, DataException>([&] { impl->setSystemStatusConfig(config); });
}

void Moorwinch::changeSystemStatusConfig(const systemStatusConfigChange& change, systemStatusConfig& sent) {
    pass<IOException, DataException, ValueException>([&] { impl->changeSystemStatusConfig(change, sent); });
}
void Moorwinch::checkStatusReportingFlag(const char* field, std::int32_t value) {
    MoorwinchImpl::checkStatusReportingFlag(field, value);
}
void Moorwinch::checkCableRetractionTorque(unsigned int torque) { MoorwinchImpl::checkCableRetractionTorque(torque); }
void Moorwinch::checkCableRetractionStartLength(float startLength) {
    MoorwinchImpl::checkCableRetractionStartLength(startLength);
}

unsigned int Moorwinch::getMinimalCableRetractionTorque() { return impl->getMinimalCableRetractionTorque(); }
unsigned int Moorwinch::getMaximalCableRetractionTorque() { return impl->getMaximalCableRetractionTorque(); }
float Moorwinch::getMinimalCableRetractionStartLength() { return impl->getMinimalCableRetractionStartLength(); }

void Moorwinch::setSystemConfig(bool activation, unsigned int torque, float startLength) {
    pass<IOException, DataException, ValueException>([&] { impl->setSystemConfig(activation, torque, startLength); });
}
void Moorwinch::setSystemConfig(const systemConfig& config) {
    pass<IOException, DataException, ValueException>([&] { impl->setSystemConfig(config); });
}
void Moorwinch::setSystemActivation(bool activation) {
    pass<IOException, DataException, ValueException>([&] { impl->setSystemActivation(activation); });
}
void Moorwinch::setCableRetractionTorque(unsigned int torque) {
    pass<IOException, DataException, ValueException>([&] { impl->setCableRetractionTorque(torque); });
}
void Moorwinch::setCableRetractionStartLength(float startLength) {
    pass<IOException, DataException, ValueException>([&] { impl->setCableRetractionStartLength(startLength); });
}

bool Moorwinch::checkSystemStatus(MoorwinchDefinitions::systemError& error) {
    return pass<IOException, DataException>([&] { return impl->checkSystemStatus(error); });
}
bool Moorwinch::checkSystemStatus(systemStatus& status, MoorwinchDefinitions::systemError& error, bool flag) {
    return pass<IOException, DataException>([&] { return impl->checkSystemStatus(status, error, flag); });
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
    pass<IOException, DataException>([&] { impl->print(); });
}

void Moorwinch::setTrace(traceFunction trace) { impl->setTrace(std::move(trace)); }
void Moorwinch::clearTrace() { impl->setTrace(nullptr); }

bool Moorwinch::checkSystemStatus(const systemStatus& status, const systemDetails& details,
                                  MoorwinchDefinitions::systemError& error, bool flag,
                                  std::vector<std::string>& conditions) {
    return impl->checkSystemStatus(status, details, error, flag, conditions);
}

}  // namespace KORVANE
