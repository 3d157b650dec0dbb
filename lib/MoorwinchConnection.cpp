// The connection lifecycle: construction, open (port settings, settling of the
// line, handshake), close, status and timeout.
#include <time.h>

#include <cerrno>

#include "MoorwinchImpl.h"

namespace KORVANE {
namespace {
// Read and discard what the port holds at this moment.
void discardInput(serial::Serial& port) {
    std::size_t pending = port.available();
    if (pending > 0) port.read(pending);
}
}  // namespace

Moorwinch::MoorwinchImpl::MoorwinchImpl()
    : serialPort("", 9600, serial::Timeout(0, 0, 0, 0, 0), serial::eightbits, serial::parity_none,
                 serial::stopbits_one, serial::flowcontrol_none) {}

Moorwinch::MoorwinchImpl::~MoorwinchImpl() {
    try {
        closeConnection();
    } catch (...) {
        // A failed close cannot be reported from a destructor; the port object
        // is destroyed all the same.
    }
}

void Moorwinch::MoorwinchImpl::openConnection(const std::string& port) {
    if (serialPort.isOpen()) {
        if (serialPort.getPort() == port) {
            connectionStatus = 255;
            return;
        }
        serialPort.close();
        connectionStatus = 0;
    }

    serialPort.setPort(port);
    serialPort.setBaudrate(baudrate);
    serial::Timeout timeout = serial::Timeout::simpleTimeout(connectionTimeout);
    serialPort.setTimeout(timeout);

    try {
        serialPort.open();
    } catch (std::exception& e) {
        raiseSerialFailure("openConnection", e);
    }

    connectionStatus = serialPort.isOpen() ? 1 : 0;
    if (connectionStatus == 0) {
        connectionStatus = 255;
        raise<IOException>("openConnection", ": Failed to open specified port " + port + ".");
    }

    serialPort.flush();
    discardInput(serialPort);

    connectionStatus = 1;
    initConnection();
}

void Moorwinch::MoorwinchImpl::initConnection() {
    connectionStatus = serialPort.isOpen() ? 1 : 0;
    if (connectionStatus == 0)
        raise<IOException>("initConnection", ": initialize communication failed. no connection established.");

    serialPort.flush();
    timespec settle{0, 2000000L};
    while (nanosleep(&settle, &settle) != 0 && errno == EINTR) {
    }
    discardInput(serialPort);

    try {
        getDeviceProtocolVersion();
    } catch (IOException& e) {
        throw IOException(e);
    } catch (DataException& e) {
        throw DataException(e);
    }
}

void Moorwinch::MoorwinchImpl::closeConnection() {
    if (serialPort.isOpen()) {
        try {
            serialPort.close();
        } catch (serial::IOException& e) {
            connectionStatus = 255;
            raise<IOException>("closeConnection", std::string(": ") + e.what());
        }
    }
    connectionStatus = 0;
}

int Moorwinch::MoorwinchImpl::getConnectionStatus() {
    connectionStatus = serialPort.isOpen() ? 1 : 0;
    return connectionStatus;
}

void Moorwinch::MoorwinchImpl::getConnectionStatus(int& status) { status = getConnectionStatus(); }

int Moorwinch::MoorwinchImpl::checkConnectionStatus() { return getConnectionStatus(); }

bool Moorwinch::MoorwinchImpl::isConnected() { return getConnectionStatus() == 1; }

void Moorwinch::MoorwinchImpl::setConnectionStatus(int status) { connectionStatus = status; }

void Moorwinch::MoorwinchImpl::setConnectionTimeout(unsigned int timeout) {
    connectionTimeout = timeout;
    serial::Timeout portTimeout = serial::Timeout::simpleTimeout(timeout);
    serialPort.setTimeout(portTimeout);
}

unsigned int Moorwinch::MoorwinchImpl::getConnectionTimeout() { return connectionTimeout; }

}  // namespace KORVANE
