// The extension moorwinch._moorwinch: the exception family, the enumerations and
// named tuples, the library's identity and the serial ports; records and the
// station come from their own files. The package's __init__.py re-exports it.
#include <Python.h>

#include <climits>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include <MoorwinchJson.h>
#include <MoorwinchService.h>

#include <pybind11/stl.h>

#include "binding.h"

namespace moorwinch_python {
namespace {

py::object exceptionClass(py::module_& m, const char* name, const py::tuple& bases, const char* doc) {
    const std::string qualified = std::string("moorwinch.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), nullptr);
    if (!type) throw py::error_already_set();
    py::object cls = py::reinterpret_steal<py::object>(type);
    m.attr(name) = cls;
    return cls;
}

// The library's kinds by their stable names; the value is the name too, as the
// service's error replies carry it.
py::object errorKinds(const py::module_& enumModule) {
    py::list members;
    for (unsigned i = 0;; ++i) {
        const auto kind = static_cast<KORVANE::errorKind>(i);
        const char* name = KORVANE::errorKindName(kind);
        KORVANE::errorKind named;
        if (!KORVANE::errorKindFromName(name, named) || named != kind) break;
        members.append(py::make_tuple(name, name));
    }
    py::object kinds = enumModule.attr("Enum")("ErrorKind", members, py::arg("module") = "moorwinch");
    kinds.attr("__doc__") =
        "What went wrong, as a stable name next to the unchanged text (Error.kind):\n"
        "timeout, portMissing, portInUse, stationRefused, valueOutOfRange, ...; the\n"
        "members and their values are the library's names.";
    return kinds;
}

void makeTypes(py::module_& m) {
    Types& t = types();
    py::module_ enumModule = py::module_::import("enum");
    t.errorKind = errorKinds(enumModule);
    m.attr("ErrorKind") = t.errorKind;

    py::object exception = py::reinterpret_borrow<py::object>(PyExc_Exception);
    t.error = exceptionClass(m, "Error", py::make_tuple(exception),
                             "Base of every error the station's operations raise. kind is an ErrorKind;\n"
                             "station_status and station_message are the station's status code and its\n"
                             "message when it refused the request (None otherwise); field names the\n"
                             "argument or record attribute concerned (None when none is).");
    t.error.attr("kind") = t.errorKind.attr("unknown");
    t.error.attr("station_status") = py::none();
    t.error.attr("station_message") = py::none();
    t.error.attr("field") = py::none();
    t.ioError = exceptionClass(
        m, "StationIOError", py::make_tuple(t.error, py::reinterpret_borrow<py::object>(PyExc_OSError)),
        "Port missing, not open or gone, no reply in time, exchange lock not obtained,\n"
        "or an error of the serial library; str() is the library's what() text. errno\n"
        "and filename (the port) are set where known; with an errno that Python maps to\n"
        "a subclass of OSError (ENOENT: FileNotFoundError, EACCES: PermissionError,\n"
        "ETIMEDOUT: TimeoutError) the error is an instance of that subclass too.");
    // str() stays the library's text, also once errno and filename are set.
    t.ioError.attr("__str__") = py::reinterpret_borrow<py::object>(PyExc_BaseException).attr("__str__");
    // A pickle names the class by a method of StationIOError, so that the
    // unpickled error is again of the class its errno picks.
    const py::object rebuild = py::cpp_function(
        [](py::handle, const py::tuple& args, const py::object& errorNumber, const py::object& port) {
            return makeIOError(args, errorNumber, port);
        },
        py::name("_rebuild"));
    t.ioError.attr("_rebuild") = py::reinterpret_steal<py::object>(PyClassMethod_New(rebuild.ptr()));
    t.ioError.attr("__reduce__") = py::cpp_function(
        [](py::handle self) {
            return py::make_tuple(types().ioError.attr("_rebuild"),
                                  py::make_tuple(self.attr("args"), self.attr("errno"), self.attr("filename")),
                                  self.attr("__dict__"));
        },
        py::is_method(t.ioError), py::name("__reduce__"));
    t.dataError = exceptionClass(
        m, "StationDataError", py::make_tuple(t.error),
        "A reply that is malformed, for another request, or carries an error status;\n"
        "also a protocol version text from the station that is no number.");
    t.valueError = exceptionClass(
        m, "StationValueError", py::make_tuple(t.error, py::reinterpret_borrow<py::object>(PyExc_ValueError)),
        "An argument outside its permitted range; nothing was sent.");

    t.historyError = exceptionClass(
        m, "HistoryError", py::make_tuple(t.error),
        "A history file that cannot be opened or read, or is not a moorwinch history\n"
        "file of this version (str() names the file and why); the base of\n"
        "HistoryQueryError.");
    t.historyQueryError = exceptionClass(
        m, "HistoryQueryError",
        py::make_tuple(t.historyError, py::reinterpret_borrow<py::object>(PyExc_ValueError)),
        "A question history() cannot answer as asked: a bad time, an unknown or repeated\n"
        "field, a step out of range, since after until, or more rows or buckets than one\n"
        "answer holds (100000). field names the argument where one is to blame.");

    t.verdict = enumModule.attr("IntEnum")(
        "Verdict", py::make_tuple(py::make_tuple("OK", 0), py::make_tuple("WARNING", 1), py::make_tuple("ERROR", 2)),
        py::arg("module") = "moorwinch");
    t.verdict.attr("__doc__") =
        "The health verdict, ordered by severity: OK < WARNING < ERROR (the C++ codes\n"
        "are statusOk 0x00, statusWarning 0x80, statusError 0x01).";
    m.attr("Verdict") = t.verdict;
    t.direction = enumModule.attr("Enum")(
        "Direction", py::make_tuple(py::make_tuple("SENT", "sent"), py::make_tuple("RECEIVED", "received")),
        py::arg("module") = "moorwinch");
    t.direction.attr("__doc__") = "Which way a traced line crossed the serial line.";
    m.attr("Direction") = t.direction;

    py::object namedtuple = py::module_::import("collections").attr("namedtuple");
    t.health = namedtuple("Health", py::make_tuple("verdict", "conditions", "status", "details"),
                          py::arg("module") = "moorwinch");
    t.health.attr("__doc__") =
        "Result of Station.check(): the Verdict, the list of condition texts, the Status\n"
        "judged and the Details used (None unless used).";
    m.attr("Health") = t.health;
    t.port = namedtuple("Port", py::make_tuple("port", "description", "hardware_id"),
                        py::arg("module") = "moorwinch");
    t.port.attr("__doc__") = "A serial port as moorwinch.ports() lists it.";
    m.attr("Port") = t.port;

    py::module_ datetime = py::module_::import("datetime");
    py::object utc = datetime.attr("timezone").attr("utc");
    t.epoch = datetime.attr("datetime")(1970, 1, 1, py::arg("tzinfo") = utc);
    t.timedelta = datetime.attr("timedelta");
}

}  // namespace
}  // namespace moorwinch_python

PYBIND11_MODULE(_moorwinch, m) {
    using namespace moorwinch_python;
    m.doc() = "The moorwinch library's Python binding; import moorwinch instead.";

    // Classes and functions name the package as their module, so that reprs,
    // signatures and help() read moorwinch.Status rather than the extension's name.
    const py::object extensionName = m.attr("__name__");
    m.attr("__name__") = "moorwinch";
    makeTypes(m);
    bindRecords(m);
    bindStation(m);
    bindHistory(m);

    m.def(
        "ports",
        [] {
            std::vector<std::string> ports, descriptions, hardwareIds;
            released("getSerialPortsInfo", [&] {
                KORVANE::Moorwinch winch;
                winch.getSerialPortsInfo(ports, descriptions, hardwareIds);
            });
            std::vector<PortTuple> list;
            for (std::size_t i = 0; i < ports.size(); ++i)
                list.emplace_back(types().port(ports[i], descriptions[i], hardwareIds[i]));
            return list;
        },
        "The serial ports of this machine as a list of moorwinch.Port(port, description,\n"
        "hardware_id) named tuples, in enumeration order.");
    m.def(
        "library_build", [] { return KORVANE::Moorwinch().getLibBuild(); }, "The library's build number.");
    m.def(
        "protocol_version", [] { return KORVANE::Moorwinch().getLibProtocolVersion(); },
        "The protocol version the library speaks.");
    m.def(
        "version_details",
        [] {
            std::ostringstream out;
            KORVANE::Moorwinch().printVersionDetails(out);
            return out.str();
        },
        "The library's banner with its build and protocol version.");

    KORVANE::Moorwinch limits;
    m.attr("MIN_TORQUE") = limits.getMinimalCableRetractionTorque();
    m.attr("MAX_TORQUE") = limits.getMaximalCableRetractionTorque();
    m.attr("MIN_START_LENGTH") = KORVANE::MoorwinchJson::detail::shortest(limits.getMinimalCableRetractionStartLength());
    m.attr("__version__") = MOORWINCH_VERSION;
    m.def(
        "stale_after",
        [](Real interval, Integer timeoutMs) {
            if (!std::isfinite(interval.value) || interval.value < 0)
                refuseValue("stale_after: interval out of range. Valid interval: 0 s or more", "interval");
            if (timeoutMs.value < 0 || timeoutMs.value > UINT_MAX)
                refuseValue("stale_after: timeout_ms out of range. Valid timeout: 0 ms to " + std::to_string(UINT_MAX) +
                                " ms",
                            "timeout_ms");
            return KORVANE::MoorwinchService::staleAfterSeconds(interval.value,
                                                                static_cast<unsigned int>(timeoutMs.value));
        },
        py::arg("interval"), py::arg("timeout_ms"),
        "Seconds after which station data polled every interval seconds with the timeout\n"
        "T (timeout_ms) are stale: two intervals plus the bound of one status poll (3 T).\n"
        "The rule of moorwinchd and the moorwinch tool.");

    m.attr("__name__") = extensionName;
}
