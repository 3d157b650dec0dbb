// The station end of a serial line: a pseudo-terminal pair whose slave is the
// device path a host opens, and whose master is served from a thread of this
// object. Incoming bytes are split into request lines; each line is recorded and
// handed to a handler that answers through send(), may pause(), or unplug() the
// device. Tests run it in-process with their own handlers; the simulator program
// plugs a model of the ground station into it.
#ifndef MOORWINCH_SIM_PTY_STATION_H
#define MOORWINCH_SIM_PTY_STATION_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace moorwinch_sim {

class PtyStation {
public:
    // Called on the station thread for every request line (without its "\n").
    using Handler = std::function<void(const std::string& line, PtyStation& station)>;

    // Opens the pair (slave raw, kept open so the station survives a host closing
    // its side) and starts serving. Throws std::system_error when no pty is had.
    PtyStation();
    ~PtyStation();
    PtyStation(const PtyStation&) = delete;
    PtyStation& operator=(const PtyStation&) = delete;

    // The slave's device path, e.g. /dev/pts/5.
    const std::string& devicePath() const { return path; }

    void setHandler(Handler handler);

    // Writes all bytes to the host, from any thread. Ignored once unplugged.
    void send(const std::string& bytes);
    // Sleeps up to d; returns false at once when the station is stopping.
    bool pause(std::chrono::steady_clock::duration d);
    // Closes the master, which the host sees as an unplugged adapter. Returns
    // once the master is closed.
    void unplug();
    bool isUnplugged() const;

    // Every complete request line received so far, in order, without "\n".
    std::vector<std::string> requests() const;
    std::size_t requestCount() const;
    // Every byte received so far, line feeds included.
    std::string rawInput() const;
    // Waits until at least n lines were received and handled (or until timeout).
    bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const;
    void clearRequests();

    // Protocol helpers for handlers.
    // The "MSG_ID" of a request line, or -1 if it has none.
    static long messageId(const std::string& line);
    // A complete reply line for request: the envelope with its id and status,
    // then ",<members>" when members is not empty, and "}\n".
    static std::string reply(const std::string& request, const std::string& members = "", int status = 0);

private:
    void serve();
    void closeMaster();
    void wake();

    std::string path;
    int master = -1;
    int slave = -1;
    int wakePipe[2] = {-1, -1};

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    Handler handler;
    std::vector<std::string> lines;
    std::string raw;
    long handled = 0;  // of the recorded lines, how many were handled (see clearRequests)
    bool stopping = false;
    bool unplugRequested = false;
    bool unplugged = false;
    std::mutex writeMutex;
    std::thread thread;
};

}  // namespace moorwinch_sim

#endif
