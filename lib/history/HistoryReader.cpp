// Reading a history file: ranges of polls raw or in buckets, events, the
// latest details and configuration, and every poll in order for a replay.
#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>

#include <SQLiteCpp/Column.h>
#include <SQLiteCpp/Statement.h>
#include <SQLiteCpp/Transaction.h>

#include "HistoryFile.h"

namespace KORVANE {
namespace MoorwinchHistory {

struct Reader::Impl {
    std::string path;
    std::mutex mutex;  // one question at a time on the connection
    std::unique_ptr<SQLite::Database> db;

    // Runs a question on one snapshot of the file (its count and its rows
    // agree while a writer appends); a failure of the file is a FileError
    // naming it.
    template <class F>
    auto ask(F&& question) {
        std::lock_guard<std::mutex> lock(mutex);
        try {
            SQLite::Transaction snapshot(*db);
            auto answer = question(*db);
            snapshot.commit();
            return answer;
        } catch (const SQLite::Exception& e) {
            throw file::failure(path, std::string("cannot read: ") + e.what());
        }
    }
};

namespace {

// A replay reads this many polls per statement, so that no read transaction
// stays open for long (an open one holds back the writer's checkpoints).
constexpr int cursorChunk = 1000;
// Texts longer than these are not read from a file (only a damaged or
// foreign file has them).
constexpr int maxMessage = 4096;
constexpr int maxData = 16384;
// The texts of one events answer together: the service's events are a few
// hundred bytes each, so only a damaged or crafted file comes near it.
constexpr std::size_t maxEventBytes = 64u << 20;

std::optional<double> number(const SQLite::Column& column) {
    const int type = column.getType();
    if (type == SQLite::INTEGER || type == SQLite::FLOAT) return column.getDouble();
    return std::nullopt;
}

std::string selectPolls(const FieldSet& fields) {
    std::string sql = "SELECT time, verdict";
    for (std::size_t i = 0; i < fields.size(); ++i) sql += std::string(", \"") + fields.name(i) + "\"";
    return sql + " FROM polls WHERE time BETWEEN ?1 AND ?2 ORDER BY time";
}

// A mean to 15 significant digits, as much as a double holds of a decimal: the
// sum's rounding (0.15000000000000002 for 0.1 and 0.2) is no part of the data
// and would show in every export.
double meanOf(double sum, std::size_t count) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", sum / static_cast<double>(count));
    return std::strtod(text, nullptr);
}

QueryError tooMany(const char* what, const char* remedy) {
    return QueryError(std::string("more than ") + std::to_string(answerLimit) + " " + what +
                      " in the range (the limit of one answer): " + remedy);
}

void checkRange(Time& since, Time& until) {
    since = std::max(since, minTime);
    until = std::min(until, maxTime);
    if (since > until) throw QueryError("since (" + formatTime(since) + ") is after until (" + formatTime(until) + ")");
}

// Rows of the table in [since, until], counted up to answerLimit + 1.
std::size_t countUpTo(SQLite::Database& db, const char* table, Time since, Time until) {
    SQLite::Statement count(
        db, std::string("SELECT count(*) FROM (SELECT 1 FROM ") + table + " WHERE time BETWEEN ?1 AND ?2 LIMIT ?3)");
    count.bind(1, since);
    count.bind(2, until);
    count.bind(3, static_cast<std::int64_t>(answerLimit + 1));
    count.executeStep();
    return static_cast<std::size_t>(count.getColumn(0).getInt64());
}

// Buckets that hold polls, counted up to answerLimit + 1: cheap bounds first,
// then one look-up per bucket (from each poll found to the next bucket).
std::size_t bucketsUpTo(SQLite::Database& db, Time since, Time until, Time step) {
    if (countUpTo(db, "polls", since, until) <= answerLimit) return 0;
    if ((until - since) / step < static_cast<Time>(answerLimit)) return 0;
    SQLite::Statement first(db, "SELECT time FROM polls WHERE time BETWEEN ?1 AND ?2 ORDER BY time LIMIT 1");
    first.bind(2, until);
    std::size_t count = 0;
    for (Time from = since; count <= answerLimit; ++count) {
        first.reset();
        first.bind(1, from);
        if (!first.executeStep()) break;
        const Time index = (first.getColumn(0).getInt64() - since) / step + 1;
        if (index > (until - since) / step) return count + 1;
        from = since + index * step;
    }
    return count;
}

// A column of polls as the JSON mapping would hold it, so that fromJson turns
// it into the member with its own rules; nullopt where it holds nothing usable.
std::optional<json> memberJson(const file::Member& m, const SQLite::Column& column) {
    if (column.isInteger()) {
        std::int64_t v = column.getInt64();
        if (m.f32) return static_cast<double>(v);
        if (m.u32 && v >= 0 && v <= std::numeric_limits<std::uint32_t>::max()) return static_cast<std::uint64_t>(v);
        if (m.i32 && v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max())
            return v;
    } else if (column.isFloat() && m.f32) {
        double v = column.getDouble();
        if (std::abs(v) <= FLT_MAX) return v;
    }
    return std::nullopt;
}

template <class R>
std::optional<std::pair<Time, R>> latestRecord(SQLite::Database& db, const char* kind, Time at) {
    SQLite::Statement latest(db, "SELECT time, CASE WHEN length(data) <= " + std::to_string(maxData) +
                                     " THEN data END FROM records WHERE kind = ?1 AND time <= ?2 "
                                     "ORDER BY time DESC LIMIT 1");
    latest.bind(1, kind);
    latest.bind(2, at);
    if (!latest.executeStep()) return std::nullopt;
    R record;
    MoorwinchJson::fromJson(json::parse(latest.getColumn(1).getText(), nullptr, false), record);
    return std::make_pair(latest.getColumn(0).getInt64(), record);
}

}  // namespace

Reader::Reader(const std::string& path) : impl(std::make_shared<Impl>()) {
    impl->path = path;
    impl->db = file::open(path, file::Access::read);
}

Reader::~Reader() = default;
Reader::Reader(Reader&&) noexcept = default;
Reader& Reader::operator=(Reader&&) noexcept = default;

std::vector<Row> Reader::rows(Time since, Time until, const FieldSet& fields) const {
    checkRange(since, until);
    return impl->ask([&](SQLite::Database& db) {
        std::size_t count = countUpTo(db, "polls", since, until);
        if (count > answerLimit) throw tooMany("rows", "narrow the range or give a step");
        std::vector<Row> rows;
        rows.reserve(count);
        SQLite::Statement select(db, selectPolls(fields));
        select.bind(1, since);
        select.bind(2, until);
        while (select.executeStep()) {
            Row row;
            row.time = select.getColumn(0).getInt64();
            row.verdict = file::verdictOf(select.getColumn(1).getInt64());
            row.values.reserve(fields.size());
            for (std::size_t i = 0; i < fields.size(); ++i)
                row.values.push_back(number(select.getColumn(static_cast<int>(i) + 2)));
            rows.push_back(std::move(row));
        }
        return rows;
    });
}

std::vector<Bucket> Reader::buckets(Time since, Time until, const FieldSet& fields, Time step) const {
    if (step <= 0) throw QueryError("step must be positive");
    checkRange(since, until);
    return impl->ask([&](SQLite::Database& db) {
        if (bucketsUpTo(db, since, until, step) > answerLimit)
            throw tooMany("buckets", "give a larger step or narrow the range");
        struct Sum {
            double min = 0, max = 0, sum = 0;
            std::size_t count = 0;
        };
        std::vector<Bucket> buckets;
        std::vector<Sum> sums(fields.size());
        int worst = 0;
        Time current = -1;
        auto close = [&]() {
            if (current < 0) return;
            Bucket bucket;
            bucket.time = since + current * step;
            bucket.verdict = file::verdictOf(worst);
            for (Sum& s : sums) {
                bucket.values.push_back(s.count ? std::optional<Stats>(Stats{s.min, s.max, meanOf(s.sum, s.count)})
                                                : std::nullopt);
                s = Sum();
            }
            buckets.push_back(std::move(bucket));
            worst = 0;
        };
        SQLite::Statement select(db, selectPolls(fields));
        select.bind(1, since);
        select.bind(2, until);
        while (select.executeStep()) {
            Time index = (select.getColumn(0).getInt64() - since) / step;
            if (index != current) close(), current = index;
            worst = std::max(worst, file::verdictCode(file::verdictOf(select.getColumn(1).getInt64())));
            for (std::size_t i = 0; i < fields.size(); ++i) {
                std::optional<double> v = number(select.getColumn(static_cast<int>(i) + 2));
                if (!v) continue;
                Sum& s = sums[i];
                s.min = s.count ? std::min(s.min, *v) : *v;
                s.max = s.count ? std::max(s.max, *v) : *v;
                s.sum += *v;
                ++s.count;
            }
        }
        close();
        return buckets;
    });
}

std::vector<Event> Reader::events(Time since, Time until) const {
    checkRange(since, until);
    return impl->ask([&](SQLite::Database& db) {
        if (countUpTo(db, "events", since, until) > answerLimit) throw tooMany("events", "narrow the range");
        SQLite::Statement select(db, "SELECT time, substr(kind, 1, 64), substr(message, 1, " + std::to_string(maxMessage) +
                                         "), CASE WHEN length(data) <= " + std::to_string(maxData) +
                                         " THEN data END FROM events WHERE time BETWEEN ?1 AND ?2 ORDER BY time, id");
        select.bind(1, since);
        select.bind(2, until);
        std::vector<Event> events;
        std::size_t bytes = 0;
        while (select.executeStep()) {
            Event event;
            event.time = select.getColumn(0).getInt64();
            event.kind = select.getColumn(1).getString();
            event.message = select.getColumn(2).getString();
            bytes += event.kind.size() + event.message.size() + static_cast<std::size_t>(select.getColumn(3).getBytes());
            if (bytes > maxEventBytes)
                throw QueryError("the events in the range hold more than " + std::to_string(maxEventBytes >> 20) +
                                 " MiB of text (the limit of one answer): narrow the range");
            event.data = json::parse(select.getColumn(3).getText(), nullptr, false);
            if (!event.data.is_object()) event.data = nullptr;
            events.push_back(std::move(event));
        }
        return events;
    });
}

std::optional<DetailsRecord> Reader::details(Time at) const {
    auto found =
        impl->ask([&](SQLite::Database& db) { return latestRecord<Moorwinch::systemDetails>(db, "details", at); });
    if (!found) return std::nullopt;
    return DetailsRecord{found->first, found->second};
}

std::optional<ConfigRecord> Reader::config(Time at) const {
    auto found =
        impl->ask([&](SQLite::Database& db) { return latestRecord<Moorwinch::systemConfig>(db, "config", at); });
    if (!found) return std::nullopt;
    return ConfigRecord{found->first, found->second};
}

struct PollCursor::Impl {
    std::shared_ptr<Reader::Impl> reader;
    Time next = minTime;  // the time the next chunk starts at
    std::vector<Poll> chunk;
    std::size_t at = 0;
    bool last = false;  // the chunk held is the last one

