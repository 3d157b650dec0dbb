// Opening a history file: the checks of application and version, the tables of
// a new file, the connection's settings.
#include "HistoryFile.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>

#include <SQLiteCpp/Statement.h>
#include <SQLiteCpp/Transaction.h>

namespace KORVANE {
namespace MoorwinchHistory {
namespace file {

namespace {

constexpr std::int64_t applicationId = 0x4D4F4857;  // "MOHW"
constexpr std::int64_t schemaVersion = 1;
// A reader waits this long for a writer's lock (only WAL recovery takes one);
// the writer waits longer, on its own thread.
constexpr int readerBusyMs = 1000;
constexpr int writerBusyMs = 5000;
// The WAL is cut back to this size after a checkpoint.
constexpr int walSizeLimit = 4 << 20;

std::string createTables() {
    std::string polls = "CREATE TABLE polls(time INTEGER PRIMARY KEY, verdict INTEGER NOT NULL";
    for (const Member& m : members()) polls += std::string(", \"") + m.key + (m.f32 ? "\" REAL" : "\" INTEGER");
    polls += ");";
    return polls +
           "CREATE TABLE events(id INTEGER PRIMARY KEY, time INTEGER NOT NULL, kind TEXT NOT NULL, message TEXT, "
           "data TEXT);"
           "CREATE INDEX events_time ON events(time);"
           "CREATE TABLE records(time INTEGER PRIMARY KEY, kind TEXT NOT NULL, data TEXT NOT NULL);"
           "PRAGMA application_id=" +
           std::to_string(applicationId) + ";PRAGMA user_version=" + std::to_string(schemaVersion) + ";";
}

enum class State { history, empty };

// What the file holds; FileError when it is not ours or not this version.
State check(SQLite::Database& db, const std::string& path) {
    std::int64_t application = db.execAndGet("PRAGMA application_id").getInt64();
    std::int64_t version = db.execAndGet("PRAGMA user_version").getInt64();
    if (application == 0 && version == 0 && db.execAndGet("SELECT count(*) FROM sqlite_schema").getInt64() == 0)
        return State::empty;
    if (application != applicationId) {
        char text[64];
        std::snprintf(text, sizeof text, "not a moorwinch history file (application_id 0x%08llx)",
                      static_cast<unsigned long long>(application & 0xffffffff));
        throw failure(path, text);
    }
    if (version != schemaVersion)
        throw failure(path, "history file version " + std::to_string(version) + "; this program reads version " +
                                std::to_string(schemaVersion));
    return State::history;
}

// SQLite's own word that the file is not a database (or a damaged one) is a
// refusal like a foreign application_id, not a passing failure.
bool refused(const SQLite::Exception& e) {
    return e.getErrorCode() == SQLITE_NOTADB || e.getErrorCode() == SQLITE_CORRUPT;
}

// A URI that opens the file as one that nobody writes: no locks, no WAL.
std::string immutableUri(const std::string& path) {
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            uri += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            uri += hex;
        }
    }
    return uri + "?immutable=1";
}

std::unique_ptr<SQLite::Database> openForReading(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) throw failure(path, "no such file");
    auto checked = [&path](std::unique_ptr<SQLite::Database> db) {
        if (check(*db, path) == State::empty) throw failure(path, "not a moorwinch history file (empty)");
        return db;
    };
    try {
        return checked(
            std::make_unique<SQLite::Database>(path, SQLite::OPEN_READONLY | SQLite::OPEN_NOMUTEX, readerBusyMs));
    } catch (const SQLite::Exception& e) {
        // A WAL reader needs the shared-memory file, which a folder it may not
        // write does not let it make. Without a WAL the file alone is whole.
        if (e.getErrorCode() != SQLITE_CANTOPEN && e.getErrorCode() != SQLITE_READONLY) throw;
        const std::string wal = path + "-wal";
        if (::stat(wal.c_str(), &info) == 0 && info.st_size > 0)
            throw failure(path, std::string("cannot read: ") + e.what() + " (its newest rows are in " + wal +
                                    "; copy both files to a folder you may write)");
    }
    return checked(std::make_unique<SQLite::Database>(
        immutableUri(path), SQLite::OPEN_READONLY | SQLite::OPEN_URI | SQLite::OPEN_NOMUTEX, readerBusyMs));
}

std::unique_ptr<SQLite::Database> openForWriting(const std::string& path) {
    auto db = std::make_unique<SQLite::Database>(
        path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_NOMUTEX, writerBusyMs);
    if (check(*db, path) == State::empty) {
        db->exec("PRAGMA journal_mode=WAL");
        SQLite::Transaction transaction(*db, SQLite::TransactionBehavior::IMMEDIATE);
        // Another writer may have made it meanwhile.
        if (check(*db, path) == State::empty) db->exec(createTables());
        transaction.commit();
    }
    db->exec("PRAGMA journal_mode=WAL");
    // FULL: each commit (at least every half second) is on the disk when it
    // returns, so a power cut, not only a killed process, loses at most the
    // last second. The cost is one fsync a commit, on the writer's thread.
    db->exec("PRAGMA synchronous=FULL");
    db->exec("PRAGMA journal_size_limit=" + std::to_string(walSizeLimit));
    return db;
}

}  // namespace

const std::vector<Member>& members() { return MoorwinchJson::detail::fieldsOf<Moorwinch::systemStatus>(); }

std::string pollColumns() {
    std::string columns = "time, verdict";
    for (const Member& m : members()) columns += std::string(", \"") + m.key + "\"";
    return columns;
}

int verdictCode(Verdict verdict) {
    switch (verdict) {
        case MoorwinchDefinitions::statusWarning:
            return 1;
        case MoorwinchDefinitions::statusError:
            return 2;
        default:
            return 0;
    }
}

Verdict verdictOf(std::int64_t code) {
    switch (code) {
        case 0:
            return MoorwinchDefinitions::statusOk;
        case 1:
            return MoorwinchDefinitions::statusWarning;
        default:
            return MoorwinchDefinitions::statusError;
    }
}

std::unique_ptr<SQLite::Database> open(const std::string& path, Access access) {
    try {
        return access == Access::read ? openForReading(path) : openForWriting(path);
    } catch (const SQLite::Exception& e) {
        if (access == Access::read || refused(e))
            throw failure(path, refused(e) ? std::string("not a moorwinch history file (") + e.what() + ")"
                                           : std::string("cannot read: ") + e.what());
        throw;
    }
}

FileError failure(const std::string& path, const std::string& what) { return FileError(path + ": " + what); }

}  // namespace file
}  // namespace MoorwinchHistory
}  // namespace KORVANE
