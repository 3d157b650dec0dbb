// Several threads sharing one connection: the exchange lock must keep each
// request line whole on the wire and hand every thread its own reply. The only
// failure a busy lock may cause is the operation's own lock timeout.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "StationFixture.h"
#include "StationModel.h"

using namespace KORVANE;
using moorwinch_sim::PtyStation;
using moorwinch_sim::StationModel;

namespace {

constexpr int threadCount = 8;
constexpr int operationsPerThread = 500;
// Generous, so that a loaded machine delaying the station thread does not time
// a reply out; a busy lock still shows as the operation's lock timeout.
constexpr unsigned int connectionTimeoutMs = 1000;

// Every torque and start length a thread may set; a configuration read must
// only ever show one of them (or the station's initial 40 % and 1.5 m).
const unsigned int torques[] = {20, 40, 60, 80};
const float startLengths[] = {0.5f, 1.0f, 1.5f, 2.5f};

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct Tally {
    std::atomic<long> exchanges{0};  // operations that completed their exchange
    std::atomic<long> lockTimeouts{0};
    std::atomic<long> idMismatches{0};
    std::atomic<long> dataErrors{0};
    std::atomic<long> badRecords{0};
    std::mutex mutex;
    std::vector<std::string> otherFailures;  // texts of any other failure
};

// One operation of a fixed mix, chosen by the step number: mostly short
// queries and commands, now and then the details (10 T) and the two commands
// that wait 30 T.
void runOperation(Moorwinch& station, int thread, int step, Tally& tally) {
    const int slot = (step * 7 + thread * 13) % 100;
    try {
        if (slot < 35) {
            Moorwinch::systemStatus status;
            station.getSystemStatus(status);
            if (status.errorCode != 0) ++tally.badRecords;
        } else if (slot < 56) {
            Moorwinch::systemConfig config;
            config.cableRetractionTorque = 999;
            station.getSystemConfig(config);
            bool known = config.cableRetractionTorque == 40;
            for (unsigned int t : torques) known = known || config.cableRetractionTorque == t;
            if (!known) ++tally.badRecords;
        } else if (slot < 72) {
            station.setCableRetractionTorque(torques[(step + thread) % 4]);
        } else if (slot < 88) {
            station.setCableRetractionStartLength(startLengths[(step + thread) % 4]);
        } else if (slot < 95) {
            Moorwinch::systemStatusConfig flags;
            station.getSystemStatusConfig(flags);
            if (flags.cab != 1 || flags.hwModuleStatus != 1) ++tally.badRecords;
        } else if (slot < 98) {
            Moorwinch::systemDetails details;
            station.getSystemDetails(details);
            if (details.protocolVersion.empty()) ++tally.badRecords;
        } else if (slot == 98) {
            station.setSystemActivation((step / 100) % 2 == 0);
        } else {
            Moorwinch::systemStatusConfig flags{1, 1, 1, 1, 1, 1};
            station.setSystemStatusConfig(flags);
        }
        ++tally.exchanges;
    } catch (const IOException& e) {
        if (endsWith(e.what(), ": Communication timeout")) {
            ++tally.lockTimeouts;
            return;
        }
        std::lock_guard<std::mutex> lock(tally.mutex);
        tally.otherFailures.push_back(e.what());
    } catch (const DataException& e) {
        ++tally.dataErrors;
        if (std::string(e.what()).find("wrong message handler") != std::string::npos) ++tally.idMismatches;
        std::lock_guard<std::mutex> lock(tally.mutex);
        tally.otherFailures.push_back(e.what());
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(tally.mutex);
        tally.otherFailures.push_back(e.what());
    }
}

// True when line is one whole request: a JSON object with exactly one
// envelope and one message id.
bool isWholeRequest(const std::string& line) {
    std::size_t ids = 0;
    for (std::size_t at = line.find("\"MSG_ID\""); at != std::string::npos; at = line.find("\"MSG_ID\"", at + 1))
        ++ids;
    if (ids != 1) return false;
    try {
        nlohmann::json request = nlohmann::json::parse(line);
        return request.is_object() && request.contains("COM") && request["COM"].is_object() &&
               request["COM"].contains("MSG_ID") && request["COM"]["MSG_ID"].is_number_unsigned();
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

TEST(Concurrency, ThreadsSharingOneConnectionEachGetTheirOwnReplyAndWholeLines) {
    PtyStation station;
    StationModel model;
    model.attach(station);

    Moorwinch shared;
    shared.setConnectionTimeout(connectionTimeoutMs);
    shared.openConnection(station.devicePath());
    ASSERT_TRUE(station.waitForRequests(1, std::chrono::seconds(5)));
    station.clearRequests();

    Tally tally;
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            // Start together, so that the lock is contended from the first step.
            ++ready;
            while (ready.load() < threadCount) std::this_thread::yield();
            for (int step = 0; step < operationsPerThread; ++step) runOperation(shared, t, step, tally);
        });
    }
    // Status readers may run beside the queries (and must not race with them).
    std::atomic<bool> done{false};
    long polls = 0, seenClosed = 0;
    std::thread poller([&] {
        while (!done.load()) {
            ++polls;
            if (!shared.isConnected() || shared.getConnectionStatus() != 1) ++seenClosed;
            std::this_thread::yield();
        }
    });
    for (std::thread& thread : threads) thread.join();
    done = true;
    poller.join();
    EXPECT_GT(polls, 0);
    EXPECT_EQ(seenClosed, 0);

    // Every operation that got the lock sent exactly one line (no value is
    // refused in the mix); the station has seen them all by the time the
    // replies came back.
    const long sends = threadCount * operationsPerThread - tally.lockTimeouts.load();
    station.waitForRequests(static_cast<std::size_t>(sends), std::chrono::seconds(10));
    const std::vector<std::string> lines = station.requests();
    std::size_t broken = 0;
    for (const std::string& line : lines) {
        if (!isWholeRequest(line)) {
            if (broken < 3) ADD_FAILURE() << "interleaved or damaged request line: " << line;
            ++broken;
        }
    }

    std::printf("concurrency: threads %d, operations %d, exchanges %ld, lock timeouts %ld, id mismatches %ld, "
                "other data errors %ld, other failures %zu, requests sent %ld, lines on the wire %zu\n",
                threadCount, threadCount * operationsPerThread, tally.exchanges.load(), tally.lockTimeouts.load(),
                tally.idMismatches.load(), tally.dataErrors.load() - tally.idMismatches.load(),
                tally.otherFailures.size(), sends, lines.size());

    EXPECT_EQ(broken, 0u);
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(sends));
    EXPECT_EQ(tally.idMismatches.load(), 0);
    EXPECT_EQ(tally.dataErrors.load(), 0);
    EXPECT_EQ(tally.badRecords.load(), 0);
    EXPECT_EQ(tally.exchanges.load(), sends);
    for (std::size_t i = 0; i < tally.otherFailures.size() && i < 5; ++i)
        ADD_FAILURE() << "unexpected failure: " << tally.otherFailures[i];
    EXPECT_TRUE(tally.otherFailures.empty());
    EXPECT_GT(tally.exchanges.load(), 0);
}

}  // namespace
