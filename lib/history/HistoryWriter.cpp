// The writer: a queue filled by the caller, emptied by a thread of its own in
// one transaction per half second; failures counted, retention in small steps.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <variant>

#include <SQLiteCpp/Statement.h>
#include <SQLiteCpp/Transaction.h>

#include "HistoryFile.h"

namespace KORVANE {
namespace MoorwinchHistory {

namespace {

using Clock = std::chrono::steady_clock;

// Committing at least this often bounds what a killed process loses to the
// last second, with room for a late wake-up of the thread.
constexpr auto commitInterval = std::chrono::milliseconds(500);
// Retention deletes at most this many rows of each table per transaction and
// stops for this long after a batch, then gives the queue its turn.
constexpr int retentionStep = 1000;
constexpr auto retentionBudget = std::chrono::milliseconds(100);
constexpr Time day = 86400 * microsecondsPerSecond;

struct PollItem {
    Time time;
    Verdict verdict;
    Moorwinch::systemStatus status;
};
struct EventItem {
    Time time;
    std::string kind;
    std::string message;
    json data;
};
struct DetailsItem {
    Time time;
    Moorwinch::systemDetails details;
};
struct ConfigItem {
    Time time;
    Moorwinch::systemConfig config;
};
using Item = std::variant<PollItem, EventItem, DetailsItem, ConfigItem>;

template <class... F>
struct Overload : F... {
    using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string insertPollSql() {
    std::string sql = "INSERT OR REPLACE INTO polls(" + file::pollColumns() + ") VALUES(?";
    for (std::size_t i = 0; i < file::members().size() + 1; ++i) sql += ", ?";
    return sql + ")";
}

// An open connection with its statements (declared after it, so closed first).
struct Connection {
    std::unique_ptr<SQLite::Database> db;
    SQLite::Statement insertPoll;
    SQLite::Statement insertEvent;
    SQLite::Statement insertRecord;

    explicit Connection(std::unique_ptr<SQLite::Database> opened)
        : db(std::move(opened)),
          insertPoll(*db, insertPollSql()),
          insertEvent(*db, "INSERT INTO events(time, kind, message, data) VALUES(?1, ?2, ?3, ?4)"),
          insertRecord(*db, "INSERT OR IGNORE INTO records(time, kind, data) VALUES(?1, ?2, ?3)") {}

    void poll(const PollItem& item) {
        insertPoll.reset();
        insertPoll.bind(1, item.time);
        insertPoll.bind(2, file::verdictCode(item.verdict));
        int column = 3;
        for (const file::Member& m : file::members()) {
            const Moorwinch::systemStatus& s = item.status;
            if (!m.available(s))
                insertPoll.bind(column);
            else if (m.i32)
                insertPoll.bind(column, s.*m.i32);
            else if (m.u32)
                insertPoll.bind(column, static_cast<std::int64_t>(s.*m.u32));
            else
                insertPoll.bind(column, MoorwinchJson::detail::shortest(s.*m.f32));
            ++column;
        }
        insertPoll.exec();
    }

    void event(const EventItem& item) {
        insertEvent.reset();
        insertEvent.bind(1, item.time);
        insertEvent.bind(2, item.kind);
        insertEvent.bind(3, item.message);
        if (item.data.is_null())
            insertEvent.bind(4);
        else
            insertEvent.bind(4, dump(item.data));
        insertEvent.exec();
    }

    // Records are keyed by time: one that meets another's microsecond moves on.
    void record(Time time, const char* kind, const json& data) {
        const std::string text = dump(data);
        for (;; ++time) {
            insertRecord.reset();
            insertRecord.bind(1, time);
            insertRecord.bind(2, kind);
            insertRecord.bind(3, text);
            if (insertRecord.exec() == 1) return;
        }
    }

    void write(const Item& item) {
        std::visit(Overload{[this](const PollItem& i) { poll(i); }, [this](const EventItem& i) { event(i); },
                            [this](const DetailsItem& i) { record(i.time, "details", MoorwinchJson::toJson(i.details)); },
                            [this](const ConfigItem& i) { record(i.time, "config", MoorwinchJson::toJson(i.config)); }},
                   item);
    }

