// Levelled log lines on standard error, safe from every thread. Under systemd's
// journal (JOURNAL_STREAM set) each line carries a "<N>" priority prefix that
// the journal reads; elsewhere it starts with the local time and the level.
#ifndef MOORWINCHD_LOG_H
#define MOORWINCHD_LOG_H

#include <sstream>
#include <string>

namespace moorwinchd {

enum class Level { error = 3, warning = 4, notice = 5, info = 6, debug = 7 };

// Lines above info are written only with --verbose.
void setVerbose(bool verbose);
bool verbose();
void logLine(Level level, const std::string& text);

template <class... Parts>
void log(Level level, const Parts&... parts) {
    if (level == Level::debug && !verbose()) return;
    std::ostringstream text;
    (text << ... << parts);
    logLine(level, text.str());
}

}  // namespace moorwinchd

#endif
