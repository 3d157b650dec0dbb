// Who may change the station: over the Unix socket root, the service's own user
// and members of the control group (by the peer's credentials); over any socket
// whoever gives the token of the token file.
#ifndef MOORWINCHD_AUTH_H
#define MOORWINCHD_AUTH_H

#include <sys/types.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace moorwinchd {

struct Peer {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    std::vector<gid_t> groups;  // supplementary groups at connect time
};

// Who asked for a change, for the log, the history and the event commands.
struct Author {
    std::string transport;  // "unix", "tcp" or "http"
    // Unix socket: the peer's credentials; user is "" when the uid has no name.
    uid_t uid = static_cast<uid_t>(-1);
    pid_t pid = 0;
    std::string user;
    // TCP and HTTP: the peer's "host:port" ("[host]:port" for IPv6).
    std::string address;

    // {"transport","uid","pid","user"} or {"transport","address"}.
    nlohmann::json toJson() const;
    // "uid 1000 (alice) pid 4242 on the Unix socket", "127.0.0.1:50312 over TCP".
    std::string describe() const;
    // The same without the process or port, that change with every connection:
    // "uid 1000 (alice) on the Unix socket", "127.0.0.1 over TCP".
    std::string source() const;
};

// The author of a Unix socket's peer (its user name from the user database).
Author unixAuthor(const Peer& peer);
// The author of a TCP or HTTP peer.
Author networkAuthor(const std::string& transport, const std::string& address);

// The credentials of a Unix socket's peer; false when the kernel gives none.
// The supplementary groups are the kernel's (SO_PEERGROUPS); where it gives
// none, those of the peer's user in the group database.
bool peerOf(int fd, Peer& peer);

// Whether a given text is the stored secret (false for an empty secret), in
// time that depends on the secret's length only, so that the answer's time
// says nothing about how close a guess came.
bool sameSecret(const std::string& given, const std::string& secret);

class Authority {
public:
    // Resolves the group and reads the token file. Throws std::runtime_error
    // with a message for the user when either is unusable: an unknown group, a
    // token file that others may read, that is not a regular file, or empty.
    Authority(const std::string& controlGroup, const std::string& tokenFile);

    bool mayControl(const Peer& peer) const;
    bool hasToken() const { return !token.empty(); }
    // The refusal of a change, naming the rule that applies to the author's
    // transport: the control group only when there is one.
    std::string refusal(const Author& author) const;
    bool tokenMatches(const std::string& given) const { return sameSecret(given, token); }
    std::string describe() const;

private:
    bool haveGroup = false;
    gid_t controlGid = 0;
    std::string groupName;
    std::string token;
};

// The smallest token accepted, so that a guessable one is refused at start.
constexpr std::size_t minTokenLength = 16;

}  // namespace moorwinchd

#endif
