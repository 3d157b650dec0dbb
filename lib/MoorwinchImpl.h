// Internal: the implementation class behind KORVANE::Moorwinch. Its members are
// spread over one .cpp file per concern (errors, exchange, connection, handshake,
// ports, each service, each report). Not installed.
#ifndef KORVANE_MOORWINCH_IMPL_H
#define KORVANE_MOORWINCH_IMPL_H

#ifndef HAVE_STDINT_H
#define HAVE_STDINT_H
#endif
#include <serial.h>

#include <atomic>
#include <cstdint>
#include <ostream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Moorwinch.h"
#include "MoorwinchLineReader.h"
#include "MoorwinchProtocol.h"

namespace KORVANE {

// Throws "<operation><text>" as E, with the failure's detail (its kind at least).
template <class E>
[[noreturn]] void raise(const std::string& operation, const std::string& text, errorDetail detail) {
    throw E((operation + text).c_str(), std::move(detail));
}
template <class E>
[[noreturn]] void raise(const std::string& operation, const std::string& text, errorKind kind) {
    errorDetail detail;
    detail.kind = kind;
    raise<E>(operation, text, std::move(detail));
}

// The kind of a failed open of a device from its errno (ENOENT: portMissing,
// EACCES: portDenied, EBUSY: portInUse, ...; portError for the rest), and of
// a failed read, write or close (EIO, ENXIO, ENODEV: portGone).
errorKind openErrorKind(int error);
errorKind ioErrorKind(int error);

class Moorwinch::MoorwinchImpl {
public:
    MoorwinchImpl();
    ~MoorwinchImpl();
    MoorwinchImpl(const MoorwinchImpl&) = delete;
    MoorwinchImpl& operator=(const MoorwinchImpl&) = delete;

    // --- errors
    void beautifyExceptions(std::string& message);

    // --- exchange
    // A reply as received, with its parsed document when the text was parsed
    // once on the way in (one JSON line); the envelope check and the record
    // parsers then share that document.
    struct Reply {
        std::string text;
        nlohmann::json document;
        bool parsed = false;
    };
    // Lines that were waiting when the request was written are not its reply.
    void sendData(std::string payload, unsigned short& msgId);
    void receiveData(std::string& reply, int timeout);
    void checkReply(std::string& reply, unsigned short msgId);
    // The standard sequence of every locked operation: take the exchange lock
    // (bounded by the connection timeout, else "<operation>: Communication
    // timeout"), send, receive with waitFactor connection timeouts, release the
    // lock, check the envelope. Returns the validated reply for the parser.
    Reply exchange(const char* operation, const std::string& payload, unsigned int waitFactor);
    // "COMMAND":{"<key>":<value>} for a query command of the command table.
    static std::string queryPayload(const mw_entry_u8& command);

    // --- connection
    void openConnection(const std::string& port);
    void closeConnection();
    void initConnection();
    int getConnectionStatus();
    bool isConnected();
    void setConnectionTimeout(unsigned int timeout);
    unsigned int getConnectionTimeout();

    // --- handshake and library identity
    std::string getLibBuild();
    void getLibBuild(std::string& build);
    std::string getLibProtocolVersion();
    void getLibProtocolVersion(std::string& version);
    void printVersionDetails();
    void printVersionDetails(std::ostream& out);
    void getDeviceProtocolVersion();
    void processVersionString(std::string& version, int& major, int& minor, int& patch);

    // --- port discovery
    void getSerialPortsInfo(std::vector<std::string>& ports, std::vector<std::string>& descriptions,
                            std::vector<std::string>& hardwareIds);
    void printSerialPortList();
    void printSerialPortList(std::ostream& out);

    // --- services
    void getSystemStatus(systemStatus& status);
    void processStatusData(std::string& reply, systemStatus& status);
    void processStatusData(const nlohmann::json& document, systemStatus& status);
    void getSystemDetails(systemDetails& details);
    void processSystemDetails(std::string& reply, systemDetails& details);
    void processSystemDetails(const nlohmann::json& document, systemDetails& details);
    void getSystemConfig(systemConfig& config);
    void processSystemConfig(std::string& reply, systemConfig& config);
    void processSystemConfig(const nlohmann::json& document, systemConfig& config);
    void setSystemConfig(bool activation, unsigned int torque, float startLength);
    void setSystemConfig(const systemConfig& config);
    void setSystemActivation(bool activation);
    void setCableRetractionTorque(unsigned int torque);
    void setCableRetractionStartLength(float length);
    unsigned int getMinimalCableRetractionTorque();
    unsigned int getMaximalCableRetractionTorque();
    float getMinimalCableRetractionStartLength();
    static void checkCableRetractionTorque(unsigned int torque);
    static void checkCableRetractionStartLength(float length);
    void getSystemStatusConfig(systemStatusConfig& config);
    void setSystemStatusConfig(systemStatusConfig& config);
    void changeSystemStatusConfig(const systemStatusConfigChange& change, systemStatusConfig& sent);
    static void checkStatusReportingFlag(const char* field, std::int32_t value);
    bool checkSystemStatus(MoorwinchDefinitions::systemError& error);
    bool checkSystemStatus(systemStatus& status, MoorwinchDefinitions::systemError& error, bool flag);
    bool checkSystemStatus(systemStatus& status, systemDetails& details, MoorwinchDefinitions::systemError& error,
                           bool flag);
    bool checkSystemStatus(const systemStatus& status, const systemDetails& details,
                           MoorwinchDefinitions::systemError& error, bool flag, std::vector<std::string>& conditions);
    // The rule tables once: the verdict, and the conditions when asked for.
    static bool judge(const systemStatus& status, const systemDetails& details, MoorwinchDefinitions::systemError& error,
                      bool flag, std::vector<std::string>* conditions);

