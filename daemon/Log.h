// Levelled log lines on standard error, safe from every thread. Under systemd's
// journal (JOURNAL_STREAM set) each line carries a "<N>" priority prefix that
// the journal reads; elsewhere it starts with the local time and the level.
#ifndef MOORWINCHD_LOG_H
#define MOORWINCHD_LOG_H

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

namespace moorwinchd {

enum class Level { error = 3, warning = 4, notice = 5, info = 6, debug = 7 };

// Lines above info are written only with --verbose.
void setVerbose(bool verbose);
bool verbose();
void logLine(Level level, const std::string& text);

// A line with a stable message id (32 hex digits) and extra journal fields
// ("NAME=value"). Under the journal it is sent with sd_journal_send, so that
// MESSAGE_ID= and the fields select it (journalctl MESSAGE_ID=...); elsewhere,
// or when the journal refuses it, it is the plain line.
void logWithId(Level level, const char* messageId, const std::string& text,
               const std::vector<std::string>& fields = {});

// A text from elsewhere (the station, a command, a client) made fit for one
// log line: control characters but the tab shown as '?', so that no text can
// end the line and forge the next.
std::string printable(std::string text);

// Seconds for a message: at most three decimals, no trailing zeros ("10", "0.25").
std::string secondsText(double seconds);

// A brake on lines that others can cause at will (refused changes, wrong
// tokens, refused requests), so that a flood cannot push real alarms past the
// journal's rate limit: of each kind, the first line a minute from a source is
// written and the others are only counted; the count is written when the
// minute is over (tellBraked). True when this line may be written.
bool unbraked(Level level, const char* kind, const std::string& source);
// Writes the counts of the minutes that are over; returns when to call it again.
std::chrono::steady_clock::time_point tellBraked(std::chrono::steady_clock::time_point now);

template <class... Parts>
void log(Level level, const Parts&... parts) {
    if (level == Level::debug && !verbose()) return;
    std::ostringstream text;
    (text << ... << parts);
    logLine(level, text.str());
}

}  // namespace moorwinchd

#endif
