// Moorwinch: host-side library for the Korvane Skyhold.Platform ground station.
//
// Overview
//   One class, KORVANE::Moorwinch, drives one ground station over one serial port.
//   Requests are single JSON lines; each query or command is one exchange: the
//   request is written, the reply line is awaited (bounded), its envelope
//   is checked, and the data are read into a record that the caller owns.
//
// Errors
//   Every failure is an exception, never a return code:
//     KORVANE::IOException     port not open, serial-port error, no reply in time,
//                              exchange lock not obtained ("<operation>: Communication timeout")
//     KORVANE::DataException   reply not parseable or not shaped as expected, wrong
//                              message id, non-zero communication status
//     KORVANE::ValueException  an argument outside its permitted range (no traffic then)
//   what() is the class prefix ("IO Exception: ", ...), then the name of the
//   operation that detected the failure, then a fixed text. Exceptions of the
//   serial library (serial::SerialException, serial::IOException) and of the
//   standard library (std::invalid_argument from a bad version text) pass through
//   where the documentation of a member says so.
//   Each library exception also carries kind() (errorKind: timeout, portInUse,
//   stationRefused, ...) and detail(): the port, errno, the wait that ran out,
//   the station's status code and message, the argument's field, where known.
//
// Blocking
//   The connection timeout T (default 400 ms, setConnectionTimeout) bounds every wait:
//   the exchange lock wait (T), the reply wait (T; 10 T for the product details;
//   30 T for activation and the status-reporting configuration), and each line (a
//   line whose bytes have been arriving for T without its line feed ends there).
//   The reply wait sleeps until bytes arrive or its time is up, and returns as soon
//   as its reply line has arrived and no further byte is waiting. A line still
//   arriving when the wait runs out is awaited to its end; yet a call that talks to
//   the ground station returns at the latest after its lock wait plus its reply
//   wait plus one T, however the station floods the line, and a reply longer than
//   one line (65535 bytes) is refused as malformed.
//   Lines already waiting when a request is written, and a line begun by then, are
//   never its reply: they are dropped (the trace sees them). A reply that comes
//   during a later wait is recognised by its message id and dropped: the
//   connection remembers its last 8 requests left without a reply, also across a
//   close and reopen of the same device name (another device forgets them), so a
//   slow station puts neither later calls nor a reconnect's handshake out of step.
//
// One connection per device
//   An open connection holds its device (an advisory lock, and exclusive mode
//   where the device allows it); a second openConnection of the same device, from
//   this process or another, fails at once with IOException
//   "openConnection: port <name> is in use by another connection" and writes
//   nothing. closeConnection releases it.
//
// Threads
//   Queries, commands, health checks, reports and the status readers
//   (getConnectionStatus, isConnected) may be called on one object from several
//   threads: the exchange lock serialises the send/receive of each exchange.
//   Opening, closing and changing the timeout must not overlap other calls on the
//   same object. Records are owned by the caller; two threads must not share one.
#ifndef KORVANE_MOORWINCH_H
#define KORVANE_MOORWINCH_H

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MoorwinchExport.h"

