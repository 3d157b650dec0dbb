// Records as the library reads them (metres, volts, ...) put back into the
// protocol tables in the station's units, so that a recorded status, details
// or configuration goes out as the station sent it. A value the station's
// field cannot carry is refused beforehand rather than wrapped.
#ifndef MOORWINCH_SIM_RECORD_TABLES_H
#define MOORWINCH_SIM_RECORD_TABLES_H

#include <string>

#include "Moorwinch.h"

namespace moorwinch_sim {

using Status = KORVANE::Moorwinch::systemStatus;
using Details = KORVANE::Moorwinch::systemDetails;
using Config = KORVANE::Moorwinch::systemConfig;

// Empty when the station can send the record as it is; otherwise which value
// does not fit, e.g. "cableLength 400 is beyond the station's range".
std::string unsendable(const Status& status);
std::string unsendable(const Details& details);
std::string unsendable(const Config& config);

// Into the tables; the caller holds the tables. The reporting flags are the
// record's, and so is every block they report; the values of the blocks they
// leave out stay as they were. The protocol version stays the library's.
void publishRecorded(const Status& status);
void publishRecorded(const Details& details);
void publishRecorded(const Config& config);

}  // namespace moorwinch_sim

#endif
