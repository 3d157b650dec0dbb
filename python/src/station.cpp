// moorwinch.Station: one KORVANE::Moorwinch behind Python names. Every call that
// talks to the station or waits runs with the GIL released; a gate lets
// exchanges of several threads run together while open, close and timeout
// changes (which the C++ class must not overlap with anything) wait for them.
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "binding.h"

namespace moorwinch_python {
namespace {

using KORVANE::Moorwinch;
using Status = Moorwinch::systemStatus;
using Details = Moorwinch::systemDetails;
using Config = Moorwinch::systemConfig;
using Reporting = Moorwinch::systemStatusConfig;
using KORVANE::MoorwinchDefinitions::systemError;

struct Station {
    Moorwinch winch;
    std::shared_mutex gate;  // shared by exchanges, held alone by open, close, timeout
    std::atomic<bool> connected{false};
    std::atomic<unsigned int> timeout{0};
    std::mutex nameMutex;
    std::string portName;  // empty while closed
    // The trace function, shared with the copies the library makes of the trace.
    std::shared_ptr<py::object> trace;

    Station() : timeout(winch.getConnectionTimeout()) {}
    std::string name() {
        std::lock_guard<std::mutex> guard(nameMutex);
        return portName;
    }
};

// The station whose trace function runs on this thread, if any: calling it from
// there would wait for the exchange lock that its own exchange holds.
thread_local const Station* tracing = nullptr;

void refuseInTrace(const Station& s) {
    if (tracing == &s) {
        PyErr_SetString(PyExc_RuntimeError, "a Station must not be used from its own trace function");
        throw py::error_already_set();
    }
}

template <class F>
void exchange(Station& s, const char* operation, F&& call) {
    refuseInTrace(s);
    released(operation, [&] {
        std::shared_lock<std::shared_mutex> lock(s.gate);
        call();
    });
}

template <class F>
void alone(Station& s, const char* operation, F&& call) {
    refuseInTrace(s);
    released(operation, [&] {
        std::unique_lock<std::shared_mutex> lock(s.gate);
        call();
    });
}

// A failed open closes the port again, also after a failed handshake, which the
// C++ class leaves open: a Python caller gets a closed station or an open one
// that answered.
void open(Station& s, const std::string& port) {
    refuseInTrace(s);
    Failure failure;
    {
        py::gil_scoped_release release;
        std::unique_lock<std::shared_mutex> lock(s.gate);
        failure = capture("openConnection", [&] { s.winch.openConnection(port); });
        if (failure.type != Failure::none) {
            try {
                s.winch.closeConnection();
            } catch (...) {
                // The open's failure is the one to report.
            }
        }
        s.connected = s.winch.isConnected();
        std::lock_guard<std::mutex> guard(s.nameMutex);
        if (failure.type == Failure::none)
            s.portName = port;
        else if (!s.connected)
            s.portName.clear();
    }
    if (failure.type != Failure::none) raise(failure);
}

void close(Station& s) {
    alone(s, "closeConnection", [&] {
        try {
            s.winch.closeConnection();
        } catch (...) {
            s.connected = s.winch.isConnected();
            throw;
        }
        s.connected = s.winch.isConnected();
        std::lock_guard<std::mutex> guard(s.nameMutex);
        s.portName.clear();
    });
}

unsigned int timeoutValue(Integer ms) {
    if (ms.value < 0 || ms.value > UINT_MAX)
        refuseValue("timeout_ms: Value out of range. Valid timeout: 0 ms to " + std::to_string(UINT_MAX) + " ms",
                    "timeout_ms");
    return static_cast<unsigned int>(ms.value);
}

// Negative torques have no unsigned form: refused here in the library's words.
// Numbers beyond the unsigned range reach the library as its largest value,
// which it refuses itself.
unsigned int torqueValue(Station& s, Integer torque) {
    if (torque.value < 0)
        refuseValue("setCableRetractionTorque: Value out of range. Minimal valid torque: " +
                        std::to_string(s.winch.getMinimalCableRetractionTorque()) + " %",
                    "cableRetractionTorque");
    return torque.value > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(torque.value);
}

// A double beyond the float range is an infinite length, which the library refuses.
float lengthValue(Real metres) {
    const double m = metres.value;
    if (std::isfinite(m) && std::fabs(m) > FLT_MAX) return m > 0 ? INFINITY : -INFINITY;
    return static_cast<float>(m);
}

// Beyond 32 bits a flag is still neither 0 nor 1: the library refuses the
// nearest 32-bit value in its own words.
std::int32_t flagValue(Integer flag) {
    return static_cast<std::int32_t>(std::clamp<long long>(flag.value, INT32_MIN, INT32_MAX));
}

// The report's bytes as text: the degree sign 0xF8 (never a byte of UTF-8)
// becomes U+00B0, the rest is read as UTF-8.
py::str reportText(const std::string& bytes) {
    std::string utf8;
    utf8.reserve(bytes.size() + 8);
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) == 0xF8)
            utf8 += "\xC2\xB0";
        else
            utf8 += c;
    }
    PyObject* text = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

