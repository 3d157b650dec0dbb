// The listening sockets: a Unix socket made safely (mode 0660, a stale socket
// replaced only when nothing answers on it) and TCP listeners.
#ifndef MOORWINCHD_SOCKETS_H
#define MOORWINCHD_SOCKETS_H

#include <string>
#include <vector>

#include "Options.h"

namespace moorwinchd {

// Throws std::runtime_error with a message for the user: another service
// listening there, the path taken by something that is not a socket, no access.
int listenUnix(const std::string& path);

// One listener per address the endpoint resolves to; the texts name the
// addresses bound (with the port the system chose for 0).
std::vector<int> listenTcp(const Endpoint& at, std::vector<std::string>& bound);

// False while the endpoint's address is not configured on this host yet (or
// its name does not resolve for now), as at boot before the network is up.
// Throws std::runtime_error when the name cannot resolve at all.
bool addressReady(const Endpoint& at);

// The endpoint's first address as civetweb takes it: numeric, "[v6]:port" for
// IPv6. Throws std::runtime_error when the name cannot resolve.
std::string civetwebAddress(const Endpoint& at);

// The peer of a connected TCP socket as "host:port" ("[host]:port" for IPv6),
// "unknown" when the system names none.
std::string peerAddress(int fd);

// Closes the listener and removes its file, unless another service took the path.
void closeUnix(const std::string& path, int fd);

}  // namespace moorwinchd

#endif