    std::int64_t usedBytes() {
        return (db->execAndGet("PRAGMA page_count").getInt64() - db->execAndGet("PRAGMA freelist_count").getInt64()) *
               db->execAndGet("PRAGMA page_size").getInt64();
    }

    // The time of the thousandth oldest row of a table, or just past its
    // newest when it holds fewer; nullopt when empty.
    std::optional<Time> stepEnd(const char* table) {
        SQLite::Statement nth(*db, std::string("SELECT time FROM ") + table + " ORDER BY time LIMIT 1 OFFSET ?1");
        nth.bind(1, retentionStep - 1);
        if (nth.executeStep()) return nth.getColumn(0).getInt64();
        SQLite::Statement newest(*db, std::string("SELECT max(time) + 1 FROM ") + table);
        newest.executeStep();
        if (newest.getColumn(0).isNull()) return std::nullopt;
        return newest.getColumn(0).getInt64();
    }

    // The oldest row retention may delete (maxTime when none).
    Time oldest() {
        return db->execAndGet(
                     "SELECT coalesce(min(t), " + std::to_string(maxTime) +
                     ") FROM (SELECT min(time) AS t FROM polls UNION ALL SELECT min(time) FROM events UNION ALL "
                     "SELECT min(time) FROM records WHERE time NOT IN (SELECT max(time) FROM records GROUP BY kind))")
            .getInt64();
    }

    // Deletes up to a step of rows of each table older than the cutoff (the
    // newest record of each kind stays, for a replay of what follows);
    // returns how many.
    int deleteBefore(Time cutoff) {
        static const char* const deletes[] = {
            "DELETE FROM polls WHERE time IN (SELECT time FROM polls WHERE time < ?1 ORDER BY time LIMIT ?2)",
            "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE time < ?1 ORDER BY time LIMIT ?2)",
            "DELETE FROM records WHERE time IN (SELECT time FROM records WHERE time < ?1 AND time NOT IN "
            "(SELECT max(time) FROM records GROUP BY kind) ORDER BY time LIMIT ?2)",
        };
        SQLite::Transaction transaction(*db);
        int deleted = 0;
        for (const char* sql : deletes) {
            SQLite::Statement remove(*db, sql);
            remove.bind(1, cutoff);
            remove.bind(2, retentionStep);
            deleted += remove.exec();
        }
        transaction.commit();
        return deleted;
    }
};

}  // namespace

struct Writer::Impl {
    std::string path;
    WriterOptions options;

    std::mutex mutex;
    std::condition_variable wake;     // the thread: stop or flush wanted
    std::condition_variable flushed;  // flush(): its batch is done
    std::vector<Item> queue;
    bool stopping = false;
    std::uint64_t flushWanted = 0;
    std::uint64_t flushDone = 0;

    std::atomic<std::uint64_t> rowsWritten{0};
    std::atomic<std::uint64_t> rowsFailed{0};
    std::atomic<std::uint64_t> rowsDropped{0};

    // The writer's thread only (and the constructor, before it starts).
    std::unique_ptr<Connection> connection;
    bool failing = false;
    bool dropping = false;
    std::uint64_t droppedSeen = 0;

    std::thread thread;

    void log(const std::string& message) {
        if (options.log) options.log(message);
    }

    // A file that cannot be opened or written is a failure like a batch that
    // cannot be written; a refused one too, once the writer runs.
    void connect() {
        try {
            connection = std::make_unique<Connection>(file::open(path, file::Access::write));
        } catch (const SQLite::Exception& e) {
            fail(e.what());
        }
    }

    void reconnect() {
        try {
            connect();
        } catch (const FileError& e) {
            fail(e.what());
        }
    }

    // The connection is given up: one opened read-only stays so, and one that
    // hit a full disk may hold a failed transaction. The next batch opens again.
    void fail(const std::string& why) {
        connection.reset();
        if (!failing) log("history: cannot write " + path + ": " + why + "; rows are counted as write errors until it can");
        failing = true;
    }

