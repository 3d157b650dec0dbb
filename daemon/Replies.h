// The lines the service writes: replies to requests and the events of a watch
// stream. Records use the one JSON mapping (MoorwinchJson.h).
#ifndef MOORWINCHD_REPLIES_H
#define MOORWINCHD_REPLIES_H

#include <cstddef>
#include <string>

#include "Request.h"
#include "Station.h"

namespace moorwinchd {

// Seconds since 1970 with microseconds.
double unixSeconds(WallClock::time_point time);

// {"id":...,"ok":true,"data":...} plus extra members (time, age, stale), with "\n".
std::string okReply(const json& id, json data, const json& extra = json::object());
// {"id":...,"ok":false,"error":{"type":...,"kind":...,"message":...}} with "\n",
// and the station's status and message and the refused field where known.
std::string errorReply(const json& id, const Failure& failure);

std::string statusEvent(const json& data, WallClock::time_point time, std::uint64_t poll);
std::string stateEvent(const Snapshot& snapshot);
// A poll slot that gave no status.
std::string gapEvent(WallClock::time_point time, bool connected, const std::string& error);

// What the service itself knows besides the station, for the state op.
struct ServerCounts {
    std::size_t clients = 0, watchers = 0;
    std::uint64_t dropped = 0;
};

// The reply to a read (status, details, config, reporting, check, version,
// state), served from the snapshot without touching the station.
std::string readReply(const Request& request, const Snapshot& snapshot, const ServerCounts& counts);

// The data of the reply to watch and unwatch.
json watchData(bool watching, const Snapshot& snapshot);

}  // namespace moorwinchd

#endif
