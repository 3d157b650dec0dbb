// What the tool says when something fails: the library's unchanged text with
// its subject around it and the next step after it, the exit code, and the
// kind of failure a watch's link summary counts.
#ifndef MOORWINCH_TOOL_FAILURES_H
#define MOORWINCH_TOOL_FAILURES_H

#include <exception>
#include <stdexcept>
#include <string>

namespace moorwinch_tool {

// The service's own errors: its refusals with its type ("Forbidden", "Busy",
// "Unavailable", "BadRequest") and kind ("forbidden", "tooManyClients", ...),
// or the tool's trouble with the service (type "", kind "unreachable", "gone",
// "timeout", "stale"). The text is the service's, unchanged.
class ServiceError : public std::runtime_error {
public:
    ServiceError(std::string type, std::string kind, const std::string& text)
        : std::runtime_error(text), errorType(std::move(type)), errorKind(std::move(kind)) {}
    const std::string& type() const { return errorType; }
    const std::string& kind() const { return errorKind; }

private:
    std::string errorType, errorKind;
};

// A reply that did not come in time (or a line that stayed busy), a reply that
// was wrong or refused, or anything else: the port failed, went away or cannot
// be opened (the serial library's own exceptions among them).
enum class FailureKind { timeout, port, data };
FailureKind failureKind(const std::exception& failure);
const char* failureName(FailureKind kind);

// "<subject>: <what()>", the station's reason after a refusal, and the next
// step in brackets where there is one ("(is moorwinchd running on it? try
// --daemon)"). A refused value names no subject: nothing was sent.
std::string failureText(const std::exception& failure, const std::string& subject);

// 4 when nothing was done because a value, a change or a question was refused
// (the library's ValueException, the history's QueryError, the service's
// Forbidden, Busy and BadRequest); 3 otherwise.
int failureExitCode(const std::exception& failure);

}  // namespace moorwinch_tool

#endif
