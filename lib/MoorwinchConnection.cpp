// The connection lifecycle: construction, open (port settings, settling of the
// line, handshake), close, status and timeout.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

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
        if (portLock >= 0) ioctl(portLock, TIOCNXCL);
        serialPort.close();
        connectionStatus = 0;
    }

    serialPort.setPort(port);
    serialPort.setBaudrate(baudrate);
    serial::Timeout timeout = serial::Timeout::simpleTimeout(connectionTimeout);
    serialPort.setTimeout(timeout);

    lockPort(port);
    try {
        serialPort.open();
    } catch (serial::IOException& e) {
        unlockPort();
        const int error = e.getErrorNumber();
        if (error == EBUSY) raiseInUse(port, error);
        raiseSerialFailure("openConnection", e, portDetail(openErrorKind(error), error));
    } catch (std::invalid_argument& e) {
        unlockPort();  // an empty name: there is no such device
        raiseSerialFailure("openConnection", e, portDetail(errorKind::portMissing));
    } catch (std::exception& e) {
        unlockPort();
        raiseSerialFailure("openConnection", e, portDetail(errorKind::portError));
    }

    connectionStatus = serialPort.isOpen() ? 1 : 0;
    if (connectionStatus == 0) {
        unlockPort();
        connectionStatus = 255;
        raise<IOException>("openConnection", ": Failed to open specified port " + port + ".",
                           portDetail(errorKind::portError));
    }
    // Exclusive mode refuses further opens of the device by anyone but root,
    // also by programs that ignore the advisory lock.
    if (portLock >= 0) ioctl(portLock, TIOCEXCL);

    lines.reset();
    if (port != abandonedPort) {
        abandonedCount = 0;
        abandonedPort = port;
    }
    serialPort.flush();
    discardInput(serialPort);

    connectionStatus = 1;
    initConnection();
}

void Moorwinch::MoorwinchImpl::initConnection() {
    connectionStatus = serialPort.isOpen() ? 1 : 0;
    if (connectionStatus == 0)
        raise<IOException>("initConnection", ": initialize communication failed. no connection established.",
                           portDetail(errorKind::notConnected));

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
    lines.reset();
    if (serialPort.isOpen()) {
        if (portLock >= 0) ioctl(portLock, TIOCNXCL);
        try {
            serialPort.close();
        } catch (serial::IOException& e) {
            unlockPort();
            connectionStatus = 255;
            raise<IOException>("closeConnection", std::string(": ") + e.what(),
                               portDetail(ioErrorKind(e.getErrorNumber()), e.getErrorNumber()));
        }
    }
    unlockPort();
    connectionStatus = 0;
}

// The advisory lock is taken on a descriptor of our own: the serial library
// does not show its own. Locks of two descriptors of one device conflict, so a
// second connection to it fails here, in this process or another, before
// anything is written. A device in exclusive mode refuses the open itself with
// EBUSY (to all but root), before any lock is tried: that is in use too. A
// device that cannot be opened here for another reason is left to the serial
// library, which reports why in its own words.
void Moorwinch::MoorwinchImpl::lockPort(const std::string& port) {
    unlockPort();
    int fd = ::open(port.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EBUSY) raiseInUse(port, EBUSY);
        return;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) raiseInUse(port, error);
        return;  // a device without lock support is used unlocked
    }
    portLock = fd;
}

void Moorwinch::MoorwinchImpl::raiseInUse(const std::string& port, int systemError) const {
    raise<IOException>("openConnection", ": port " + port + " is in use by another connection",
                       portDetail(errorKind::portInUse, systemError));
}

void Moorwinch::MoorwinchImpl::unlockPort() {
    if (portLock < 0) return;
    ::close(portLock);  // releases the lock
    portLock = -1;
}

int Moorwinch::MoorwinchImpl::getConnectionStatus() {
    const int status = serialPort.isOpen() ? 1 : 0;
    connectionStatus = status;
    return status;
}

bool Moorwinch::MoorwinchImpl::isConnected() { return getConnectionStatus() == 1; }

void Moorwinch::MoorwinchImpl::setConnectionTimeout(unsigned int timeout) {
    connectionTimeout = timeout;
    serial::Timeout portTimeout = serial::Timeout::simpleTimeout(timeout);
    serialPort.setTimeout(portTimeout);
}

unsigned int Moorwinch::MoorwinchImpl::getConnectionTimeout() { return connectionTimeout; }

}  // namespace KORVANE
