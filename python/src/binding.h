// Shared pieces of the Python module: the Python-side types made at import, the
// conversion of the JSON mapping, and the one way a library call is made (GIL
// released, exceptions turned into the module's family).
#ifndef MOORWINCH_PYTHON_BINDING_H
#define MOORWINCH_PYTHON_BINDING_H

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
    py::object verdict, direction, health, port;
    py::object epoch, timedelta;  // for the trace's UTC time stamps
};
Types& types();

// A failure caught while the GIL was released, raised once it is held again.
struct Failure {
    enum Kind { none, io, data, value, memory } kind = none;
    std::string text;
};

// Sets the Python exception of a failure and throws error_already_set.
[[noreturn]] void raise(const Failure& failure);

// Runs call and records what it throws: the library's three exceptions as their
// own kinds, the standard library's conversion errors (a version text the
// station sent that is no number) as data, anything else as an I/O failure,
// since what remains comes from the serial library.
template <class F>
Failure capture(const char* operation, F&& call) {
    Failure failure;
    try {
        call();
    } catch (const KORVANE::IOException& e) {
        failure = {Failure::io, e.what()};
    } catch (const KORVANE::DataException& e) {
        failure = {Failure::data, e.what()};
    } catch (const KORVANE::ValueException& e) {
        failure = {Failure::value, e.what()};
    } catch (const std::invalid_argument& e) {
        failure = {Failure::data, std::string("Data Exception: ") + operation + ": unreadable number from the station (" +
                                      e.what() + ")"};
    } catch (const std::out_of_range& e) {
        failure = {Failure::data, std::string("Data Exception: ") + operation +
                                      ": number from the station out of range (" + e.what() + ")"};
    } catch (const std::bad_alloc&) {
        failure = {Failure::memory, {}};
    } catch (const std::exception& e) {
        failure = {Failure::io, e.what()};
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
    if (failure.kind != Failure::none) raise(failure);
}

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
}  // namespace detail
}  // namespace pybind11

#endif