    void write(const std::vector<Item>& batch) {
        if (batch.empty()) return;
        if (!connection) reconnect();
        if (connection) {
            try {
                SQLite::Transaction transaction(*connection->db);
                for (const Item& item : batch) connection->write(item);
                transaction.commit();
                rowsWritten += batch.size();
                if (failing) log("history: writing " + path + " again");
                failing = false;
                return;
            } catch (const SQLite::Exception& e) {
                fail(e.what());
            }
        }
        rowsFailed += batch.size();
    }

    void retain() {
        if (!connection || (options.maxAgeDays == 0 && options.maxSizeMB == 0)) return;
        const auto deadline = Clock::now() + retentionBudget;
        try {
            int deleted;
            do {
                Time cutoff = options.maxAgeDays ? now() - static_cast<Time>(options.maxAgeDays) * day : minTime;
                if (options.maxSizeMB && connection->usedBytes() > static_cast<std::int64_t>(options.maxSizeMB << 20)) {
                    std::optional<Time> polls = connection->stepEnd("polls"), events = connection->stepEnd("events");
                    if (polls || events) cutoff = std::max(cutoff, std::min(polls.value_or(maxTime), events.value_or(maxTime)));
                }
                deleted = connection->oldest() < cutoff ? connection->deleteBefore(cutoff) : 0;
            } while (deleted > 0 && Clock::now() < deadline);
        } catch (const SQLite::Exception& e) {
            fail(e.what());
        }
    }

    void reportDrops() {
        std::uint64_t dropped = rowsDropped;
        if (dropped != droppedSeen && !dropping)
            log("history: the write queue is full (" + std::to_string(options.queueLimit) +
                " rows); rows are dropped and counted as write errors until it drains");
        dropping = dropped != droppedSeen;
        droppedSeen = dropped;
    }

    void run() {
        std::vector<Item> batch;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait_until(lock, Clock::now() + commitInterval,
                            [this] { return stopping || flushWanted != flushDone; });
            batch.swap(queue);
            const std::uint64_t flushTarget = flushWanted;
            const bool last = stopping;
            lock.unlock();
            write(batch);
            batch.clear();
            retain();
            reportDrops();
            lock.lock();
            flushDone = flushTarget;
            flushed.notify_all();
            if (last && queue.empty()) return;
        }
    }

    void push(Item&& item) {
        std::lock_guard<std::mutex> lock(mutex);
        if (queue.size() >= options.queueLimit) {
            ++rowsDropped;
            return;
        }
        queue.push_back(std::move(item));
    }
};

Writer::Writer(const std::string& path, WriterOptions options) : impl(std::make_unique<Impl>()) {
    impl->path = path;
    impl->options = std::move(options);
    impl->connect();
    impl->thread = std::thread([this] { impl->run(); });
}

Writer::~Writer() {
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->stopping = true;
    }
    impl->wake.notify_one();
    impl->thread.join();
}

void Writer::appendPoll(Time time, Verdict verdict, const Moorwinch::systemStatus& status) {
    impl->push(PollItem{time, verdict, status});
}

void Writer::appendEvent(Time time, const std::string& kind, const std::string& message, const json& data) {
    impl->push(EventItem{time, kind, message, data});
}

void Writer::appendDetails(Time time, const Moorwinch::systemDetails& details) {
    impl->push(DetailsItem{time, details});
}

void Writer::appendConfig(Time time, const Moorwinch::systemConfig& config) { impl->push(ConfigItem{time, config}); }

void Writer::flush() {
    std::unique_lock<std::mutex> lock(impl->mutex);
    const std::uint64_t ticket = ++impl->flushWanted;
    impl->wake.notify_one();
    impl->flushed.wait(lock, [&] { return impl->flushDone >= ticket; });
}

std::uint64_t Writer::written() const { return impl->rowsWritten; }

std::uint64_t Writer::writeErrors() const { return impl->rowsFailed + impl->rowsDropped; }

}  // namespace MoorwinchHistory
}  // namespace KORVANE
