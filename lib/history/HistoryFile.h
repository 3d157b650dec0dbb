// The history file's layout, shared by the writer and the reader: the columns
// (the JSON mapping's table of systemStatus members), opening with the checks
// of application and version, creating the tables, the verdict codes.
#ifndef KORVANE_MOORWINCH_HISTORY_FILE_H
#define KORVANE_MOORWINCH_HISTORY_FILE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <SQLiteCpp/Database.h>

#include "MoorwinchHistory.h"

namespace KORVANE {
namespace MoorwinchHistory {
namespace file {

using Member = MoorwinchJson::detail::Field<Moorwinch::systemStatus>;

// The members of systemStatus in the record's order; polls has time, verdict,
// then one column for each, in this order.
const std::vector<Member>& members();
constexpr int firstMemberColumn = 2;

// "time", "verdict", "cab", ... quoted for SQL, joined by commas.
std::string pollColumns();

// Verdicts are stored by rank, so that the worst is the largest.
int verdictCode(Verdict verdict);
Verdict verdictOf(std::int64_t code);

enum class Access { read, write };

// Opens the file. Reading: it must exist and be a history file of this
// version. Writing: created when new (or empty), checked otherwise, and the
// connection set up (WAL, synchronous FULL). FileError when the file is
// refused; SQLite::Exception when it cannot be opened or written (the writer
// counts those and tries again).
std::unique_ptr<SQLite::Database> open(const std::string& path, Access access);

// A FileError naming the file.
FileError failure(const std::string& path, const std::string& what);

}  // namespace file
}  // namespace MoorwinchHistory
}  // namespace KORVANE

#endif
