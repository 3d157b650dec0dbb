// A program run as a child process of a test: arguments, a fixed standard
// input, standard output (and, if asked, standard error) collected as it
// arrives. Every wait is bounded; the child is stopped if still there.
#ifndef MOORWINCH_TESTS_CHILD_PROCESS_H
#define MOORWINCH_TESTS_CHILD_PROCESS_H

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace moorwinch_test {

struct ChildOptions {
    std::string input;
    bool captureStderr = false;
    std::vector<std::pair<std::string, std::string>> environment;  // set in the child; "" value unsets
};

class Child {
public:
    using Clock = std::chrono::steady_clock;

    Child(const std::string& program, std::vector<std::string> args, const std::string& input)
        : Child(program, std::move(args), withInput(input)) {}

    Child(const std::string& program, std::vector<std::string> args, const ChildOptions& options) {
        ::signal(SIGPIPE, SIG_IGN);
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        int in[2], out[2], err[2] = {-1, -1};
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
            (options.captureStderr && pipe2(err, O_CLOEXEC) != 0))
            throw std::runtime_error("pipe");
        pid = fork();
        if (pid < 0) throw std::runtime_error("fork");
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            if (options.captureStderr) dup2(err[1], 2);
            for (const auto& variable : options.environment) {
                if (variable.second.empty())
                    unsetenv(variable.first.c_str());
                else
                    setenv(variable.first.c_str(), variable.second.c_str(), 1);
            }
#ifdef SYS_close_range
            syscall(SYS_close_range, 3u, ~0u, 0u);  // keep an in-process station's descriptors out
#endif
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        streams[0].fd = out[0];
        if (options.captureStderr) {
            close(err[1]);
            streams[1].fd = err[0];
        }
        // A child that ends without reading (a help switch) leaves EPIPE, which is fine.
        if (!options.input.empty() && write(in[1], options.input.data(), options.input.size()) < 0 &&
            errno != EPIPE)
            ADD_FAILURE() << "writing stdin failed";
        close(in[1]);
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Asks the child to stop, then forces it after a bounded wait.
    ~Child() {
        if (pid > 0 && !reaped) {
            kill(pid, SIGTERM);
            const auto deadline = Clock::now() + std::chrono::seconds(2);
            while (waitpid(pid, nullptr, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    kill(pid, SIGKILL);
                    waitpid(pid, nullptr, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        for (Stream& s : streams)
            if (s.fd >= 0) close(s.fd);
    }

    // Reads the output to its end and reaps the child; false on timeout.
    bool finish(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto deadline = Clock::now() + limit;
        while (readSome(deadline)) {
        }
        if (!allClosed()) return false;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        reaped = true;
        exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
    }

    // Reads what arrives until the condition holds; false when it did not within the limit.
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto deadline = Clock::now() + limit;
        while (!condition())
            if (!readSome(deadline)) return condition();
        return true;
    }

    // The first line of standard output, without its line feed; "" on timeout.
    std::string firstLine(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        waitFor([this] { return output.find('\n') != std::string::npos; }, limit);
        const std::size_t end = output.find('\n');
        return end == std::string::npos ? "" : output.substr(0, end);
    }

    void sendSignal(int number) { kill(pid, number); }

    std::string output;
    std::string errors;  // when captured
    int exitCode = -1;

private:
    static ChildOptions withInput(const std::string& input) {
        ChildOptions options;
        options.input = input;
        return options;
    }

    struct Stream {
        int fd = -1;
        std::string* text;
        bool closed = false;
    };

    bool allClosed() const {
        for (const Stream& s : streams)
            if (s.fd >= 0 && !s.closed) return false;
        return true;
    }

    // One read of what has arrived on any stream; false when all are at their
    // end or the deadline passed.
    bool readSome(Clock::time_point deadline) {
        pollfd fds[2];
        Stream* open[2];
        nfds_t n = 0;
        for (Stream& s : streams) {
            if (s.fd < 0 || s.closed) continue;
            fds[n] = {s.fd, POLLIN, 0};
            open[n++] = &s;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (n == 0 || left <= 0 || poll(fds, n, static_cast<int>(left)) <= 0) return false;
        for (nfds_t i = 0; i < n; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0)
                open[i]->closed = true;
            else
                open[i]->text->append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }

    Stream streams[2] = {{-1, &output, false}, {-1, &errors, false}};
    pid_t pid = -1;
    bool reaped = false;
};

}  // namespace moorwinch_test

#endif
