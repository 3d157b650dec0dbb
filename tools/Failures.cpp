#include "Failures.h"

#include "Arguments.h"
#include "Moorwinch.h"
#include "MoorwinchHistory.h"

namespace moorwinch_tool {
namespace {

using KORVANE::errorDetail;
using KORVANE::errorKind;

// The library's detail of its own exceptions; null for any other.
const errorDetail* detailOf(const std::exception& failure) {
    if (auto* e = dynamic_cast<const KORVANE::IOException*>(&failure)) return &e->detail();
    if (auto* e = dynamic_cast<const KORVANE::DataException*>(&failure)) return &e->detail();
    if (auto* e = dynamic_cast<const KORVANE::ValueException*>(&failure)) return &e->detail();
    return nullptr;
}

struct NextStep {
    errorKind kind;
    const char* text;
};

const NextStep nextSteps[] = {
    {errorKind::portMissing, "no such device; 'moorwinch ports' lists the serial ports"},
    {errorKind::portDenied, "no permission; is this user in the device's group (often dialout)?"},
    {errorKind::portInUse, "is moorwinchd running on it? try --daemon"},
    {errorKind::portGone, "the device went away; is it plugged in?"},
    {errorKind::flagUnavailable, "nothing was changed"},
};

std::string withWait(const char* what, unsigned int waitMs) {
    return waitMs > 0 ? std::string(what) + " within " + std::to_string(waitMs) + " ms" : std::string(what) + " in time";
}

std::string nextStep(const errorDetail& detail) {
    switch (detail.kind) {
        case errorKind::timeout: return withWait("no reply", detail.waitMs);
        case errorKind::busy: return withWait("the line was not free", detail.waitMs);
        default: break;
    }
    for (const NextStep& step : nextSteps)
        if (step.kind == detail.kind) return step.text;
    return "";
}

}  // namespace

FailureKind failureKind(const std::exception& failure) {
    const errorDetail* detail = detailOf(failure);
    if (!detail) {
        // A version text the handshake could not read is a wrong reply.
        const bool unreadable = dynamic_cast<const std::invalid_argument*>(&failure) ||
                                dynamic_cast<const std::out_of_range*>(&failure);
        return unreadable ? FailureKind::data : FailureKind::port;
    }
    switch (detail->kind) {
        case errorKind::timeout:
        case errorKind::busy: return FailureKind::timeout;
        case errorKind::malformedReply:
        case errorKind::wrongMessage:
        case errorKind::stationRefused: return FailureKind::data;
        case errorKind::unknown:
            return dynamic_cast<const KORVANE::DataException*>(&failure) ? FailureKind::data : FailureKind::port;
        default: return FailureKind::port;
    }
}

const char* failureName(FailureKind kind) {
    switch (kind) {
        case FailureKind::timeout: return "timeout";
        case FailureKind::data: return "data";
        default: return "port";
    }
}

std::string failureText(const std::exception& failure, const std::string& subject) {
    if (dynamic_cast<const KORVANE::ValueException*>(&failure) &&
        detailOf(failure)->kind != errorKind::flagUnavailable)
        return failure.what();
    std::string text = subject.empty() ? failure.what() : subject + ": " + failure.what();
    const errorDetail* detail = detailOf(failure);
    if (!detail) return text;
    if (detail->kind == errorKind::stationRefused && !detail->stationMessage.empty())
        text += ": " + detail->stationMessage;
    const std::string step = nextStep(*detail);
    return step.empty() ? text : text + " (" + step + ")";
}

int failureExitCode(const std::exception& failure) {
    if (dynamic_cast<const KORVANE::ValueException*>(&failure)) return exitUsage;
    if (dynamic_cast<const KORVANE::MoorwinchHistory::QueryError*>(&failure)) return exitUsage;
    if (auto* refusal = dynamic_cast<const ServiceError*>(&failure))
        return refusal->type() == "Forbidden" || refusal->type() == "Busy" || refusal->type() == "BadRequest"
                   ? exitUsage
                   : exitStation;
    return exitStation;
}

}  // namespace moorwinch_tool
