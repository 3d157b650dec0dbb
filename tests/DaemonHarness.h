// Subprocesses and socket clients for the service's tests: the simulator and
// moorwinchd run as real programs with their logs in files, clients talk over
// the real sockets. Every wait is a condition polled up to a generous bound.
#ifndef MOORWINCH_TESTS_DAEMON_HARNESS_H
#define MOORWINCH_TESTS_DAEMON_HARNESS_H

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace moorwinch_test {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;
constexpr std::chrono::milliseconds patience{15000};

template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = patience) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// How a program starts: standard output (and error) appended to a log file,
// standard error to a file or a descriptor of its own, extra environment, a
// working directory, and a step in the child just before exec.
struct Spawn {
    std::string log;
    std::string errors;
    int errorFd = -1;
    std::vector<std::string> environment;  // NAME=value, added to the test's own
    std::string directory;
    std::function<void()> prepare;
};

class Process {
public:
    Process(std::vector<std::string> args, const std::string& log, const std::string& errors = "")
        : Process(std::move(args), Spawn{log, errors, -1, {}, "", nullptr}) {}
    Process(std::vector<std::string> args, const Spawn& how) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        // Made before fork: the child only calls what is safe after it.
        std::vector<std::string> environment = how.environment;
        for (char** e = environ; *e; ++e) environment.push_back(*e);
        std::vector<char*> envp;
        for (std::string& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        pid = fork();
        if (pid < 0) throw std::runtime_error("fork");
        if (pid == 0) {
            const int out = open(how.log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(out, 1);
            dup2(how.errorFd >= 0          ? how.errorFd
                 : how.errors.empty() ? out
                                      : open(how.errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644),
                 2);
#ifdef SYS_close_range
            syscall(SYS_close_range, 3u, ~0u, 0u);
#endif
            if (!how.directory.empty() && chdir(how.directory.c_str()) != 0) _exit(126);
            if (how.prepare) how.prepare();
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() {
        if (pid > 0 && !reaped) {
            ::kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    void signal(int number) {
        if (pid > 0 && !reaped) ::kill(pid, number);
    }
    // SIGSTOP, and back once every thread has stopped: a thread already running
    // when the signal is sent may otherwise still answer one more request.
    void pause() {
        ::kill(pid, SIGSTOP);
        eventually([&] { return allThreadsStopped(); });
    }
    pid_t id() const { return pid; }
    // The exit code (128 + signal when killed), or -1 when it did not end in time.
    int wait(std::chrono::milliseconds limit = patience) {
        int status = 0;
        if (!eventually([&] { return reaped || waitpid(pid, &status, WNOHANG) == pid; }, limit)) return -1;
        if (!reaped) code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        reaped = true;
        return code;
    }

private:
    bool allThreadsStopped() const {
        const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
        DIR* dir = opendir(tasks.c_str());
        if (!dir) return false;
        bool stopped = true;
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            // The state follows the command name in parentheses.
            const std::string stat = slurp(tasks + "/" + entry->d_name + "/stat");
            const std::size_t close = stat.rfind(')');
            stopped = stopped && close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'T';
        }
        closedir(dir);
        return stopped;
    }

    pid_t pid = -1;
    bool reaped = false;
    int code = -1;
};

inline int dialUnix(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline int dialTcp(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One client: lines out, JSON lines in.
class Connection {
public:
    explicit Connection(int descriptor) : fd(descriptor) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        if (fd >= 0) close(fd);
    }
    bool open() const { return fd >= 0; }

    void send(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }

    // The next line without its line feed; "" at the end of the stream or on timeout.
    std::string line(std::chrono::milliseconds limit = patience) {
        const auto deadline = Clock::now() + limit;
        std::size_t end;
        while ((end = buffer.find('\n')) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return "";
            char chunk[65536];
            const ssize_t n = read(fd, chunk, sizeof chunk);  // also from a pipe
            if (n <= 0) {
                ended = true;
                return "";
            }
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
        std::string text = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        return text;
    }

    json next(std::chrono::milliseconds limit = patience) {
        const std::string text = line(limit);
        return text.empty() ? json() : json::parse(text, nullptr, false);
    }

    // Sends the request and returns its reply, passing over events.
    json ask(const json& request) {
        send(request.dump() + "\n");
        for (json reply = next(); !reply.is_null(); reply = next())
            if (reply.contains("ok")) return reply;
        return json();
    }

    // The next event of this kind, passing over others.
    json event(const std::string& kind, std::chrono::milliseconds limit = patience) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            json e = next(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (e.is_null()) return e;
            if (e.value("event", "") == kind) return e;
        }
        return json();
    }

    // True once the service has closed the connection (what it still sends is read and dropped).
    bool closedByPeer(std::chrono::milliseconds limit = patience) {
        const auto deadline = Clock::now() + limit;
        while (!ended && Clock::now() < deadline) {
            line(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            buffer.clear();
        }
        return ended;
    }

    // Everything the peer sends until it closes (or the patience runs out).
    std::string rest() {
        std::string text;
        const auto deadline = Clock::now() + patience;
        while (Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char chunk[65536];
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }

    int fd;
    std::string buffer;
    bool ended = false;
};

// GET /metrics over HTTP/1.0; the body, or "" when the request failed.
inline std::string httpGet(int port, const std::string& path) {
    Connection http(dialTcp(port));
    if (!http.open()) return "";
    http.send("GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n");
    const std::string response = http.rest();
    const std::size_t body = response.find("\r\n\r\n");
    const bool ok = response.compare(0, 5, "HTTP/") == 0 && response.find(" 200 ") < response.find('\n');
    return ok && body != std::string::npos ? response.substr(body + 4) : "";
}

}  // namespace moorwinch_test

#endif