template <class R>
py::str report(Station& s, const R& record) {
    R copy = record;
    std::ostringstream out;
    s.winch.print(copy, out);
    return reportText(out.str());
}

// Calls the Python trace function with the GIL; its exceptions go to
// sys.unraisablehook and never reach the exchange.
void setTrace(Station& s, const py::object& function) {
    if (function.is_none()) {
        s.winch.clearTrace();
        s.trace.reset();
        return;
    }
    if (!PyCallable_Check(function.ptr())) {
        PyErr_SetString(PyExc_TypeError, "trace must be callable or None");
        throw py::error_already_set();
    }
    // The function object is shared by copies the library makes without the
    // GIL; only the last copy's end touches its reference count, with the GIL.
    std::shared_ptr<py::object> held(new py::object(function), [](py::object* p) {
        py::gil_scoped_acquire gil;
        delete p;
    });
    const Station* self = &s;
    s.winch.setTrace([held, self](Moorwinch::traceDirection direction, const std::string& line,
                                  std::chrono::system_clock::time_point time) {
        py::gil_scoped_acquire gil;
        const Station* outer = tracing;
        tracing = self;
        try {
            const Types& t = types();
            PyObject* text =
                PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "backslashreplace");
            if (!text) throw py::error_already_set();
            const auto micros =
                std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
            py::object stamp = t.epoch + t.timedelta(py::arg("microseconds") = micros);
            (*held)(t.direction.attr(direction == Moorwinch::traceDirection::sent ? "SENT" : "RECEIVED"),
                    py::reinterpret_steal<py::str>(text), stamp);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable(*held);
        } catch (const std::exception& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
            PyErr_WriteUnraisable(held->ptr());
        }
        tracing = outer;
    });
    s.trace = held;
}

// A trace function that refers back to its station (a bound method of an
// object holding it) makes a cycle through C++; the collector sees it here.
void collectable(PyHeapTypeObject* heapType) {
    PyTypeObject* type = &heapType->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
#if PY_VERSION_HEX >= 0x03090000
        Py_VISIT(Py_TYPE(self));
#endif
        const Station* s = nullptr;
        try {
            s = &py::cast<Station&>(py::handle(self));
        } catch (...) {
            return 0;  // never constructed (its __init__ failed)
        }
        if (s->trace) Py_VISIT(s->trace->ptr());
        return 0;
    };
    type->tp_clear = [](PyObject* self) -> int {
        try {
            Station& s = py::cast<Station&>(py::handle(self));
            s.winch.clearTrace();
            s.trace.reset();
        } catch (...) {
        }
        return 0;
    };
}

HealthTuple health(Station& s, bool includeDetails, const std::optional<Status>& given,
                  const std::optional<Details>& givenDetails) {
    Status status = given.value_or(Status());
    Details details = givenDetails.value_or(Details());
    const bool readStatus = !given.has_value();
    const bool useDetails = includeDetails || givenDetails.has_value();
    const bool readDetails = includeDetails && !givenDetails.has_value();
    systemError verdict = KORVANE::MoorwinchDefinitions::statusOk;
    std::vector<std::string> conditions;
    auto judge = [&] {
        if (readStatus) s.winch.getSystemStatus(status);
        if (readDetails) s.winch.getSystemDetails(details);
        s.winch.checkSystemStatus(status, details, verdict, useDetails, conditions);
    };
    if (readStatus || readDetails)
        exchange(s, "checkSystemStatus", judge);
    else
        judge();  // no traffic, cannot fail
    py::list texts;
    for (const std::string& c : conditions) texts.append(py::str(c));
    return HealthTuple(types().health(verdictOf(verdict), texts, py::cast(status),
                                      useDetails ? py::cast(details) : py::object(py::none())));
}

using Flag = std::optional<Integer>;
using Change = Moorwinch::systemStatusConfigChange;