namespace KORVANE {

// What went wrong, for programs: a stable kind next to the unchanged what()
// text, and the subject where the library knows it. New kinds may be added.
enum class errorKind : std::uint8_t {
    unknown,          // a kind was not given (an exception made by a caller)
    notConnected,     // no port open for the exchange, or it closed under it
    portMissing,      // the device does not exist (ENOENT, ENODEV, ENXIO at open)
    portDenied,       // no permission to open the device (EACCES, EPERM)
    portInUse,        // another connection holds the device (its lock, or EBUSY)
    portGone,         // the device went away or failed during an exchange (EIO, ENXIO, ENODEV)
    portError,        // any other failure of the serial port
    timeout,          // no reply within the reply wait
    busy,             // the exchange lock was not obtained within the connection timeout
    malformedReply,   // a reply that does not parse or lacks what the operation reads
    wrongMessage,     // a reply for another request (message id)
    stationRefused,   // the station answered with an integer communication status other than 0
    valueOutOfRange,  // an argument outside its range; nothing was sent
    flagUnavailable,  // a reporting flag to keep that the station reports as not available
};

// The stable name of a kind ("timeout", "portInUse", ...), as the tool, the
// service and the Python module show it; fromName is its inverse.
MOORWINCH_EXPORT const char* errorKindName(errorKind kind) noexcept;
MOORWINCH_EXPORT bool errorKindFromName(const std::string& name, errorKind& kind) noexcept;

// The subject of a failure, where the library knows it; empty or -1 otherwise.
struct errorDetail {
    errorKind kind = errorKind::unknown;
    std::string port;            // the serial device concerned
    int systemError = 0;         // errno of the failed system call
    unsigned int waitMs = 0;     // the wait that ran out (timeout, busy)
    int stationStatus = -1;      // stationRefused: the reply's communication status
    std::string stationMessage;  // stationRefused: the reply's status message ("" when it gave none;
                                 // at most 255 bytes, control characters as blanks)
    std::string field;           // valueOutOfRange, flagUnavailable: the record member concerned
};

// what() is "IO Exception: " followed by the text given at construction.
class MOORWINCH_EXPORT IOException : public std::exception {
public:
    explicit IOException(const char* text);
    IOException(const char* text, errorDetail detail);
    IOException(const IOException& other);
    ~IOException() override;
    const char* what() const noexcept override;
    errorKind kind() const noexcept { return info.kind; }
    const errorDetail& detail() const noexcept { return info; }

private:
    std::string message;
    errorDetail info;
};

// what() is "Data Exception: " followed by the text given at construction.
class MOORWINCH_EXPORT DataException : public std::exception {
public:
    explicit DataException(const char* text);
    DataException(const char* text, errorDetail detail);
    DataException(const DataException& other);
    ~DataException() override;
    const char* what() const noexcept override;
    errorKind kind() const noexcept { return info.kind; }
    const errorDetail& detail() const noexcept { return info; }

private:
    std::string message;
    errorDetail info;
};

// what() is "Value Exception: " followed by the text given at construction.
class MOORWINCH_EXPORT ValueException : public std::exception {
public:
    explicit ValueException(const char* text);
    ValueException(const char* text, errorDetail detail);
    ValueException(const ValueException& other);
    ~ValueException() override;
    const char* what() const noexcept override;
    errorKind kind() const noexcept { return info.kind; }
    const errorDetail& detail() const noexcept { return info; }

private:
    std::string message;
    errorDetail info;
};

namespace MoorwinchDefinitions {
// Verdict of the health check; exactly one value is written, never a combination.
enum systemError : std::uint8_t {
    statusOk = 0x00,      // no error and no warning condition
    statusError = 0x01,   // at least one error condition
    statusWarning = 0x80  // at least one warning condition and no error condition
};
}  // namespace MoorwinchDefinitions

class MOORWINCH_EXPORT Moorwinch {
public:
    class MOORWINCH_LOCAL MoorwinchImpl;

    // Live status. A query writes only the fields whose keys the reply carries;
    // the defaults mark values as not available (255 for codes, -128 for
    // temperatures and humidity) and three codes start at a failure value.
    struct systemStatus {
        std::int32_t cab = 255;  // reporting flags: 0 disabled, 1 reported, 255 not available
        std::int32_t env = 255;
        std::int32_t energyGS = 255;
        std::int32_t energyUAV = 255;
        std::int32_t sysState = 255;
        std::int32_t hwModuleStatus = 255;
        float cableLength = 0.0f;                 // m
        float cableSpeed = 0.0f;                  // m/s
        std::int32_t cableRetractionStatus = 255;
        std::uint32_t cableRetractionTorque = 0;  // %
        float cableRetractionStartLength = 0.0f;  // m
        std::int32_t tetherStatus = 3;
        std::int32_t cableGuideStatus = 255;
        std::int32_t cableReelStatus = 255;
        float temperature1 = -128.0f;  // degrees Celsius, system/PCB
        float temperature2 = -128.0f;
        float temperature3 = -128.0f;
        float temperature4 = -128.0f;
        float humidity1 = -128.0f;     // %
        float pressure1 = 0.0f;        // hPa
        std::int32_t envSensor1Status = 255;
        std::int32_t envSensor2Status = 255;
        std::int32_t envSensor3Status = 255;
        std::int32_t envSensor4Status = 255;
        std::int32_t fan1Rpm = 0;
        std::int32_t fan1Status = 255;
        std::int32_t fan2Rpm = 0;
        std::int32_t fan2Status = 255;
        float mainsVoltage = 0.0f;    // V
        float mainsCurrent = 0.0f;    // A
        float mainsFrequency = 0.0f;  // Hz
        std::int32_t mainsStatus = 255;
        std::int32_t controlSupplyStatus = 255;
        float backupBatteryVoltage = 255.0f;
        std::int32_t backupBatteryStatus = 255;
        float uavSupplyVoltage = 0.0f;     // V
        float uavSupplyCurrent = 0.0f;     // A
        float uavPowerConsumption = 0.0f;  // W, computed on receipt
        std::int32_t uavExtSupplyStatus = 8;
        std::int32_t uavCellCount = 0;
        std::int32_t activationStatus = 0;
        std::int32_t retractionStatus = 255;
        std::int32_t batteryStatus = 255;
        std::uint32_t systemTime = 0;  // s
        std::uint32_t operationTime = 0;
        std::uint32_t flightTime = 0;
        std::uint32_t flightTimeOpSum = 0;
        std::uint32_t flightCountOpSum = 0;
        std::int32_t errorCode = 1;
        std::int32_t hwMainCtrl = 255;
        std::int32_t hwReelCtrl = 255;
        std::int32_t hwLpwrCtrl = 255;
        std::int32_t hwHpwrCtrl = 255;
        std::int32_t hwEnvCtrl = 255;
    };

