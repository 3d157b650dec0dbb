// One function per command: asks the backend, prints the result from records.
#ifndef MOORWINCH_TOOL_COMMANDS_H
#define MOORWINCH_TOOL_COMMANDS_H

#include <ostream>

#include "Arguments.h"
#include "StationBackend.h"

namespace moorwinch_tool {

// Runs the invocation's command (any but ports) and returns its exit code.
// Station failures of check become its UNKNOWN line; of the others, exceptions
// reach the caller.
int runCommand(const Invocation& invocation, StationBackend& station, std::ostream& out, std::ostream& err);

// ports: the serial ports of this machine; no station is asked.
int listPorts(const Invocation& invocation, std::ostream& out, std::ostream& err);

}  // namespace moorwinch_tool

#endif
