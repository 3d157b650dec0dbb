// history and events: what moorwinchd --history recorded, read from its file
// (read-only) or asked of the service, shown as a table for people, as CSV or
// as JSON lines (the objects of the service's answer, one per line).
#ifndef MOORWINCH_TOOL_HISTORY_H
#define MOORWINCH_TOOL_HISTORY_H

#include <ostream>

#include "Arguments.h"

namespace moorwinch_tool {

// The exit code: 0; 3 when the file or the service could not be read; 4 when
// the question cannot be answered as asked (the library's or the service's words).
int showHistory(const Invocation& invocation, std::ostream& out, std::ostream& err);

}  // namespace moorwinch_tool

#endif
