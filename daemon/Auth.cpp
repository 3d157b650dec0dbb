#include "Auth.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <MoorwinchService.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace moorwinchd {
namespace {

using KORVANE::MoorwinchService::maxTokenFileBytes;

// More supplementary groups than Linux allows a process.
constexpr std::size_t maxGroups = 65536;

std::string readToken(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0) throw std::runtime_error("cannot open the token file " + path + ": " + std::strerror(errno));
    struct stat info;
    std::string text;
    std::string problem;
    if (::fstat(fd, &info) != 0) problem = std::strerror(errno);
    else if (!S_ISREG(info.st_mode)) problem = "not a regular file";
    else if (info.st_mode & (S_IROTH | S_IWOTH))
        problem = "others may read or write it (mode " + std::to_string((info.st_mode >> 6) & 7) +
                  std::to_string((info.st_mode >> 3) & 7) + std::to_string(info.st_mode & 7) +
                  "); make it private, e.g. chmod 640 " + path;
    else if (static_cast<std::size_t>(info.st_size) > maxTokenFileBytes)
        problem = "larger than " + std::to_string(maxTokenFileBytes) + " bytes";
    else {
        char buffer[maxTokenFileBytes + 1];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) problem = std::strerror(errno);
        else text.assign(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!problem.empty()) throw std::runtime_error("refusing the token file " + path + ": " + problem);
    text = KORVANE::MoorwinchService::tokenFromFileText(text);
    if (text.size() < minTokenLength)
        throw std::runtime_error("refusing the token file " + path + ": the token on its first line is shorter than " +
                                 std::to_string(minTokenLength) + " characters");
    return text;
}

// The peer's supplementary groups as the kernel saw them at connect time.
bool kernelGroups(int fd, std::vector<gid_t>& groups) {
    groups.assign(64, 0);
    socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) != 0) {
        if (errno != ERANGE || size / sizeof(gid_t) > maxGroups) return false;
        groups.assign(size / sizeof(gid_t), 0);
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) != 0) return false;
    }
    groups.resize(size / sizeof(gid_t));
    return true;
}

// The groups of the user in the group database (its primary group from the
// credentials); only that primary group when the user is unknown.
std::vector<gid_t> databaseGroups(uid_t uid, gid_t gid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return {gid};
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    if (::getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) {
        if (count <= 0 || static_cast<std::size_t>(count) > maxGroups) return {gid};
        groups.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) return {gid};
    }
    groups.resize(static_cast<std::size_t>(count));
    return groups;
}

}  // namespace

nlohmann::json Author::toJson() const {
    if (transport == "unix")
        return {{"transport", transport},
                {"uid", uid},
                {"pid", pid},
                {"user", user.empty() ? nlohmann::json(nullptr) : nlohmann::json(user)}};
    return {{"transport", transport}, {"address", address}};
}

std::string Author::describe() const {
    if (transport == "unix")
        return "uid " + std::to_string(uid) + (user.empty() ? "" : " (" + user + ")") + " pid " +
               std::to_string(pid) + " on the Unix socket";
    return address + (transport == "http" ? " over HTTP" : " over TCP");
}

std::string Author::source() const {
    if (transport == "unix") return "uid " + std::to_string(uid) + (user.empty() ? "" : " (" + user + ")") + " on the Unix socket";
    return address.substr(0, address.rfind(':')) + (transport == "http" ? " over HTTP" : " over TCP");
}

Author unixAuthor(const Peer& peer) {
    Author author;
    author.transport = "unix";
    author.uid = peer.uid;
    author.pid = peer.pid;
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(peer.uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) author.user = found->pw_name;
    return author;
}

Author networkAuthor(const std::string& transport, const std::string& address) {
    Author author;
    author.transport = transport;
    author.address = address;
    return author;
}

bool peerOf(int fd, Peer& peer) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) return false;
    peer.pid = cred.pid;
    peer.uid = cred.uid;
    peer.gid = cred.gid;
    // Kernels before 4.13 have no SO_PEERGROUPS.
    if (!kernelGroups(fd, peer.groups)) peer.groups = databaseGroups(cred.uid, cred.gid);
    return true;
}

Authority::Authority(const std::string& controlGroup, const std::string& tokenFile) {
    if (!controlGroup.empty()) {
        group entry{};
        group* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getgrnam_r(controlGroup.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
            throw std::runtime_error("unknown control group '" + controlGroup + "'");
        haveGroup = true;
        controlGid = found->gr_gid;
        groupName = controlGroup;
    }
    if (!tokenFile.empty()) token = readToken(tokenFile);
}

bool Authority::mayControl(const Peer& peer) const {
    if (peer.uid == 0 || peer.uid == ::geteuid()) return true;
    if (!haveGroup) return false;
    if (peer.gid == controlGid) return true;
    for (gid_t g : peer.groups)
        if (g == controlGid) return true;
    return false;
}

bool sameSecret(const std::string& given, const std::string& secret) {
    if (secret.empty()) return false;
    // Every byte of the secret is looked at whatever the given text holds.
    unsigned char difference = given.size() != secret.size() ? 1 : 0;
    for (std::size_t i = 0; i < secret.size(); ++i) {
        const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        difference |= static_cast<unsigned char>(g ^ static_cast<unsigned char>(secret[i]));
    }
    return difference == 0;
}

std::string Authority::refusal(const Author& author) const {
    if (author.transport == "tcp")
        return hasToken() ? "changing the station over TCP needs {\"op\":\"auth\",\"token\":...} first"
                          : "the station cannot be changed over TCP: the service has no token file (--token-file)";
    if (author.transport == "http")
        return hasToken() ? "changing the station over HTTP needs the token first"
                          : "the station cannot be changed over HTTP: the service has no token file (--token-file)";
    std::vector<std::string> who = {"root", "the service's user (uid " + std::to_string(::geteuid()) + ")"};
    if (haveGroup) who.push_back("members of the group " + groupName);
    if (hasToken()) who.push_back("clients that gave the token");
    std::string text = "uid " + std::to_string(author.uid) + " may not change the station: only ";
    for (std::size_t i = 0; i < who.size(); ++i)
        text += (i == 0 ? "" : i + 1 == who.size() ? " and " : ", ") + who[i];
    return text + " may";
}

std::string Authority::describe() const {
    std::string text = "changes allowed to root, uid " + std::to_string(::geteuid());
    if (haveGroup) text += ", group " + groupName;
    text += hasToken() ? " and token holders" : "; no token file, so none over TCP";
    return text;
}

}  // namespace moorwinchd
