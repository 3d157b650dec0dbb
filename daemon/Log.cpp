#include "Log.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>

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

// Sources the brake tells apart; beyond them, lines count as from "other sources".
constexpr std::size_t maxBrakedSources = 4096;
constexpr std::chrono::minutes brakeWindow{1};

struct Braked {
    Level level;
    std::chrono::steady_clock::time_point since;
    unsigned long held = 0;
};
std::mutex brakeMutex;
std::map<std::pair<std::string, std::string>, Braked> braked;  // by kind and source

}  // namespace

std::string printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') c = '?';
    return text;
}

std::string secondsText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    std::string shown = text;
    shown.erase(shown.find_last_not_of('0') + 1);
    if (shown.back() == '.') shown.pop_back();
    return shown;
}

bool unbraked(Level level, const char* kind, const std::string& source) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(brakeMutex);
    auto key = std::make_pair(std::string(kind), source);
    if (!braked.count(key) && braked.size() >= maxBrakedSources) key.second = "other sources";
    auto [it, first] = braked.emplace(key, Braked{level, now});
    if (first) return true;
    ++it->second.held;
    return false;
}

std::chrono::steady_clock::time_point tellBraked(std::chrono::steady_clock::time_point now) {
    std::vector<std::pair<Level, std::string>> counts;
    // A line braked after this call is due a window after it, never sooner.
    auto next = now + brakeWindow;
    {
        std::lock_guard<std::mutex> lock(brakeMutex);
        for (auto it = braked.begin(); it != braked.end();) {
            const Braked& b = it->second;
            if (now < b.since + brakeWindow) {
                next = std::min(next, b.since + brakeWindow);
                ++it;
                continue;
            }
            if (b.held)
                counts.emplace_back(b.level, std::to_string(b.held) + " more " + it->first.first + " from " +
                                                 it->first.second + " within a minute, not logged");
            it = braked.erase(it);
        }
    }
    for (const auto& [level, text] : counts) logLine(level, text);
    return next;
}

void setVerbose(bool on) { verboseOn = on; }
bool verbose() { return verboseOn; }

void logLine(Level level, const std::string& message) {
    const std::string text = printable(message);
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
        std::vector<std::string> entries = {"MESSAGE=" + printable(text), "PRIORITY=" + std::to_string(static_cast<int>(level)),
                                            std::string("MESSAGE_ID=") + messageId, "SYSLOG_IDENTIFIER=moorwinchd"};
        entries.insert(entries.end(), fields.begin(), fields.end());
        std::vector<iovec> parts;
        for (std::string& e : entries) parts.push_back({e.data(), e.size()});
        if (sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) >= 0) return;
    }
    logLine(level, text);
}

}  // namespace moorwinchd