    void fetch() {
        chunk.clear();
        at = 0;
        reader->ask([this](SQLite::Database& db) {
            SQLite::Statement select(
                db, "SELECT " + file::pollColumns() + " FROM polls WHERE time >= ?1 ORDER BY time LIMIT ?2");
            select.bind(1, next);
            select.bind(2, cursorChunk);
            const auto& members = file::members();
            while (select.executeStep()) {
                Poll poll;
                poll.time = select.getColumn(0).getInt64();
                poll.verdict = file::verdictOf(select.getColumn(1).getInt64());
                json object = json::object();
                for (std::size_t m = 0; m < members.size(); ++m) {
                    if (auto value =
                            memberJson(members[m], select.getColumn(static_cast<int>(m) + file::firstMemberColumn)))
                        object[members[m].key] = std::move(*value);
                }
                MoorwinchJson::fromJson(object, poll.status);
                chunk.push_back(std::move(poll));
            }
            return 0;
        });
        last = chunk.size() < static_cast<std::size_t>(cursorChunk);
        if (!chunk.empty()) next = chunk.back().time + 1;
    }
};

PollCursor::PollCursor(std::unique_ptr<Impl> i) : impl(std::move(i)) {}
PollCursor::~PollCursor() = default;
PollCursor::PollCursor(PollCursor&&) noexcept = default;
PollCursor& PollCursor::operator=(PollCursor&&) noexcept = default;

bool PollCursor::next(Poll& poll) {
    if (impl->at == impl->chunk.size()) {
        if (impl->last) return false;
        impl->fetch();
        if (impl->chunk.empty()) return false;
    }
    poll = impl->chunk[impl->at++];
    return true;
}

PollCursor Reader::polls(Time since) const {
    auto cursor = std::make_unique<PollCursor::Impl>();
    cursor->reader = impl;
    cursor->next = std::max(since, minTime);
    return PollCursor(std::move(cursor));
}

}  // namespace MoorwinchHistory
}  // namespace KORVANE
