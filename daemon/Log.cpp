#include "Log.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace moorwinchd {
namespace {

std::atomic<bool> verboseOn{false};
std::mutex writeMutex;

const char* levelName(Level level) {
    switch (level) {
        case Level::error: return "error";
        case Level::warning: return "warning";
        case Level::notice: return "notice";
        case Level::info: return "info";
        case Level::debug: return "debug";
    }
    return "info";
}

bool toJournal() {
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    return journal;
}

}  // namespace

void setVerbose(bool on) { verboseOn = on; }
bool verbose() { return verboseOn; }

void logLine(Level level, const std::string& text) {
    std::string line;
    if (toJournal()) {
        line = "<" + std::to_string(static_cast<int>(level)) + ">" + text + "\n";
    } else {
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        std::tm local{};
        localtime_r(&seconds, &local);
        char stamp[40];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        char millis[8];
        std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>(ms));
        line = std::string(stamp) + millis + " moorwinchd " + levelName(level) + ": " + text + "\n";
    }
    // One write per line, so that lines of several threads never interleave.
    std::lock_guard<std::mutex> lock(writeMutex);
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n <= 0) break;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

void logWithId(Level level, const char* messageId, const std::string& text, const std::vector<std::string>& fields) {
    if (level == Level::debug && !verbose()) return;
    if (toJournal()) {
        std::vector<std::string> entries = {"MESSAGE=" + text, "PRIORITY=" + std::to_string(static_cast<int>(level)),
                                            std::string("MESSAGE_ID=") + messageId, "SYSLOG_IDENTIFIER=moorwinchd"};
        entries.insert(entries.end(), fields.begin(), fields.end());
        std::vector<iovec> parts;
        for (std::string& e : entries) parts.push_back({e.data(), e.size()});
        if (sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) >= 0) return;
    }
    logLine(level, text);
}

}  // namespace moorwinchd
