// systemd integration through libsystemd: readiness, watchdog pings and the
// stopping notice. Without NOTIFY_SOCKET (not started by systemd) all of it does nothing.
#ifndef MOORWINCHD_SYSTEMD_H
#define MOORWINCHD_SYSTEMD_H

#include <chrono>
#include <string>

namespace moorwinchd {

class Systemd {
public:
    Systemd();
    void ready(const std::string& status);
    void stopping();
    // Whether watchdog pings are expected, and how often: half WATCHDOG_USEC.
    bool watchdog() const { return watchdogOn; }
    std::chrono::milliseconds pingEvery() const { return every; }
    void ping();

private:
    bool watchdogOn = false;
    std::chrono::milliseconds every{0};
};

}  // namespace moorwinchd

#endif
