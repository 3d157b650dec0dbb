// Python objects for the JSON mapping, the raising of captured failures, and
// the Python-side classes the module creates at import.
#include <Python.h>

#include "binding.h"

namespace moorwinch_python {

Types& types() {
    static Types* const held = new Types();
    return *held;
}

void raise(const Failure& failure) {
    switch (failure.kind) {
        case Failure::memory: PyErr_NoMemory(); break;
        case Failure::data: PyErr_SetString(types().dataError.ptr(), failure.text.c_str()); break;
        case Failure::value: PyErr_SetString(types().valueError.ptr(), failure.text.c_str()); break;
        default: PyErr_SetString(types().ioError.ptr(), failure.text.c_str()); break;
    }
    throw py::error_already_set();
}

namespace {
py::str text(const std::string& value) {
    // Never fails: a byte that is not UTF-8 becomes U+FFFD.
    PyObject* decoded = PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
    if (!decoded) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}
}  // namespace

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