// A record is sent with the keywords replacing its flags, every flag judged
// first: the station refuses anything but 0 and 1, so nothing is sent for a
// change it would refuse. Keywords alone are the library's partial change.
void setReporting(Station& s, const std::optional<Reporting>& given, const Flag& cab, const Flag& env,
                  const Flag& energyGS, const Flag& energyUAV, const Flag& sysState, const Flag& hwModuleStatus) {
    struct Named {
        const Flag& value;
        const char* field;  // the library's name of the member
        std::optional<std::int32_t> Change::*inChange;
        std::int32_t Reporting::*inRecord;
    };
    const Named flags[] = {{cab, "cab", &Change::cab, &Reporting::cab},
                           {env, "env", &Change::env, &Reporting::env},
                           {energyGS, "energyGS", &Change::energyGS, &Reporting::energyGS},
                           {energyUAV, "energyUAV", &Change::energyUAV, &Reporting::energyUAV},
                           {sysState, "sysState", &Change::sysState, &Reporting::sysState},
                           {hwModuleStatus, "hwModuleStatus", &Change::hwModuleStatus, &Reporting::hwModuleStatus}};
    Change change;
    bool any = given.has_value();
    for (const Named& f : flags) {
        if (!f.value) continue;
        change.*f.inChange = flagValue(*f.value);
        any = true;
    }
    if (!any) {
        PyErr_SetString(PyExc_TypeError, "set_reporting() needs a Reporting record or at least one flag");
        throw py::error_already_set();
    }
    exchange(s, "setSystemStatusConfig", [&] {
        Reporting sent;
        if (!given) {
            s.winch.changeSystemStatusConfig(change, sent);
            return;
        }
        sent = *given;
        for (const Named& f : flags) {
            if (change.*f.inChange) sent.*f.inRecord = *(change.*f.inChange);
            Moorwinch::checkStatusReportingFlag(f.field, sent.*f.inRecord);
        }
        s.winch.setSystemStatusConfig(sent);
    });
}

}  // namespace

