// The fixture the service's tests share: a folder of their own with a token
// file, a simulated station whose device is link(), the service's socket path,
// and the processes stopped and the folder removed at the end (KEEP_TEST_DIR
// keeps it).
#ifndef MOORWINCH_TESTS_SERVICE_TEST_H
#define MOORWINCH_TESTS_SERVICE_TEST_H

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DaemonHarness.h"

namespace moorwinch_test {

class ServiceTest : public ::testing::Test {
protected:
    // The folder, readable by a second user who must reach the socket, and
    // its token file (0600, as the service demands).
    void makeFolder(const std::string& token) {
        char pattern[] = "/tmp/moorwinch-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        chmod(dir.c_str(), 0755);
        std::ofstream(dir + "/token") << token << "\n";
        chmod((dir + "/token").c_str(), 0600);
    }

    // The simulator with these options, once its device is there.
    void startSimulator(const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = {MOORWINCH_SIM_PATH, "--link", link(), "--verbose"};
        args.insert(args.end(), options.begin(), options.end());
        simulator = std::make_unique<Process>(args, dir + "/sim.log");
        ASSERT_TRUE(eventually([&] { return access(link().c_str(), F_OK) == 0; }));
    }

    void TearDown() override {
        // A test may end with a process stopped (SIGSTOP): it must hear the SIGTERM.
        if (daemon) daemon->signal(SIGCONT);
        if (simulator) simulator->signal(SIGCONT);
        daemon.reset();
        simulator.reset();
        if (!getenv("KEEP_TEST_DIR")) std::filesystem::remove_all(dir);
    }

    std::string link() const { return dir + "/tty"; }
    std::string socketPath() const { return dir + "/d.sock"; }

    std::string dir;
    std::unique_ptr<Process> simulator, daemon;
};

}  // namespace moorwinch_test

#endif