    // Product details: identification, version texts, ratings, counters, maintenance.
    struct systemDetails {
        std::string productType;
        std::string model;
        std::string serialNumber;
        std::string dayOfProduction;
        std::string hwVersion;
        std::string swVersionMainCtrl;
        std::string swVersionReelCtrl;
        std::string swVersionLpwrCtrl;
        std::string swVersionHpwrCtrl;
        std::string swVersionEnvCtrl;
        std::string swVersionNetCtrl;
        std::string swVersionBbatCtrl;
        std::string protocolVersion;
        std::string uavCellVoltages;
        std::int32_t maxPower = 0;        // W
        std::string cableType;
        std::int32_t maxCableLength = 0;  // m
        std::int32_t networkType = 255;   // 1, 2, 3; 255 not available
        std::uint32_t flightTimeSum = 0;  // s
        std::uint32_t flightCount = 0;
        std::uint32_t operationTimeSum = 0;
        std::uint32_t operationCount = 0;
        std::uint32_t systemTimeSum = 0;
        std::uint32_t systemUseCount = 0;
        std::uint32_t lastMaintenance = 0;    // s since 1970-01-01 UTC; 0 none
        std::uint32_t timeToMaintenance = 0;  // s
        std::int32_t maintenanceRequired = 0;
    };

    // System configuration. cableRetractionStatus is reported, never sent.
    struct systemConfig {
        bool systemActivation = false;
        std::uint32_t cableRetractionTorque = 0;    // % (0 to 100)
        float cableRetractionStartLength = 0.0f;    // m (from 0.3)
        std::int32_t cableRetractionStatus = 255;
    };

    // Which status blocks the ground station reports: 0 disabled, 1 reported,
    // 255 not available or not reported.
    struct systemStatusConfig {
        std::int32_t cab = 255;
        std::int32_t env = 255;
        std::int32_t energyGS = 255;
        std::int32_t energyUAV = 255;
        std::int32_t sysState = 255;
        std::int32_t hwModuleStatus = 255;
    };

    // A change of some reporting flags (changeSystemStatusConfig): each named
    // flag is 0 or 1; the flags not named keep the station's values.
    struct systemStatusConfigChange {
        std::optional<std::int32_t> cab;
        std::optional<std::int32_t> env;
        std::optional<std::int32_t> energyGS;
        std::optional<std::int32_t> energyUAV;
        std::optional<std::int32_t> sysState;
        std::optional<std::int32_t> hwModuleStatus;
    };

    // One line crossing the serial line, for a trace (setTrace).
    enum class traceDirection : std::uint8_t { sent, received };
    using traceFunction =
        std::function<void(traceDirection direction, const std::string& line, std::chrono::system_clock::time_point time)>;

    Moorwinch();
    Moorwinch(Moorwinch&& other) noexcept;
    Moorwinch(const Moorwinch&) = delete;
    Moorwinch& operator=(const Moorwinch&) = delete;
    Moorwinch& operator=(Moorwinch&&) = delete;
    // Closes an open connection; never throws.
    ~Moorwinch();

    // --- Serial ports (no connection needed; serial library exceptions pass through)
    // Appends one entry per port to each list, in enumeration order.
    void getSerialPortsInfo(std::vector<std::string>& ports, std::vector<std::string>& descriptions,
                            std::vector<std::string>& hardwareIds);
    void printSerialPortList();
    void printSerialPortList(std::ostream& out);

    // --- Connection
    // Opens the port (115200 8N1, no flow control), settles the line and asks the
    // ground station for its protocol version. Opening the name that is already
    // open does nothing. Throws IOException; a failed handshake throws its own
    // exception (DataException, IOException, std::invalid_argument, std::out_of_range)
    // and leaves the port open.
    void openConnection(const std::string& port);
    // Closes the port if open. Throws IOException if the serial library fails.
    void closeConnection();
    int getConnectionStatus();  // 1 open, 0 closed
    bool isConnected();
    // Milliseconds; applies at once, also to the port. 0 makes every exchange time out.
    void setConnectionTimeout(unsigned int timeout);
    unsigned int getConnectionTimeout();

