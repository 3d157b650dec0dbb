// moorwinch._history: a history file read through the history library, as rows
// of Python objects or as columns of machine numbers for numpy (the package's
// history() picks). The file is read with the GIL released.
#include <Python.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <MoorwinchHistory.h>

#include "binding.h"

namespace moorwinch_python {
namespace {

namespace h = KORVANE::MoorwinchHistory;

constexpr double maxStepSeconds = 10 * 366 * 86400.0;  // as the tool and the service

[[noreturn]] void raiseHistory(const py::object& type, const std::string& text, const char* field) {
    py::object error = type(py::str(text));
    if (field) error.attr("field") = field;
    PyErr_SetObject(type.ptr(), error.ptr());
    throw py::error_already_set();
}

[[noreturn]] void refuseQuery(const std::string& text, const char* field) {
    raiseHistory(types().historyQueryError, text, field);
}

// None (every member), or names of status members; a single text would be
// taken letter by letter.
std::vector<std::string> fieldsArgument(const py::handle& value) {
    std::vector<std::string> names;
    if (value.is_none()) return names;
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || !py::isinstance<py::iterable>(value))
        throw py::type_error("fields: a list of member names, such as ['cableLength', 'mainsCurrent']");
    for (const py::handle name : value) {
        if (!PyUnicode_Check(name.ptr())) throw py::type_error("fields: every name is a str");
        names.push_back(name.cast<std::string>());
        if (names.size() > 1000) break;  // more than there are members: the set refuses them
    }
    return names;
}

// An int or a float (never a bool) as a double; an int beyond a double's
// range as infinity, which every bound refuses.
std::optional<double> secondsOf(const py::handle& value) {
    if (PyBool_Check(value.ptr()) || !(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()))) return std::nullopt;
    const double seconds = PyFloat_AsDouble(value.ptr());
    if (!PyErr_Occurred()) return seconds;
    PyErr_Clear();
    return HUGE_VAL;
}

// None, a WHEN text as the tool takes it, or Unix seconds (the package turns a
// datetime into these).
h::Time timeArgument(const py::handle& value, const char* name, h::Time now, h::Time absent) {
    try {
        if (value.is_none()) return absent;
        if (PyUnicode_Check(value.ptr())) return h::parseTime(value.cast<std::string>(), now);
        if (const std::optional<double> seconds = secondsOf(value)) return h::fromSeconds(*seconds);
    } catch (const h::QueryError& e) {
        refuseQuery(std::string(name) + ": " + e.what(), name);
    }
    throw py::type_error(std::string(name) + ": a time is a str, an int or float of Unix seconds, or a datetime");
}

// None, or seconds (the package turns a timedelta into these).
std::optional<h::Time> stepArgument(const py::handle& value) {
    if (value.is_none()) return std::nullopt;
    const std::optional<double> given = secondsOf(value);
    if (!given) throw py::type_error("step: seconds as an int or float, or a timedelta");
    const double seconds = *given;
    if (!(seconds > 0 && seconds <= maxStepSeconds))
        refuseQuery("step: out of range. Valid step: more than 0 s, at most " +
                        std::to_string(static_cast<long>(maxStepSeconds)) + " s",
                    "step");
    return std::max<h::Time>(1, std::llround(seconds * static_cast<double>(h::microsecondsPerSecond)));
}

std::int8_t verdictNumber(h::Verdict verdict) {
    switch (verdict) {
        case KORVANE::MoorwinchDefinitions::statusError: return 2;
        case KORVANE::MoorwinchDefinitions::statusWarning: return 1;
        default: return 0;
    }
}

py::object timeValue(h::Time time) { return types().epoch + types().timedelta(py::arg("microseconds") = time); }

// A value as the JSON rows have it: an int for integer members, else a float.
py::object number(const std::optional<double>& value, bool integer) {
    if (!value) return py::none();
    if (integer) return py::int_(static_cast<long long>(std::llround(*value)));
    return py::float_(*value);
}

// Numbers of one column, as numpy's frombuffer reads them.
class Column {
public:
    Column(const char* dtype, std::size_t size) : type(dtype) { bytes.reserve(size); }
    template <class T>
    void add(T value) {
        const std::size_t at = bytes.size();
        bytes.resize(at + sizeof value);
        std::memcpy(&bytes[at], &value, sizeof value);
    }
    void add(const std::optional<double>& value) { add(value ? *value : std::nan("")); }
    py::tuple take() const { return py::make_tuple(type, py::bytes(bytes.data(), bytes.size())); }

private:
    const char* type;
    std::string bytes;
};

