// A history file of known content for the tool's and the Python module's
// tests: COUNT polls (default 20) from 2024-05-01T12:00:00Z on, half a second
// apart, and two events. Usage: history_fixture PATH [COUNT]
//   poll i: cableLength 0.25 i m, cableRetractionTorque 40 %, temperature1 30,
//   mainsVoltage 230, mainsCurrent 1.5 + 0.25 (i % 4); the UAV block not
//   reported and temperature2 without a reading (null); verdict warning when
//   i % 10 == 9, else ok.
//   events: connected at 12:00:00, a change at 12:00:01 whose message holds a
//   comma and quotes.
#include <cstdlib>
#include <iostream>
#include <string>

#include "MoorwinchHistory.h"

using namespace KORVANE;
namespace h = KORVANE::MoorwinchHistory;

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: history_fixture PATH [COUNT]\n";
        return 2;
    }
    const long count = argc == 3 ? std::atol(argv[2]) : 20;
    const h::Time t0 = 1714564800 * h::microsecondsPerSecond;
    h::WriterOptions options;
    options.maxAgeDays = 0;  // the polls are old
    options.queueLimit = static_cast<std::size_t>(count) + 10;
    h::Writer writer(argv[1], options);

    Moorwinch::systemStatus s;
    s.cab = s.env = s.energyGS = s.sysState = 1;
    s.energyUAV = 0;
    s.cableRetractionTorque = 40;
    s.temperature1 = 30;
    s.mainsStatus = 0;
    s.mainsVoltage = 230;
    for (long i = 0; i < count; ++i) {
        s.cableLength = 0.25f * static_cast<float>(i);
        s.mainsCurrent = 1.5f + 0.25f * static_cast<float>(i % 4);
        writer.appendPoll(t0 + i * h::microsecondsPerSecond / 2,
                          i % 10 == 9 ? MoorwinchDefinitions::statusWarning : MoorwinchDefinitions::statusOk, s);
    }
    writer.appendEvent(t0, h::EventKind::connected, "connected to /dev/ttyUSB0", {{"port", "/dev/ttyUSB0"}});
    writer.appendEvent(t0 + h::microsecondsPerSecond, h::EventKind::config,
                       "cableRetractionTorque 40 -> 60 by \"ops\", uid 1000",
                       {{"author", {{"uid", 1000}, {"user", "ops"}}},
                        {"old", {{"cableRetractionTorque", 40}}},
                        {"new", {{"cableRetractionTorque", 60}}}});
    writer.flush();
    if (writer.writeErrors() != 0) {
        std::cerr << "history_fixture: " << writer.writeErrors() << " rows not written\n";
        return 1;
    }
    return 0;
}