    // --- Library identity
    std::string getLibBuild();
    void getLibBuild(std::string& build);
    std::string getLibProtocolVersion();
    void getLibProtocolVersion(std::string& version);
    void printVersionDetails();
    void printVersionDetails(std::ostream& out);

    // --- Ground-station services (IOException, DataException)
    void getSystemStatus(systemStatus& status);
    void getSystemDetails(systemDetails& details);  // reply wait 10 T
    void getSystemConfig(systemConfig& config);
    // One full status exchange; flags the station leaves out arrive as 255.
    void getSystemStatusConfig(systemStatusConfig& config);
    // Reply wait 30 T; config is not changed.
    void setSystemStatusConfig(systemStatusConfig& config);
    // Changes the flags that change names and keeps the others as the station
    // reports them now: one status exchange, then the change (reply wait 30 T);
    // sent receives the six flags sent. Refused with ValueException, before
    // anything is sent: a named flag other than 0 or 1 (valueOutOfRange); a flag
    // not named that the station reports as neither 0 nor 1 (255: not available),
    // which cannot be kept and has to be named (flagUnavailable, after the status
    // exchange). detail().field names the flag as in the record ("env").
    void changeSystemStatusConfig(const systemStatusConfigChange& change, systemStatusConfig& sent);
    // The check of one named flag, without traffic.
    static void checkStatusReportingFlag(const char* field, std::int32_t value);

    // --- Configuration changes (IOException, DataException, ValueException).
    // A refused value sends nothing.
    unsigned int getMinimalCableRetractionTorque();      // 0 %
    unsigned int getMaximalCableRetractionTorque();      // 100 %
    float getMinimalCableRetractionStartLength();        // 0.3 m
    // The setters' own range checks, for judging a value without a connection:
    // each throws the setter's ValueException (valueOutOfRange) when refused.
    static void checkCableRetractionTorque(unsigned int torque);
    static void checkCableRetractionStartLength(float startLength);
    // Order: deactivation first, or activation last; the first failure ends it.
    void setSystemConfig(bool activation, unsigned int torque, float startLength);
    void setSystemConfig(const systemConfig& config);
    void setSystemActivation(bool activation);  // reply wait 30 T
    void setCableRetractionTorque(unsigned int torque);
    void setCableRetractionStartLength(float startLength);

    // --- Health check. Returns true for an error or a warning and writes the verdict.
    // Reads status and details itself (two exchanges).
    bool checkSystemStatus(MoorwinchDefinitions::systemError& error);
    // Judges the caller's status; with flag true also reads the details (maintenance rule).
    bool checkSystemStatus(systemStatus& status, MoorwinchDefinitions::systemError& error, bool flag);
    // Judges both records; no traffic, cannot fail.
    bool checkSystemStatus(systemStatus& status, systemDetails& details, MoorwinchDefinitions::systemError& error,
                           bool flag);
    // The same verdict, and one short English text per condition found (errors
    // first, then warnings, in rule order) appended to conditions, e.g.
    // "tether failure detected" or "environment sensor 2 temperature failure".
    bool checkSystemStatus(const systemStatus& status, const systemDetails& details,
                           MoorwinchDefinitions::systemError& error, bool flag, std::vector<std::string>& conditions);

    // --- Reports. Each writes its whole text in one insertion and leaves the
    // stream's formatting state as it found it. The degree sign is the byte 0xF8.
    void print(systemStatus& status, std::ostream& out);
    void print(systemStatus& status);
    void print(systemDetails& details, std::ostream& out);
    void print(systemDetails& details);
    void print(systemConfig& config, std::ostream& out);
    void print(systemConfig& config);
    // Reads status and details and prints both to standard output; prints nothing
    // when either read fails (IOException, DataException).
    void print();

    // --- Trace of the line. The function receives every request line as it is
    // written and every line as it is received (dropped lines, late replies and
    // noise included), without the line feed, with its direction and the time it
    // crossed. It runs on the thread of the exchange while the exchange lock is
    // held: keep it short, and do not call this object from it. An exception it
    // throws is swallowed. Safe to set and clear while other threads exchange;
    // costs nothing when none is set.
    void setTrace(traceFunction trace);  // an empty function clears the trace
    void clearTrace();

private:
    std::unique_ptr<MoorwinchImpl> impl;
};

}  // namespace KORVANE

#endif
