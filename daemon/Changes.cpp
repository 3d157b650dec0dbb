#include "Changes.h"

#include <Moorwinch.h>

#include "Events.h"
#include "Replies.h"
#include "Station.h"

namespace moorwinchd {

Changes::Changes(Station& s, const Authority& a) : station(s), authority(a) {}

namespace {

// The refusal as the reply says it, and in the audit.
std::string refuse(const Request& r, const Author& author, const Failure& failure) {
    auditRefusal(author, r, failure.type + ": " + failure.message);
    return errorReply(r.id, failure);
}

}  // namespace

std::optional<std::string> Changes::submit(Request r, const Author& author, bool mayControl,
                                           const std::string& clientKey, std::function<void(std::string)> reply) {
    if (!mayControl) return refuse(r, author, {"Forbidden", "forbidden", authority.refusal(author)});
    // The library judges the values, before anything is queued or sent.
    try {
        if (r.torque) KORVANE::Moorwinch::checkCableRetractionTorque(*r.torque);
        if (r.startLength) KORVANE::Moorwinch::checkCableRetractionStartLength(*r.startLength);
        for (int i = 0; i < 6; ++i)
            if (r.reporting[i]) KORVANE::Moorwinch::checkStatusReportingFlag(reportingKeys[i], *r.reporting[i]);
    } catch (const KORVANE::ValueException& e) {
        return refuse(r, author, libraryFailure("ValueException", e));
    }
    // One change a client at a time, so that no client can fill the queue.
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!waiting.insert(clientKey).second)
            return refuse(r, author,
                          {"Busy", "busy",
                           "a change of this client is still waiting for the station; nothing was sent, "
                           "send it again after the reply"});
    }
    auto release = [this, clientKey, reply = std::move(reply)](std::string line) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            waiting.erase(clientKey);
        }
        reply(std::move(line));
    };
    const auto refused = station.submit(Command{r, author, std::move(release)});
    if (!refused) return std::nullopt;
    {
        std::lock_guard<std::mutex> lock(mutex);
        waiting.erase(clientKey);
    }
    return refuse(r, author, *refused);
}

}  // namespace moorwinchd
