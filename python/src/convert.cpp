// Python objects for the JSON mapping, and captured failures raised as the
// module's exceptions with the library's detail.
#include <Python.h>

#include <cerrno>

#include "binding.h"

namespace moorwinch_python {

Types& types() {
    static Types* const held = new Types();
    return *held;
}

namespace {
py::str text(const std::string& value) {
    // Never fails: a byte that is not UTF-8 becomes U+FFFD.
    PyObject* decoded = PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
    if (!decoded) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

// The errno of an I/O failure: the failed system call's, else the one that
// names the condition, so that except FileNotFoundError or TimeoutError works.
// A port in use is EBUSY also when its lock said so (EWOULDBLOCK): it is not
// a BlockingIOError.
int errorNumber(const KORVANE::errorDetail& detail) {
    using KORVANE::errorKind;
    if (detail.kind == errorKind::portInUse) return EBUSY;
    if (detail.systemError != 0) return detail.systemError;
    switch (detail.kind) {
        case errorKind::portMissing: return ENOENT;
        case errorKind::portDenied: return EACCES;
        case errorKind::timeout:
        case errorKind::busy: return ETIMEDOUT;  // the reply wait or the exchange lock wait ran out
        default: return 0;
    }
}

// StationIOError, or the class that is both it and the OSError subclass Python
// picks for the errno; made once per subclass.
py::object ioErrorClass(const py::object& errorNumber) {
    Types& t = types();
    if (errorNumber.is_none()) return t.ioError;
    const py::object builtin = py::reinterpret_borrow<py::object>(PyExc_OSError);
    const py::handle picked = py::type::handle_of(builtin(errorNumber, ""));
    if (picked.is(builtin)) return t.ioError;
    if (t.ioErrorFor.contains(picked)) return t.ioErrorFor[picked];
    const py::tuple bases = py::make_tuple(t.ioError, picked);
    PyObject* made = PyErr_NewExceptionWithDoc("moorwinch.StationIOError", nullptr, bases.ptr(), nullptr);
    if (!made) throw py::error_already_set();
    py::object cls = py::reinterpret_steal<py::object>(made);
    cls.attr("__doc__") = t.ioError.attr("__doc__");
    t.ioErrorFor[picked] = cls;
    return cls;
}
}  // namespace

py::object makeIOError(const py::tuple& args, const py::object& errorNumber, const py::object& port) {
    py::object error = ioErrorClass(errorNumber)(*args);
    if (!errorNumber.is_none()) {
        error.attr("errno") = errorNumber;
        error.attr("strerror") = py::module_::import("os").attr("strerror")(errorNumber);
    }
    if (!port.is_none()) error.attr("filename") = port;
    return error;
}

void raise(const Failure& failure) {
    if (failure.type == Failure::memory) {
        PyErr_NoMemory();
        throw py::error_already_set();
    }
    const Types& t = types();
    const KORVANE::errorDetail& detail = failure.detail;
    py::object error;
    if (failure.type == Failure::io) {
        const int number = errorNumber(detail);
        error = makeIOError(py::make_tuple(text(failure.text)), number ? py::object(py::int_(number)) : py::none(),
                            detail.port.empty() ? py::object(py::none()) : text(detail.port));
    } else {
        error = (failure.type == Failure::data ? t.dataError : t.valueError)(text(failure.text));
    }
    error.attr("kind") = t.errorKind.attr(KORVANE::errorKindName(detail.kind));
    if (detail.stationStatus >= 0) {
        error.attr("station_status") = detail.stationStatus;
        error.attr("station_message") = text(detail.stationMessage);
    }
    if (!detail.field.empty()) error.attr("field") = snakeCase(detail.field.c_str());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

void refuseValue(const std::string& text, const char* field) {
    Failure failure{Failure::value, "Value Exception: " + text, {}};
    failure.detail.kind = KORVANE::errorKind::valueOutOfRange;
    failure.detail.field = field;
    raise(failure);
}

py::object verdictOf(KORVANE::MoorwinchDefinitions::systemError verdict) {
    switch (verdict) {
        case KORVANE::MoorwinchDefinitions::statusError: return types().verdict.attr("ERROR");
        case KORVANE::MoorwinchDefinitions::statusWarning: return types().verdict.attr("WARNING");
        default: return types().verdict.attr("OK");
    }
}

py::object toPython(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::boolean: return py::bool_(value.get<bool>());
        case nlohmann::json::value_t::number_integer: return py::int_(value.get<std::int64_t>());
        case nlohmann::json::value_t::number_unsigned: return py::int_(value.get<std::uint64_t>());
        case nlohmann::json::value_t::number_float: return py::float_(value.get<double>());
        case nlohmann::json::value_t::string: return text(value.get_ref<const std::string&>());
        case nlohmann::json::value_t::array: {
            py::list list;
            for (const auto& item : value) list.append(toPython(item));
            return std::move(list);
        }
        case nlohmann::json::value_t::object: {
            py::dict dict;
            for (auto it = value.begin(); it != value.end(); ++it) dict[text(it.key())] = toPython(it.value());
            return std::move(dict);
        }
        default: return py::none();
    }
}

// Scalars only: anything else arrives as an empty array, a value of the wrong
// type, which the mapping skips.
nlohmann::json fromPython(const py::handle& object) {
    if (object.is_none()) return nullptr;
    if (PyBool_Check(object.ptr())) return object.cast<bool>();
    if (PyLong_Check(object.ptr())) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(object.ptr(), &overflow);
        // Non-negative as unsigned, as a JSON parser reads them: the mapping
        // takes unsigned members only from unsigned numbers.
        if (overflow == 0) return value >= 0 ? nlohmann::json(static_cast<unsigned long long>(value)) : nlohmann::json(value);
        if (overflow > 0) {
            const unsigned long long big = PyLong_AsUnsignedLongLong(object.ptr());
            if (!PyErr_Occurred()) return big;
            PyErr_Clear();
        }
        const double approximate = PyLong_AsDouble(object.ptr());
        if (!PyErr_Occurred()) return approximate;
        PyErr_Clear();
        return nlohmann::json::array();
    }
    if (PyFloat_Check(object.ptr())) return object.cast<double>();
    if (PyUnicode_Check(object.ptr())) return object.cast<std::string>();
    if (PyDict_Check(object.ptr())) {
        nlohmann::json result = nlohmann::json::object();
        for (auto item : py::reinterpret_borrow<py::dict>(object)) {
            if (!PyUnicode_Check(item.first.ptr())) continue;
            const py::handle value = item.second;
            const bool scalar = value.is_none() || PyBool_Check(value.ptr()) || PyLong_Check(value.ptr()) ||
                                PyFloat_Check(value.ptr()) || PyUnicode_Check(value.ptr());
            result[item.first.cast<std::string>()] = scalar ? fromPython(value) : nlohmann::json::array();
        }
        return result;
    }
    return nlohmann::json::array();
}

}  // namespace moorwinch_python
