// Shared pieces of the Python module: the Python-side types made at import, the
// conversion of the JSON mapping, and the one way a library call is made (GIL
// released, exceptions turned into the module's family).
#ifndef MOORWINCH_PYTHON_BINDING_H
#define MOORWINCH_PYTHON_BINDING_H

#include <climits>

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include <Moorwinch.h>
#include <nlohmann/json.hpp>

namespace moorwinch_python {

namespace py = pybind11;

// Classes made in Python at import. Never freed: objects held past the
// interpreter's end must not be released by static destructors.
struct Types {
    py::object error, ioError, dataError, valueError;
    py::object historyError, historyQueryError;
    py::dict ioErrorFor;  // the StationIOError that is also OSError's subclass for an errno, by that subclass
    py::object errorKind;
    py::object verdict, direction, health, port;
    py::object epoch, timedelta;  // for the trace's UTC time stamps
};
Types& types();

// A failure caught while the GIL was released, raised once it is held again.
struct Failure {
    enum Type { none, io, data, value, memory } type = none;
    std::string text;
    KORVANE::errorDetail detail;
};

// Sets the Python exception of a failure and throws error_already_set.
[[noreturn]] void raise(const Failure& failure);

// A StationIOError with the library's text, and the errno and the port where
// known: an instance of OSError's subclass for the errno too (FileNotFoundError
// for ENOENT, ...), str() still the text. Also rebuilds one from a pickle.
py::object makeIOError(const py::tuple& args, const py::object& errorNumber, const py::object& port);

// An argument refused by the module itself, as the library refuses its own.
[[noreturn]] void refuseValue(const std::string& text, const char* field);

// Runs call and records what it throws: the library's three exceptions with
// their detail, the standard library's conversion errors (a version text the
// station sent that is no number) as a malformed reply, anything else as an
// error of the port, since what remains comes from the serial library.
template <class F>
Failure capture(const char* operation, F&& call) {
    using KORVANE::errorKind;
    Failure failure;
    try {
        call();
    } catch (const KORVANE::IOException& e) {
        failure = {Failure::io, e.what(), e.detail()};
    } catch (const KORVANE::DataException& e) {
        failure = {Failure::data, e.what(), e.detail()};
    } catch (const KORVANE::ValueException& e) {
        failure = {Failure::value, e.what(), e.detail()};
    } catch (const std::invalid_argument& e) {
        failure = {Failure::data,
                   std::string("Data Exception: ") + operation + ": unreadable number from the station (" + e.what() +
                       ")",
                   {}};
        failure.detail.kind = errorKind::malformedReply;
    } catch (const std::out_of_range& e) {
        failure = {Failure::data,
                   std::string("Data Exception: ") + operation + ": number from the station out of range (" + e.what() +
                       ")",
                   {}};
        failure.detail.kind = errorKind::malformedReply;
    } catch (const std::bad_alloc&) {
        failure = {Failure::memory, {}, {}};
    } catch (const std::exception& e) {
        failure = {Failure::io, e.what(), {}};
        failure.detail.kind = errorKind::portError;
    }
    return failure;
}

// Runs call with the GIL released and raises its failure once the GIL is back.
template <class F>
void released(const char* operation, F&& call) {
    Failure failure;
    {
        py::gil_scoped_release release;
        failure = capture(operation, std::forward<F>(call));
    }
    if (failure.type != Failure::none) raise(failure);
}

// moorwinch.Verdict's member for the library's verdict.
py::object verdictOf(KORVANE::MoorwinchDefinitions::systemError verdict);

// "energyGS" -> "energy_gs": the Python name of a record member.
std::string snakeCase(const char* key);

// Numbers as arguments: an int or a float, never a bool. True is an int to
// Python, but set_torque(True) is a slip, not 1 %; refused like any other
// argument of the wrong type (TypeError).
struct Integer {
    long long value = 0;
};
struct Real {
    double value = 0;
};

// JSON of the mapping to Python objects and back (top level only: the mapping
// has no nested values).
py::object toPython(const nlohmann::json& value);
nlohmann::json fromPython(const py::handle& object);

// Named tuples of the module, typed so that signatures name them.
class HealthTuple : public py::tuple {
public:
    PYBIND11_OBJECT_DEFAULT(HealthTuple, py::tuple, PyTuple_Check)
};
class PortTuple : public py::tuple {
public:
    PYBIND11_OBJECT_DEFAULT(PortTuple, py::tuple, PyTuple_Check)
};

void bindRecords(py::module_& m);
void bindStation(py::module_& m);
void bindHistory(py::module_& m);

}  // namespace moorwinch_python

namespace pybind11 {
namespace detail {
template <>
struct handle_type_name<moorwinch_python::HealthTuple> {
    static constexpr auto name = const_name("moorwinch.Health");
};
template <>
struct handle_type_name<moorwinch_python::PortTuple> {
    static constexpr auto name = const_name("moorwinch.Port");
};

template <class T, class Number>
struct NoBoolCaster {
    PYBIND11_TYPE_CASTER(T, make_caster<Number>::name);
    bool load(handle source, bool convert) {
        if (!source || PyBool_Check(source.ptr())) return false;
        make_caster<Number> number;
        if (!number.load(source, convert)) return false;
        value.value = cast_op<Number>(number);
        return true;
    }
    static handle cast(const T& source, return_value_policy policy, handle parent) {
        return make_caster<Number>::cast(source.value, policy, parent);
    }
};
// An int beyond 64 bits is still an int: taken as the nearest 64-bit value,
// so that the setters refuse it as out of range (ValueError), not as a
// number of the wrong type.
template <>
struct type_caster<moorwinch_python::Integer> : NoBoolCaster<moorwinch_python::Integer, long long> {
    bool load(handle source, bool convert) {
        if (NoBoolCaster::load(source, convert)) return true;
        if (!source || !PyLong_Check(source.ptr()) || PyBool_Check(source.ptr())) return false;
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(source.ptr(), &overflow);
        if (PyErr_Occurred() || overflow == 0) {
            PyErr_Clear();
            return false;
        }
        value.value = overflow > 0 ? LLONG_MAX : LLONG_MIN;
        return true;
    }
};
template <>
struct type_caster<moorwinch_python::Real> : NoBoolCaster<moorwinch_python::Real, double> {};
}  // namespace detail
}  // namespace pybind11

#endif
