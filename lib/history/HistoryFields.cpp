// The chosen fields of a question and the JSON of its answers.
#include <cmath>
#include <cstring>

#include "HistoryFile.h"

namespace KORVANE {
namespace MoorwinchHistory {

namespace {

json timeJson(Time time) {
    if (time % microsecondsPerSecond == 0) return time / microsecondsPerSecond;
    return toSeconds(time);
}

json valueJson(const std::optional<double>& value, bool integer) {
    if (!value) return nullptr;
    if (integer) return static_cast<std::int64_t>(std::llround(*value));
    return *value;
}

}  // namespace

FieldSet::FieldSet() : members(file::members().size()) {
    for (std::size_t i = 0; i < members.size(); ++i) members[i] = i;
}

FieldSet::FieldSet(const std::vector<std::string>& names) {
    if (names.empty()) {
        *this = FieldSet();
        return;
    }
    const auto& all = file::members();
    for (const std::string& name : names) {
        std::size_t m = 0;
        while (m < all.size() && name != all[m].key) ++m;
        if (m == all.size()) throw QueryError("unknown field '" + name + "' (fields are the members of the status record, such as cableLength)");
        for (std::size_t chosen : members)
            if (chosen == m) throw QueryError("field '" + name + "' is named twice");
        members.push_back(m);
    }
}

const char* FieldSet::name(std::size_t i) const { return file::members()[members[i]].key; }

bool FieldSet::isInteger(std::size_t i) const { return file::members()[members[i]].f32 == nullptr; }

std::vector<std::string> FieldSet::names() const {
    std::vector<std::string> result;
    for (std::size_t i = 0; i < size(); ++i) result.emplace_back(name(i));
    return result;
}

json toJson(const Row& row, const FieldSet& fields) {
    json object = {{"time", timeJson(row.time)}, {"verdict", MoorwinchJson::verdictName(row.verdict)}};
    for (std::size_t i = 0; i < fields.size(); ++i) object[fields.name(i)] = valueJson(row.values[i], fields.isInteger(i));
    return object;
}

json toJson(const Bucket& bucket, const FieldSet& fields) {
    json object = {{"time", timeJson(bucket.time)}, {"verdict", MoorwinchJson::verdictName(bucket.verdict)}};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::optional<Stats>& stats = bucket.values[i];
        bool integer = fields.isInteger(i);
        object[fields.name(i)] = {
            {"min", stats ? valueJson(stats->min, integer) : json()},
            {"max", stats ? valueJson(stats->max, integer) : json()},
            {"mean", stats ? json(stats->mean) : json()},
        };
    }
    return object;
}

json toJson(const Event& event) {
    return {{"time", timeJson(event.time)}, {"kind", event.kind}, {"message", event.message}, {"data", event.data}};
}

}  // namespace MoorwinchHistory
}  // namespace KORVANE