template <class Item>
void timesAndVerdicts(const std::vector<Item>& items, py::dict& columns) {
    Column times("datetime64[us]", items.size() * 8), verdicts("int8", items.size());
    for (const Item& item : items) {
        times.add(static_cast<std::int64_t>(item.time));
        verdicts.add(verdictNumber(item.verdict));
    }
    columns["time"] = times.take();
    columns["verdict"] = verdicts.take();
}

py::object rowsResult(const std::vector<h::Row>& rows, const h::FieldSet& fields, bool asColumns) {
    if (asColumns) {
        py::dict columns;
        timesAndVerdicts(rows, columns);
        for (std::size_t i = 0; i < fields.size(); ++i) {
            Column values("float64", rows.size() * 8);
            for (const h::Row& row : rows) values.add(row.values[i]);
            columns[fields.name(i)] = values.take();
        }
        return std::move(columns);
    }
    std::vector<py::str> names;
    for (std::size_t i = 0; i < fields.size(); ++i) names.emplace_back(fields.name(i));
    py::list list;
    for (const h::Row& row : rows) {
        py::dict item;
        item["time"] = timeValue(row.time);
        item["verdict"] = verdictOf(row.verdict);
        for (std::size_t i = 0; i < fields.size(); ++i) item[names[i]] = number(row.values[i], fields.isInteger(i));
        list.append(std::move(item));
    }
    return std::move(list);
}

py::object bucketsResult(const std::vector<h::Bucket>& buckets, const h::FieldSet& fields, bool asColumns) {
    static const char* const stats[] = {"min", "max", "mean"};
    const auto stat = [](const std::optional<h::Stats>& s, int which) -> std::optional<double> {
        if (!s) return std::nullopt;
        return which == 0 ? s->min : which == 1 ? s->max : s->mean;
    };
    if (asColumns) {
        py::dict columns;
        timesAndVerdicts(buckets, columns);
        for (std::size_t i = 0; i < fields.size(); ++i)
            for (int which = 0; which < 3; ++which) {
                Column values("float64", buckets.size() * 8);
                for (const h::Bucket& bucket : buckets) values.add(stat(bucket.values[i], which));
                columns[py::str(std::string(fields.name(i)) + "_" + stats[which])] = values.take();
            }
        return std::move(columns);
    }
    py::list list;
    for (const h::Bucket& bucket : buckets) {
        py::dict item;
        item["time"] = timeValue(bucket.time);
        item["verdict"] = verdictOf(bucket.verdict);
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const bool integer = fields.isInteger(i);
            py::dict s;
            s["min"] = number(stat(bucket.values[i], 0), integer);
            s["max"] = number(stat(bucket.values[i], 1), integer);
            s["mean"] = number(stat(bucket.values[i], 2), false);
            item[fields.name(i)] = std::move(s);
        }
        list.append(std::move(item));
    }
    return std::move(list);
}

py::object history(const std::string& path, const py::object& since, const py::object& until,
                   const py::object& names, const py::object& step, bool asColumns) {
    const h::Time now = h::now();
    const h::Time end = timeArgument(until, "until", now, now);
    const h::Time start = timeArgument(since, "since", now, std::max(h::minTime, end - 3600 * h::microsecondsPerSecond));
    const std::optional<h::Time> width = stepArgument(step);
    std::optional<h::FieldSet> fields;
    try {
        fields.emplace(fieldsArgument(names));
    } catch (const h::QueryError& e) {
        refuseQuery(std::string("fields: ") + e.what(), "fields");
    }

    std::vector<h::Row> rows;
    std::vector<h::Bucket> buckets;
    std::string problem;
    bool query = false;
    {
        py::gil_scoped_release release;
        try {
            const h::Reader reader(path);
            if (width)
                buckets = reader.buckets(start, end, *fields, *width);
            else
                rows = reader.rows(start, end, *fields);
        } catch (const h::QueryError& e) {
            problem = e.what();
            query = true;
        } catch (const h::FileError& e) {
            problem = e.what();
        }
    }
    if (!problem.empty()) raiseHistory(query ? types().historyQueryError : types().historyError, problem, nullptr);
    return width ? bucketsResult(buckets, *fields, asColumns) : rowsResult(rows, *fields, asColumns);
}

}  // namespace

void bindHistory(py::module_& m) {
    m.def("_history", &history, py::arg("path"), py::arg("since"), py::arg("until"), py::arg("fields"),
          py::arg("step"), py::arg("columns"),
          "The rows or buckets of a history file: a list of dicts, or with columns a dict\n"
          "of (numpy dtype, bytes) per key. Use moorwinch.history().");
}

}  // namespace moorwinch_python
