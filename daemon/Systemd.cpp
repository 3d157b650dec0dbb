#include "Systemd.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace moorwinchd {

Systemd::Systemd() {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        watchdogOn = true;
        every = std::chrono::milliseconds(usec / 2000);
        if (every.count() == 0) every = std::chrono::milliseconds(1);
    }
}

void Systemd::ready(const std::string& text) { sd_notify(0, ("READY=1\nSTATUS=" + text).c_str()); }
void Systemd::stopping() { sd_notify(0, "STOPPING=1"); }
void Systemd::ping() { sd_notify(0, "WATCHDOG=1"); }

}  // namespace moorwinchd
