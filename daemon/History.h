// The service's history (--history PATH): every successful poll with its
// verdict, the station's events, and the details and configuration each time
// they are read, appended through the history library's writer (its own
// thread: appending never waits for the disk); and the answers to the
// history and events ops, read from the same file.
#ifndef MOORWINCHD_HISTORY_H
#define MOORWINCHD_HISTORY_H

#include <MoorwinchHistory.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "Request.h"
#include "Station.h"

namespace moorwinchd {

struct HistorySettings {
    std::string path;
    unsigned maxAgeDays = KORVANE::MoorwinchHistory::defaultMaxAgeDays;
    std::uint64_t maxSizeMB = KORVANE::MoorwinchHistory::defaultMaxSizeMB;
};

KORVANE::MoorwinchHistory::Time historyTime(WallClock::time_point time);

class History {
public:
    // Opens or creates the file. Throws MoorwinchHistory::FileError when the
    // file is not a history file of this version; a file that cannot be
    // written is logged once and its rows counted (the metric) until it can.
    explicit History(const HistorySettings& settings);
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Queue only (never I/O), from any thread.
    void poll(WallClock::time_point time, KORVANE::MoorwinchDefinitions::systemError verdict,
              const KORVANE::Moorwinch::systemStatus& status);
    void event(WallClock::time_point time, const std::string& kind, const std::string& message, const json& data);
    void details(WallClock::time_point time, const KORVANE::Moorwinch::systemDetails& details);
    void config(WallClock::time_point time, const KORVANE::Moorwinch::systemConfig& config);

    // The reply line to a history or events request, read now on the calling
    // thread (questions of several threads take turns).
    std::string answer(const Request& request);

    // Waits until every row queued so far is written or counted.
    void flush() { writer.flush(); }
    std::uint64_t writeErrors() const { return writer.writeErrors(); }

private:
    KORVANE::MoorwinchHistory::Reader& open();

    const std::string path;
    KORVANE::MoorwinchHistory::Writer writer;
    std::mutex readerMutex;
    std::optional<KORVANE::MoorwinchHistory::Reader> reader;  // opened at the first question the file can answer
};

// The reply line to a history or events request, for every transport: the
// history's answer, or Unavailable when the service keeps none.
std::string historyReply(const Request& request, History* history);

}  // namespace moorwinchd

#endif
