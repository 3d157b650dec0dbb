// The history file: what goes in comes back (NULLs included), the questions
// and their bounds, retention, a writer killed mid-write, a disk that fills up.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include <SQLiteCpp/SQLiteCpp.h>

#include "MoorwinchHistory.h"

using namespace KORVANE;
using namespace KORVANE::MoorwinchHistory;
using MoorwinchDefinitions::statusError;
using MoorwinchDefinitions::statusOk;
using MoorwinchDefinitions::statusWarning;

namespace {

constexpr Time second = microsecondsPerSecond;
constexpr Time t0 = 1714564800 * second;  // 2024-05-01T12:00:00Z

class History : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/moorwinch-history-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    std::string path(const char* name = "history.db") const { return dir + "/" + name; }

    std::string dir;
};

bool waitFor(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

Moorwinch::systemStatus reported(float length) {
    Moorwinch::systemStatus s;
    s.cab = s.env = s.energyGS = s.energyUAV = s.sysState = s.hwModuleStatus = 1;
    s.cableLength = length;
    s.cableSpeed = 0.1f;
    s.temperature1 = 21.5f;
    s.mainsStatus = 0;
    s.mainsCurrent = 3.3f;
    s.systemTime = 4000000000u;
    s.errorCode = 0;
    return s;
}

// Messages of a writer's log hook.
struct Log {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::function<void(const std::string&)> hook() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
        };
    }
    std::size_t count(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        std::size_t n = 0;
        for (const auto& line : lines) n += line.find(part) != std::string::npos;
        return n;
    }
};

// Test times lie in 2024: a writer that keeps them whatever their age.
WriterOptions keepingAll() {
    WriterOptions options;
    options.maxAgeDays = 0;
    return options;
}

std::string integrity(const std::string& path) {
    SQLite::Database db(path, SQLite::OPEN_READWRITE);
    return db.execAndGet("PRAGMA integrity_check").getString();
}

}  // namespace

TEST_F(History, PollsEventsAndRecordsComeBackAsWrittenWithNullsAsDefaults) {
    Moorwinch::systemStatus full = reported(12.34f);
    full.envSensor2Status = 255;     // not available inside a reported block
    Moorwinch::systemStatus sparse;  // nothing reported: every column NULL
    sparse.cab = 0;
    sparse.cableLength = 99;  // held by a disabled block: not recorded
    Moorwinch::systemDetails details;
    details.serialNumber = "SN-1";
    details.swVersionMainCtrl = "0.0.0";
    Moorwinch::systemConfig config;
    config.cableRetractionTorque = 40;
    {
        Writer writer(path(), keepingAll());
        writer.appendDetails(t0, details);
        writer.appendConfig(t0, config);  // the same microsecond: kept, a microsecond later
        writer.appendPoll(t0, statusOk, full);
        writer.appendPoll(t0 + second, statusWarning, sparse);
        writer.appendEvent(t0 + second, EventKind::disconnected, "cable unplugged", {{"error", "timeout"}});
        writer.flush();
        EXPECT_EQ(writer.written(), 5u);
        EXPECT_EQ(writer.writeErrors(), 0u);
    }
    EXPECT_EQ(integrity(path()), "ok");

    const Reader reader(path());
    PollCursor cursor = reader.polls();
    Poll poll;
    ASSERT_TRUE(cursor.next(poll));
    EXPECT_EQ(poll.time, t0);
    EXPECT_EQ(poll.verdict, statusOk);
    EXPECT_EQ(MoorwinchJson::toJson(poll.status), MoorwinchJson::toJson(full));
    EXPECT_EQ(poll.status.cableLength, 12.34f);
    EXPECT_EQ(poll.status.systemTime, 4000000000u);
    ASSERT_TRUE(cursor.next(poll));
    EXPECT_EQ(poll.verdict, statusWarning);
    EXPECT_EQ(poll.status.cab, 0);
    EXPECT_EQ(poll.status.cableLength, 0.0f);  // the record's default
    EXPECT_EQ(poll.status.temperature1, -128.0f);
    EXPECT_EQ(poll.status.errorCode, 1);
    EXPECT_FALSE(cursor.next(poll));

    const FieldSet fields({"cableLength", "envSensor2Status"});
    const auto rows = reader.rows(t0, t0 + second, fields);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(toJson(rows[0], fields).dump(),
              R"({"cableLength":12.34,"envSensor2Status":null,"time":1714564800,"verdict":"ok"})");
    EXPECT_FALSE(rows[1].values[0].has_value());

    const auto events = reader.events(t0, t0 + second);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(toJson(events[0]).dump(),
              R"({"data":{"error":"timeout"},"kind":"disconnected","message":"cable unplugged","time":1714564801})");

    EXPECT_FALSE(reader.details(t0 - 1));
    ASSERT_TRUE(reader.details(t0));
    EXPECT_EQ(reader.details(t0)->details.serialNumber, "SN-1");
    EXPECT_EQ(reader.details(t0)->details.swVersionMainCtrl, "");  // null: the default
    EXPECT_FALSE(reader.config(t0));
    ASSERT_TRUE(reader.config(t0 + 1));
    EXPECT_EQ(reader.config(t0 + 1)->config.cableRetractionTorque, 40u);
}