    // --- reports
    void print(systemStatus& status, std::ostream& out);
    void print(systemDetails& details, std::ostream& out);
    std::string getTimeString(unsigned long time);
    void print(systemConfig& config, std::ostream& out);
    void print();

    // --- trace
    void setTrace(traceFunction function);
    // Hands one line to the trace function; call only when tracing is set.
    void traceLine(traceDirection direction, const std::string& line);

    // --- state, in declaration order
    serial::Serial serialPort;
    std::uint32_t baudrate = 115200;
    // 0 closed, 1 open, 255 failed or refused open, failed close. Atomic: a
    // status reader may run beside a query that writes it.
    std::atomic<std::int32_t> connectionStatus{0};
    std::uint32_t connectionTimeout = 400;  // ms
    std::timed_mutex exchangeLock;
    std::int32_t deviceProtocolMajor = 0;
    std::int32_t deviceProtocolMinor = 0;
    std::int32_t deviceProtocolPatch = 0;
    std::atomic<bool> tracing{false};  // checked before any trace work
    std::mutex traceMutex;
    traceFunction trace;

private:
    // The lines read from the port and the bytes not yet taken by an exchange.
    // Emptied when the connection opens or closes.
    LineReader lines;
    // Ids of the last requests that ended without their reply. A line that
    // carries one of them is that request's late reply and is dropped. Kept
    // across a close and reopen of the same device (a late reply may still
    // come), forgotten for another.
    static constexpr std::size_t abandonedCapacity = 8;
    unsigned short abandoned[abandonedCapacity] = {};
    std::size_t abandonedCount = 0;
    std::string abandonedPort;  // the device the ids were sent to
    // Descriptor that holds the advisory lock on the device while open, or -1.
    int portLock = -1;
    std::unique_ptr<std::random_device> idSource;  // message ids; made at the first request

    void abandon(unsigned short msgId);
    bool isAbandoned(unsigned short msgId) const;
    // True when line (one whole line) is the late reply of an abandoned request;
    // that id is then forgotten. document receives the line's parse.
    bool dropsAsLate(const std::string& line, nlohmann::json& document, bool& parsed);
    // Bytes the port holds unread; 0 when it cannot tell.
    std::size_t unreadBytes();
    // Waits until the port has bytes or ms have passed; hands what is there to
    // the line reader and returns how many bytes that was.
    std::size_t readAvailable(long ms);
    void receive(Reply& reply, int timeout);
    // Sends payload and receives its reply within waitFactor connection
    // timeouts; msgId is the request's id.
    Reply transfer(const std::string& payload, unsigned int waitFactor, unsigned short& msgId);
    // The reply, once its envelope has passed checkReply.
    Reply checked(Reply reply, unsigned short msgId);
    void checkEnvelope(const nlohmann::json& document, unsigned short msgId);
    // Holds the device for this connection (advisory lock and exclusive mode);
    // throws IOException "openConnection: ... is in use" when another has it.
    void lockPort(const std::string& port);
    void unlockPort();
    // IOException "openConnection: port <port> is in use by another connection".
    [[noreturn]] void raiseInUse(const std::string& port, int systemError) const;
    // The detail of a failure on the connection's port: kind, port name, errno.
    errorDetail portDetail(errorKind kind, int systemError = 0) const;
    // Throws the reply wait's IOException "receiveData: Data Receiver Timeout!".
    [[noreturn]] void raiseTimeout(unsigned int waitMs) const;
    // Throws IOException "<operation>: <shortened message of e>" with detail.
    [[noreturn]] void raiseSerialFailure(const char* operation, const std::exception& e, errorDetail detail);
};

}  // namespace KORVANE

#endif
