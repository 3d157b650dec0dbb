// The one gate every change of the station passes, whatever the transport
// (Unix socket, TCP, HTTP): the author's right to change, the library's range
// checks, one change waiting per client (Busy) and the station's queue bound.
// A change refused here never reaches the station; an accepted one is answered
// later through its sink.
#ifndef MOORWINCHD_CHANGES_H
#define MOORWINCHD_CHANGES_H

#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "Auth.h"
#include "Request.h"

namespace moorwinchd {

class Station;

class Changes {
public:
    Changes(Station& station, const Authority& authority);
    Changes(const Changes&) = delete;
    Changes& operator=(const Changes&) = delete;

    // Judges a set or reporting-set request. Returns the error reply line when
    // it is refused at once (nothing was queued, the sink is not called);
    // otherwise nothing, and the sink receives the reply line exactly once,
    // from the station's thread. clientKey names the asking client among all
    // transports (e.g. "unix 7"): it may have one change waiting at a time.
    // Safe from any thread.
    std::optional<std::string> submit(Request request, const Author& author, bool mayControl,
                                      const std::string& clientKey, std::function<void(std::string line)> reply);

private:
    Station& station;
    const Authority& authority;
    std::mutex mutex;
    std::set<std::string> waiting;  // client keys with a change at the station
};

}  // namespace moorwinchd

#endif
