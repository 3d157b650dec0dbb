// The four records as Python classes. Their attributes come from the member
// tables of the JSON mapping, so that every member the mapping knows is an
// attribute under the snake_case form of its key, and to_dict() is the mapping.
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <MoorwinchJson.h>

#include "binding.h"

namespace moorwinch_python {

// "energyGS" -> "energy_gs", "fan1Rpm" -> "fan1_rpm", "hwModuleStatus" -> "hw_module_status".
std::string snakeCase(const char* key) {
    std::string out;
    const std::size_t n = std::strlen(key);
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(key[i]);
        if (std::isupper(c) && i > 0) {
            const unsigned char before = static_cast<unsigned char>(key[i - 1]);
            const bool afterWord = std::islower(before) || std::isdigit(before);
            const bool endsCapitals =
                std::isupper(before) && i + 1 < n && std::islower(static_cast<unsigned char>(key[i + 1]));
            if (afterWord || endsCapitals) out += '_';
        }
        out += static_cast<char>(std::tolower(c));
    }
    return out;
}

namespace {

namespace J = KORVANE::MoorwinchJson;
template <class R>
using Field = J::detail::Field<R>;

// The unit or meaning of a member, for its docstring.
std::string meaning(const std::string& key, bool text) {
    if (text) return "text";
    static const std::pair<const char*, const char*> rules[] = {
        {"Torque", "per cent"},
        {"StartLength", "metres"},
        {"ableLength", "metres"},
        {"cableSpeed", "metres per second"},
        {"temperature", "degrees Celsius; -128: no reading"},
        {"humidity", "per cent; -128: no reading"},
        {"pressure", "hectopascals"},
        {"Rpm", "revolutions per minute"},
        {"Voltage", "volts"},
        {"Current", "amperes"},
        {"Frequency", "hertz"},
        {"Power", "watts"},
        {"lastMaintenance", "seconds since 1970-01-01 UTC; 0: none"},
        {"Time", "seconds"},
        {"Count", "count"},
        {"Activation", "True when activated"},
        {"networkType", "1, 2 or 3; 255: not available"},
        {"Status", "status code; 255: not available"},
        {"errorCode", "error code"},
        {"maintenanceRequired", "1 when maintenance is due"},
        {"hw", "module status code; 255: not available"},
    };
    for (const auto& rule : rules)
        if (key.find(rule.first) != std::string::npos) return rule.second;
    return "reporting flag: 0 disabled, 1 reported, 255 not available";
}

template <class R>
struct Entry {
    std::string name;  // the attribute
    Field<R> field;
};

template <class R>
const std::vector<Entry<R>>& entries() {
    static const std::vector<Entry<R>> table = [] {
        std::vector<Entry<R>> all;
        for (const Field<R>& f : J::detail::fieldsOf<R>()) all.push_back({snakeCase(f.key), f});
        return all;
    }();
    return table;
}

template <class R>
py::object get(const Field<R>& f, const R& r) {
    if (f.i32) return py::int_(r.*f.i32);
    if (f.u32) return py::int_(r.*f.u32);
    if (f.f32) return py::float_(J::detail::shortest(r.*f.f32));
    if (f.text) {
        const std::string& value = r.*f.text;
        PyObject* decoded = PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
        if (!decoded) throw py::error_already_set();
        return py::reinterpret_steal<py::str>(decoded);
    }
    return py::bool_(r.*f.flag);
}

[[noreturn]] void refuse(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
    throw py::error_already_set();
}

const char* typeName(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

// A bool is an int to Python, but Config(cable_retraction_torque=True) is a
// slip: numbers refuse it.
long long wholeNumber(py::handle value, const std::string& where, long long low, long long high) {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
        refuse(PyExc_TypeError, where + " must be an int, not " + typeName(value));
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || number < low || number > high)
        refuse(PyExc_OverflowError,
               where + " must be from " + std::to_string(low) + " to " + std::to_string(high));
    return number;
}

// Checked like the attribute's C++ type: no silent wrap-around or truncation.
template <class R>
void set(const Entry<R>& e, const char* record, R& r, py::handle value) {
    const Field<R>& f = e.field;
    const std::string where = std::string(record) + "." + e.name;
    if (f.i32) {
        r.*f.i32 = static_cast<std::int32_t>(wholeNumber(value, where, INT32_MIN, INT32_MAX));
    } else if (f.u32) {
        r.*f.u32 = static_cast<std::uint32_t>(wholeNumber(value, where, 0, UINT32_MAX));
    } else if (f.f32) {
        if (PyBool_Check(value.ptr()) || (!PyFloat_Check(value.ptr()) && !PyLong_Check(value.ptr())))
            refuse(PyExc_TypeError, where + " must be a float, not " + typeName(value));
        const double number = PyFloat_AsDouble(value.ptr());
        if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        if (std::isfinite(number) && std::fabs(number) > FLT_MAX)
            refuse(PyExc_OverflowError, where + " is beyond the range of a single-precision float");
        r.*f.f32 = static_cast<float>(number);
    } else if (f.text) {
        if (!PyUnicode_Check(value.ptr())) refuse(PyExc_TypeError, where + " must be a str, not " + typeName(value));
        r.*f.text = value.cast<std::string>();
    } else {
        if (!PyBool_Check(value.ptr())) refuse(PyExc_TypeError, where + " must be a bool, not " + typeName(value));
        r.*f.flag = value.ptr() == Py_True;
    }
}

template <class R>
bool equal(const R& a, const R& b) {
    for (const Entry<R>& e : entries<R>()) {
        const Field<R>& f = e.field;
        if (f.i32 && a.*f.i32 != b.*f.i32) return false;
        if (f.u32 && a.*f.u32 != b.*f.u32) return false;
        if (f.f32 && !(a.*f.f32 == b.*f.f32)) return false;
        if (f.text && a.*f.text != b.*f.text) return false;
        if (f.flag && a.*f.flag != b.*f.flag) return false;
    }
    return true;
}

template <class R>
void bindRecord(py::module_& m, const char* name, const char* doc) {
    py::class_<R> cls(m, name, doc);
    cls.def(py::init([name](const py::kwargs& values) {
                R record;
                for (auto item : values) {
                    const std::string key = item.first.cast<std::string>();
                    const Entry<R>* found = nullptr;
                    for (const Entry<R>& e : entries<R>())
                        if (e.name == key) found = &e;
                    if (!found)
                        refuse(PyExc_TypeError,
                               std::string(name) + "() got an unexpected keyword argument '" + key + "'");
                    set(*found, name, record, item.second);
                }
                return record;
            }),
            "Makes a record; every attribute not given keeps the library's default, which\n"
            "for most codes and readings is the \"not available\" value.");

    for (const Entry<R>& e : entries<R>()) {
        const bool text = e.field.text != nullptr;
        const std::string doc = meaning(e.field.key, text) + " (JSON key \"" + e.field.key + "\")";
        cls.def_property(
            e.name.c_str(), [e](const R& r) { return get(e.field, r); },
            [e, name](R& r, py::handle value) { set(e, name, r, value); }, doc.c_str());
    }

    cls.def("__repr__", [name](const R& r) {
        std::string text = std::string(name) + "(";
        const char* separator = "";
        for (const Entry<R>& e : entries<R>()) {
            text += separator + e.name + "=" + std::string(py::str(py::repr(get(e.field, r))));
            separator = ", ";
        }
        return text + ")";
    });
    cls.def("__eq__", [](const R& r, py::handle other) -> py::object {
        if (!py::isinstance<R>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(equal(r, other.cast<const R&>()));
    });
    cls.attr("__hash__") = py::none();  // mutable
    cls.def(
        "to_dict", [](const R& r) { return toPython(J::toJson(r)); },
        "The record as the JSON mapping of the moorwinch tool: a dict keyed by the C++\n"
        "member names (\"cableLength\", ...), None for every value that is not available.");
    cls.def_static(
        "from_dict",
        [name](const py::handle& mapping) {
            if (!PyDict_Check(mapping.ptr()))
                refuse(PyExc_TypeError, std::string(name) + ".from_dict() needs a dict, not " + typeName(mapping));
            R record;
            J::fromJson(fromPython(mapping), record);
            return record;
        },
        py::arg("mapping"),
        "A record from the JSON mapping (for instance the moorwinch tool's output),\n"
        "read leniently like the library's replies: a missing or None value gives the\n"
        "default, a value of the wrong type is skipped, unknown keys are ignored.");
    cls.def(py::pickle(
        [](const R& r) {
            py::tuple state(entries<R>().size());
            std::size_t i = 0;
            for (const Entry<R>& e : entries<R>()) state[i++] = get(e.field, r);
            return state;
        },
        [name](const py::tuple& state) {
            if (state.size() != entries<R>().size()) refuse(PyExc_ValueError, std::string(name) + ": bad pickle state");
            R record;
            std::size_t i = 0;
            for (const Entry<R>& e : entries<R>()) set(e, name, record, state[i++]);
            return record;
        }));
    cls.def("__copy__", [](const R& r) { return R(r); });
    cls.def("__deepcopy__", [](const R& r, py::handle) { return R(r); }, py::arg("memo"));
}

}  // namespace

void bindRecords(py::module_& m) {
    bindRecord<KORVANE::Moorwinch::systemStatus>(
        m, "Status",
        "Live status of the ground station, as Station.status() reads it.\n\n"
        "Attributes are the C++ record's members in snake_case (cable_length,\n"
        "mains_voltage, ...), in the units of the library (metres, volts, amperes, hertz,\n"
        "degrees Celsius, seconds, per cent). Like the C++ record they hold the library's\n"
        "\"not available\" markers (255 for codes, -128 for temperatures); to_dict() gives\n"
        "None for those, and for every value of a status block that is not reported.\n"
        "Floats are the shortest decimals that read back as the record's single-precision\n"
        "values. Records compare equal when every attribute is equal; they copy and pickle.");
    bindRecord<KORVANE::Moorwinch::systemDetails>(
        m, "Details",
        "Product details: identification, version texts, ratings, counters and\n"
        "maintenance, as Station.details() reads them. to_dict() gives None for a\n"
        "software version of \"0.0.0\", a last maintenance of 0 and a network type of 255.");
    bindRecord<KORVANE::Moorwinch::systemConfig>(
        m, "Config",
        "System configuration: activation, retraction torque (per cent) and start length\n"
        "(metres); cable_retraction_status is reported by the station and never sent.\n"
        "Station.set_config() takes one.");
    bindRecord<KORVANE::Moorwinch::systemStatusConfig>(
        m, "Reporting",
        "Which status blocks the station reports: 0 disabled, 1 reported, 255 not\n"
        "available. Station.reporting() reads it, Station.set_reporting() sends it.");
}

}  // namespace moorwinch_python