void bindStation(py::module_& m) {
    py::class_<Station> cls(m, "Station", py::custom_type_setup(collectable), R"doc(One ground station on one serial port.

Station(port=None, timeout_ms=400) sets the timeout T in milliseconds and, when
a port is given, opens it at once (115200 8N1, then the protocol handshake). As a
context manager it closes the port on leaving the block, also on an exception:

    with moorwinch.Station("/dev/ttyUSB0") as station:
        print(station.status().cable_length)

Every call that talks to the station or waits releases the GIL, so other Python
threads run meanwhile; several threads may share one station, their exchanges
take turns. T bounds every wait: the exchange lock (T), the reply (T; 10 T for
details(), 30 T for set_activation() and set_reporting()). open(), close() and a
change of timeout_ms wait for the exchanges that are running.

Failures raise moorwinch.StationIOError (port missing or gone, no reply in time,
exchange busy), StationDataError (a reply malformed, for another request, or an
error status) or StationValueError (an argument out of range; nothing is sent);
their kind (a moorwinch.ErrorKind) tells which. A bool where a number belongs is
a TypeError.)doc");

    cls.def(py::init([](const std::optional<std::string>& port, Integer timeoutMs) {
                auto s = std::make_unique<Station>();
                const unsigned int ms = timeoutValue(timeoutMs);
                s->winch.setConnectionTimeout(ms);
                s->timeout = ms;
                if (port) open(*s, *port);
                return s;
            }),
            py::arg("port") = py::none(), py::arg("timeout_ms") = Integer{400},
            "Sets the timeout and opens port when one is given (see open()).");

    cls.def("open", &open, py::arg("port"),
            "Opens the serial port and runs the protocol handshake. Opening the port that is\n"
            "already open does nothing; another port closes the first. On any failure the\n"
            "station is left closed.");
    cls.def("close", &close, "Closes the port if it is open.");
    cls.def_property_readonly(
        "connected", [](Station& s) { return s.connected.load(); }, "True while the port is open.");
    cls.def_property_readonly(
        "port",
        [](Station& s) -> py::object {
            std::string name = s.name();
            if (name.empty()) return py::none();
            return py::str(name);
        },
        "The name of the open port, or None.");
    cls.def_property(
        "timeout_ms", [](Station& s) { return s.timeout.load(); },
        [](Station& s, Integer value) {
            const unsigned int ms = timeoutValue(value);
            alone(s, "setConnectionTimeout", [&] {
                s.winch.setConnectionTimeout(ms);
                s.timeout = ms;
            });
        },
        "The timeout T in milliseconds; applies at once. 0 makes every exchange time out.");

    cls.def(
        "status",
        [](Station& s) {
            Status status;
            exchange(s, "getSystemStatus", [&] { s.winch.getSystemStatus(status); });
            return status;
        },
        "Reads the live status (one exchange).");
    cls.def(
        "details",
        [](Station& s) {
            Details details;
            exchange(s, "getSystemDetails", [&] { s.winch.getSystemDetails(details); });
            return details;
        },
        "Reads the product details (one exchange, reply wait 10 T).");
    cls.def(
        "config",
        [](Station& s) {
            Config config;
            exchange(s, "getSystemConfig", [&] { s.winch.getSystemConfig(config); });
            return config;
        },
        "Reads the system configuration (one exchange).");
    cls.def(
        "reporting",
        [](Station& s) {
            Reporting reporting;
            exchange(s, "getSystemStatusConfig", [&] { s.winch.getSystemStatusConfig(reporting); });
            return reporting;
        },
        "Reads which status blocks the station reports (one status exchange).");

    cls.def(
        "set_torque",
        [](Station& s, Integer torque) {
            const unsigned int value = torqueValue(s, torque);
            exchange(s, "setCableRetractionTorque", [&] { s.winch.setCableRetractionTorque(value); });
        },
        py::arg("torque"), "Sets the cable retraction torque in per cent (0 to 100).");
    cls.def(
        "set_start_length",
        [](Station& s, Real metres) {
            const float value = lengthValue(metres);
            exchange(s, "setCableRetractionStartLength", [&] { s.winch.setCableRetractionStartLength(value); });
        },
        py::arg("metres"), "Sets the cable retraction start length in metres (from 0.3).");
    cls.def(
        "set_activation",
        [](Station& s, bool active) {
            exchange(s, "setSystemActivation", [&] { s.winch.setSystemActivation(active); });
        },
        py::arg("active").noconvert(), "Activates (True) or deactivates (False) the system (reply wait 30 T).");
    cls.def(
        "set_config",
        [](Station& s, const Config& config) {
            exchange(s, "setSystemConfig", [&] { s.winch.setSystemConfig(config); });
        },
        py::arg("config"),
        "Sends a configuration: deactivation first, or activation last, the torque and\n"
        "the start length between; the first failure ends it, steps done stay done.");
    cls.def(
        "set_config",
        [](Station& s, bool activation, Integer torque, Real startLength) {
            const unsigned int value = torqueValue(s, torque);
            const float length = lengthValue(startLength);
            exchange(s, "setSystemConfig", [&] { s.winch.setSystemConfig(activation, value, length); });
        },
        py::arg("activation").noconvert(), py::arg("torque"), py::arg("start_length"),
        "The same from the three values.");
    cls.def("set_reporting", &setReporting, py::arg("reporting") = py::none(), py::kw_only(),
            py::arg("cab") = py::none(), py::arg("env") = py::none(), py::arg("energy_gs") = py::none(),
            py::arg("energy_uav") = py::none(), py::arg("sys_state") = py::none(),
            py::arg("hw_module_status") = py::none(),
            "Chooses which status blocks the station reports (0 disabled, 1 reported;\n"
            "reply wait 30 T). A Reporting record is sent with the keywords given replacing\n"
            "its flags; with keywords alone the flags not named keep their current values,\n"
            "read first with one status exchange. A flag other than 0 or 1 is refused before\n"
            "anything is sent (StationValueError, kind valueOutOfRange); so is a flag not\n"
            "named that the station reports as not available (kind flagUnavailable, after\n"
            "the status exchange): name it.");

    cls.def("check", &health, py::arg("include_details") = false, py::arg("status") = py::none(),
            py::arg("details") = py::none(),
            "Judges the station's health and returns moorwinch.Health(verdict, conditions,\n"
            "status, details): the Verdict, one short English text per condition found\n"
            "(errors first, then warnings), the status judged and the details (None unless\n"
            "used). Reads the status unless one is given; with include_details also the\n"
            "details (maintenance rule) unless they are given. Judging given records makes\n"
            "no traffic and cannot fail.");

    cls.def(
        "report", [](Station& s, const Status& r) { return report(s, r); }, py::arg("record"),
        "The library's report of a Status, Details or Config as text (degree sign as \"°\").");
    cls.def(
        "report", [](Station& s, const Details& r) { return report(s, r); }, py::arg("record"));
    cls.def(
        "report", [](Station& s, const Config& r) { return report(s, r); }, py::arg("record"));

    cls.def_property(
        "trace", [](Station& s) { return s.trace ? *s.trace : py::object(py::none()); }, &setTrace,
        "None, or a callable trace(direction, line, time) called for every line on the\n"
        "wire: direction a moorwinch.Direction, line the text without its line feed\n"
        "(bytes that are not UTF-8 as \\xNN escapes), time a timezone-aware UTC datetime.\n"
        "It runs on the thread of the exchange while the exchange lock is held: keep it\n"
        "short; using this station from it raises RuntimeError. An exception it raises is\n"
        "passed to sys.unraisablehook and does not change the exchange.");

    cls.def(
        "__enter__", [](Station& s) -> Station& { return s; }, py::return_value_policy::reference);
    cls.def(
        "__exit__", [](Station& s, const py::args&) { close(s); }, "Closes the port.");
    cls.def("__repr__", [](Station& s) {
        const std::string name = s.name();
        std::string text = "<moorwinch.Station ";
        text += name.empty() ? std::string("closed") : py::repr(py::str(name)).cast<std::string>();
        return text + " timeout_ms=" + std::to_string(s.timeout.load()) + ">";
    });
}

}  // namespace moorwinch_python
