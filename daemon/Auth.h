// Who may change the station: over the Unix socket root, the service's own user
// and members of the control group (by the peer's credentials); over any socket
// whoever gives the token of the token file.
#ifndef MOORWINCHD_AUTH_H
#define MOORWINCHD_AUTH_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace moorwinchd {

struct Peer {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    std::vector<gid_t> groups;  // supplementary groups at connect time
};

// The credentials of a Unix socket's peer; false when the kernel gives none.
// The supplementary groups are the kernel's (SO_PEERGROUPS); where it gives
// none, those of the peer's user in the group database.
bool peerOf(int fd, Peer& peer);

class Authority {
public:
    // Resolves the group and reads the token file. Throws std::runtime_error
    // with a message for the user when either is unusable: an unknown group, a
    // token file that others may read, that is not a regular file, or empty.
    Authority(const std::string& controlGroup, const std::string& tokenFile);

    bool mayControl(const Peer& peer) const;
    bool hasToken() const { return !token.empty(); }
    // The refusal of a change, naming the rule that applies to this kind of
    // socket: the control group only when there is one.
    std::string refusal(bool tcp, uid_t uid) const;
    // Constant time in the length of the stored token.
    bool tokenMatches(const std::string& given) const;
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
