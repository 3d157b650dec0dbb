// record: watch's JSON lines (the objects of moorwinch --json watch) written to
// a new file, one line per sample as it is taken, for MoorwinchSim --replay.
#ifndef MOORWINCH_TOOL_RECORD_H
#define MOORWINCH_TOOL_RECORD_H

#include <ostream>

#include "Arguments.h"
#include "StationBackend.h"

namespace moorwinch_tool {

// The file is created; one that exists is refused (exit 4) unless --force
// replaces it, which empties it only when the first sample comes. Exit codes as watch's; 3 too when the file cannot be written.
int record(const Invocation& invocation, StationBackend& station, std::ostream& out, std::ostream& err);

}  // namespace moorwinch_tool

#endif