TEST_F(History, ForeignFilesAndOtherVersionsAreRefused) {
    {
        SQLite::Database other(path("other.db"), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        other.exec("CREATE TABLE notes(text TEXT)");
    }
    EXPECT_THROW(Writer(path("other.db")), FileError);
    EXPECT_THROW(Reader(path("other.db")), FileError);
    { Writer writer(path(), keepingAll()); }
    {
        SQLite::Database db(path(), SQLite::OPEN_READWRITE);
        db.exec("PRAGMA user_version=2");
    }
    try {
        Reader reader(path());
        FAIL() << "a file of version 2 was read";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("version 2"), std::string::npos) << e.what();
    }
    EXPECT_THROW(Reader(path("missing.db")), FileError);
}

TEST_F(History, RangesRawAndInBucketsWithTheirBounds) {
    {
        Writer writer(path(), keepingAll());
        // Ten polls a second apart: length 0..9, the verdict worsening at 7.
        for (int i = 0; i < 10; ++i)
            writer.appendPoll(t0 + i * second,
                              i == 7   ? statusError
                              : i == 3 ? statusWarning
                                       : statusOk,
                              reported(static_cast<float>(i)));
    }
    const Reader reader(path());
    const FieldSet fields({"cableLength", "cab"});

    const auto rows = reader.rows(t0 + 2 * second, t0 + 4 * second, fields);  // both ends included
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows.front().time, t0 + 2 * second);
    EXPECT_EQ(rows.back().time, t0 + 4 * second);
    EXPECT_EQ(*rows[1].values[0], 3.0);

    const auto buckets = reader.buckets(t0 + second, t0 + 9 * second, fields, 4 * second);
    ASSERT_EQ(buckets.size(), 3u);  // [1,5) [5,9) [9,13)
    EXPECT_EQ(buckets[0].time, t0 + second);
    EXPECT_EQ(buckets[0].verdict, statusWarning);
    EXPECT_EQ(buckets[1].verdict, statusError);
    EXPECT_EQ(buckets[2].verdict, statusOk);
    EXPECT_EQ(toJson(buckets[1], fields).dump(),
              R"({"cab":{"max":1,"mean":1.0,"min":1},"cableLength":{"max":8.0,"mean":6.5,"min":5.0},)"
              R"("time":1714564805,"verdict":"error"})");

    auto refusal = [&](const std::function<void()>& question) {
        try {
            question();
        } catch (const QueryError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_NE(refusal([&] { reader.rows(t0 + 2 * second, t0, fields); }).find("is after until"), std::string::npos);
    EXPECT_NE(refusal([&] { FieldSet({"cableLength", "cableLenght"}); }).find("'cableLenght'"), std::string::npos);
    EXPECT_NE(refusal([&] { reader.buckets(t0, t0, fields, 0); }).find("step"), std::string::npos);
}

// A bucket's mean is the data's, not the sum's rounding: exports show 0.15.
TEST_F(History, BucketMeansCarryNoRoundingOfTheirSum) {
    {
        Writer writer(path(), keepingAll());
        writer.appendPoll(t0, statusOk, reported(0.1f));
        writer.appendPoll(t0 + second, statusOk, reported(0.2f));
    }
    const FieldSet fields({"cableLength"});
    const auto buckets = Reader(path()).buckets(t0, t0 + second, fields, 10 * second);
    ASSERT_EQ(buckets.size(), 1u);
    EXPECT_EQ(toJson(buckets[0], fields).at("cableLength").at("mean").dump(), "0.15");
}

TEST_F(History, AnAnswerOverTheLimitIsRefusedNamingIt) {
    {
        WriterOptions options = keepingAll();
        options.queueLimit = answerLimit + 10;
        Writer writer(path(), options);
        for (std::size_t i = 0; i <= answerLimit; ++i)
            writer.appendPoll(t0 + static_cast<Time>(i) * 1000, statusOk, Moorwinch::systemStatus{});
    }
    const Reader reader(path());
    const FieldSet fields({"cab"});
    try {
        reader.rows(minTime, maxTime, fields);
        FAIL() << "more rows than the limit were answered";
    } catch (const QueryError& e) {
        EXPECT_NE(std::string(e.what()).find("100000 rows"), std::string::npos) << e.what();
    }
    EXPECT_THROW(reader.buckets(t0, maxTime, fields, 1), QueryError);
    EXPECT_EQ(reader.buckets(t0, maxTime, fields, second).size(), 101u);
    EXPECT_EQ(reader.rows(t0, t0 + 99 * 1000, fields).size(), 100u);
}

TEST(HistoryTime, TheWhenFormsAndTheirErrors) {
    const Time current = t0 + 3600 * second;
    struct Case {
        const char* text;
        Time expected;
    } cases[] = {
        {"1714564800", t0},
        {"1714564800.25", t0 + second / 4},
        {"2024-05-01T12:00:00Z", t0},
        {"2024-05-01T14:00:00.5+02:00", t0 + second / 2},
        {"2024-05-01T06:30-0530", t0},
        {"30s", current - 30 * second},
        {"10m", current - 600 * second},
        {"1h", t0},
        {"1d", current - 86400 * second},
        {"now", current},
    };
    for (const Case& c : cases) EXPECT_EQ(parseTime(c.text, current), c.expected) << c.text;
    EXPECT_EQ(timeFromJson(json(1714564800.5), current), t0 + second / 2);
    EXPECT_EQ(timeFromJson(json("1h"), current), t0);
    EXPECT_EQ(formatTime(t0 + 250000), "2024-05-01T12:00:00.250Z");

    struct Bad {
        const char* text;
        const char* says;
    } bad[] = {
        {"", "bad time ''"},
        {"2024-05-01T12:00:00", "no zone"},
        {"2024-02-30T12:00:00Z", "no such date"},
        {"1.5h", "30s, 10m, 2h, 1d"},
        {"-5", "Unix seconds"},
        {"99999999999d", "outside 1970 to 9999"},
    };
    for (const Bad& b : bad) {
        try {
            parseTime(b.text, current);
            ADD_FAILURE() << b.text << " was taken";
        } catch (const QueryError& e) {
            EXPECT_NE(std::string(e.what()).find(b.says), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(timeFromJson(json::array(), current), QueryError);
}

TEST_F(History, RetentionDeletesTheOldestRowsByAgeAndBySize) {
    const Time today = now();
    {
        WriterOptions options;
        options.maxAgeDays = 30;
        Writer writer(path("age.db"), options);
        for (int i = 0; i < 3; ++i) writer.appendPoll(today - (40 - i) * 86400 * second, statusOk, reported(1));
        writer.appendEvent(today - 40 * 86400 * second, EventKind::connected, "old", nullptr);
        writer.appendPoll(today, statusOk, reported(2));
        writer.flush();
        const Reader reader(path("age.db"));
        EXPECT_TRUE(waitFor([&] { return reader.rows(minTime, maxTime, FieldSet()).size() == 1; }));
        EXPECT_TRUE(reader.events(minTime, maxTime).empty());
    }

    WriterOptions options;
    options.maxSizeMB = 1;
    options.queueLimit = 100000;
    Writer writer(path("size.db"), options);
    const int polls = 20000;  // about 4 MB
    for (int i = 0; i < polls; ++i)
        writer.appendPoll(today + i * second, statusOk, reported(static_cast<float>(i) / 7));
    writer.flush();
    const Reader reader(path("size.db"));
    const FieldSet fields({"cab"});
    EXPECT_TRUE(waitFor([&] {
        SQLite::Database db(path("size.db"), SQLite::OPEN_READONLY);
        return (db.execAndGet("PRAGMA page_count").getInt64() - db.execAndGet("PRAGMA freelist_count").getInt64()) *
                   db.execAndGet("PRAGMA page_size").getInt64() <=
               (1 << 20);
    }));
    const auto kept = reader.rows(minTime, maxTime, fields);
    ASSERT_FALSE(kept.empty());
    EXPECT_LT(kept.size(), static_cast<std::size_t>(polls));
    EXPECT_EQ(kept.back().time, today + (polls - 1) * second);  // the newest stay
    EXPECT_EQ(kept.front().time, today + static_cast<Time>(polls - kept.size()) * second);
}

TEST_F(History, AKilledWriterLeavesAnIntactFileMissingAtMostTheLastSecond) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        Writer writer(path());
        for (;;) {
            writer.appendPoll(now(), statusOk, reported(5));
            ::usleep(5000);
        }
    }
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } reaper{pid};
    // Some seconds of polls, so that the kill falls among committed batches.
    EXPECT_TRUE(waitFor([&] {
        if (::access(path().c_str(), F_OK) != 0) return false;
        try {
            auto rows = Reader(path()).rows(minTime, maxTime, FieldSet({"cab"}));
            return rows.size() > 1 && rows.back().time - rows.front().time > 2 * second;
        } catch (const FileError&) {
            return false;  // still being created
        }
    }));
    const Time killed = now();
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    ::waitpid(pid, nullptr, 0);

    EXPECT_EQ(integrity(path()), "ok");
    const auto rows = Reader(path()).rows(minTime, maxTime, FieldSet({"cab"}));
    ASSERT_FALSE(rows.empty());
    EXPECT_GE(rows.back().time, killed - second);
}

// A full disk, as the file-size limit makes one: every write fails until it is lifted.
TEST_F(History, AFullDiskIsCountedAndLoggedOnceAndWritingResumes) {
    Log log;
    WriterOptions options = keepingAll();
    options.log = log.hook();
    Writer writer(path(), options);
    writer.appendPoll(t0, statusOk, reported(1));
    writer.flush();
    ASSERT_EQ(writer.written(), 1u);

    rlimit original;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
    auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit full = original;
    full.rlim_cur = 0;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
    for (int batch = 1; batch <= 3; ++batch) {
        writer.appendPoll(t0 + batch * second, statusOk, reported(1));
        writer.appendEvent(t0 + batch * second, EventKind::verdict, "", nullptr);
        writer.flush();
    }
    ::setrlimit(RLIMIT_FSIZE, &original);
    ::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(writer.writeErrors(), 6u);
    EXPECT_EQ(log.count("cannot write"), 1u);

    writer.appendPoll(t0 + 10 * second, statusOk, reported(1));
    writer.flush();
    EXPECT_EQ(writer.written(), 2u);
    EXPECT_EQ(log.count("again"), 1u);
    EXPECT_EQ(Reader(path()).rows(minTime, maxTime, FieldSet()).size(), 2u);
    EXPECT_EQ(integrity(path()), "ok");
}
