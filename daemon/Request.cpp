#include "Request.h"

#include <cmath>
#include <limits>

namespace moorwinchd {
namespace {

// Deeper JSON has no use here; refusing it early keeps the parser's work small.
constexpr int maxDepth = 8;
constexpr std::size_t maxTokenBytes = 1024;

struct OpName {
    const char* name;
    Op op;
    std::initializer_list<const char*> members;  // besides "op" and "id"
};

const OpName opNames[] = {
    {"status", Op::status, {}},
    {"details", Op::details, {}},
    {"config", Op::config, {}},
    {"reporting", Op::reporting, {"set"}},
    {"check", Op::check, {}},
    {"version", Op::version, {}},
    {"state", Op::state, {}},
    {"set", Op::set, {"torque", "startLength", "activation"}},
    {"watch", Op::watch, {}},
    {"unwatch", Op::unwatch, {}},
    {"auth", Op::auth, {"token"}},
    {"history", Op::history, {"since", "until", "fields", "step"}},
    {"events", Op::events, {"since", "until"}},
};

// Nesting depth outside strings; stops counting once past the bound.
bool shallow(std::string_view line) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : line) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > maxDepth) return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

// A short, printable rendering of a value the client sent, for messages.
std::string quoted(const std::string& text) {
    std::string shown = text.size() > 40 ? text.substr(0, 40) + "..." : text;
    return json(shown).dump(-1, ' ', false, json::error_handler_t::replace);
}

bool fail(std::string& problem, std::string text) {
    problem = std::move(text);
    return false;
}

bool parseSet(const json& object, Request& r, std::string& problem) {
    if (auto it = object.find("torque"); it != object.end()) {
        if (!it->is_number_unsigned() || it->get<std::uint64_t>() > std::numeric_limits<unsigned int>::max())
            return fail(problem, "\"torque\" must be a whole number of per cent");
        r.torque = it->get<unsigned int>();
    }
    if (auto it = object.find("startLength"); it != object.end()) {
        const double value = it->is_number() ? it->get<double>() : std::nan("");
        if (!std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max())
            return fail(problem, "\"startLength\" must be a number of metres");
        r.startLength = static_cast<float>(value);
    }
    if (auto it = object.find("activation"); it != object.end()) {
        if (!it->is_boolean()) return fail(problem, "\"activation\" must be true or false");
        r.activation = it->get<bool>();
    }
    if (!r.torque && !r.startLength && !r.activation)
        return fail(problem, "\"set\" needs \"torque\", \"startLength\" or \"activation\"");
    return true;
}

bool parseReportingSet(const json& flags, Request& r, std::string& problem) {
    if (!flags.is_object() || flags.empty())
        return fail(problem, "\"set\" must be an object of reporting flags, e.g. {\"cab\":1}");
    for (const auto& item : flags.items()) {
        int index = -1;
        for (int i = 0; i < 6; ++i)
            if (item.key() == reportingKeys[i]) index = i;
        if (index < 0) return fail(problem, "unknown reporting flag " + quoted(item.key()));
        const json& v = item.value();
        using limits = std::numeric_limits<std::int32_t>;
        const bool fits = v.is_number_unsigned() ? v.get<std::uint64_t>() <= std::uint64_t{limits::max()}
                                                 : v.is_number_integer() && v.get<std::int64_t>() >= limits::min() &&
                                                       v.get<std::int64_t>() <= limits::max();
        if (!fits) return fail(problem, "reporting flag " + quoted(item.key()) + " must be a whole number (0 or 1)");
        r.reporting[index] = static_cast<std::int32_t>(v.get<std::int64_t>());
    }
    r.op = Op::setReporting;
    return true;
}

// since and until: their type and size here, their meaning when answered.
bool parseRange(const json& object, Request& r, std::string& problem) {
    for (const char* name : {"since", "until"}) {
        auto it = object.find(name);
        if (it == object.end()) continue;
        const bool text = it->is_string() && it->get_ref<const std::string&>().size() <= maxTimeBytes;
        if (!it->is_number() && !text)
            return fail(problem, std::string("\"") + name +
                                     "\" must be Unix seconds or a time text (ISO 8601, \"10m\", \"2h\", \"1d\") of at "
                                     "most " + std::to_string(maxTimeBytes) + " bytes");
        (name[0] == 's' ? r.since : r.until) = *it;
    }
    return true;
}

bool parseHistory(const json& object, Request& r, std::string& problem) {
    if (auto it = object.find("fields"); it != object.end()) {
        if (!it->is_array() || it->size() > maxFields)
            return fail(problem, "\"fields\" must be a list of at most " + std::to_string(maxFields) + " member names");
        for (const json& name : *it) {
            if (!name.is_string() || name.get_ref<const std::string&>().size() > maxFieldBytes)
                return fail(problem, "\"fields\" must hold member names of the status record, e.g. \"cableLength\"");
            r.fields.push_back(name.get<std::string>());
        }
    }
    if (auto it = object.find("step"); it != object.end()) {
        const double step = it->is_number() ? it->get<double>() : std::nan("");
        if (!(step >= minStep && step <= maxStep))
            return fail(problem, "\"step\" must be a number of seconds from 0.001 to " +
                                     std::to_string(static_cast<long>(maxStep)));
        r.step = step;
    }
    return parseRange(object, r, problem);
}

}  // namespace

bool parseRequest(std::string_view line, Request& r, std::string& problem) {
    r = Request{};
    if (!shallow(line)) return fail(problem, "request nested deeper than " + std::to_string(maxDepth) + " levels");
    json object = json::parse(line.begin(), line.end(), nullptr, false);
    if (object.is_discarded()) return fail(problem, "not JSON");
    if (!object.is_object()) return fail(problem, "a request must be a JSON object with \"op\"");

    if (auto id = object.find("id"); id != object.end()) {
        if (!(id->is_string() || id->is_number() || id->is_null()))
            return fail(problem, "\"id\" must be a string, a number or null");
        if (id->is_string() && id->get_ref<const std::string&>().size() > 256)
            return fail(problem, "\"id\" longer than 256 bytes");
        r.id = *id;
    }
    auto opMember = object.find("op");
    if (opMember == object.end()) return fail(problem, "missing \"op\"");
    if (!opMember->is_string()) return fail(problem, "\"op\" must be a string");
    const std::string& name = opMember->get_ref<const std::string&>();
    const OpName* found = nullptr;
    for (const OpName& o : opNames)
        if (name == o.name) found = &o;
    if (!found) return fail(problem, "unknown op " + quoted(name));
    r.op = found->op;

    for (const auto& item : object.items()) {
        if (item.key() == "op" || item.key() == "id") continue;
        bool known = false;
        for (const char* m : found->members) known = known || item.key() == m;
        if (!known) return fail(problem, "unknown member " + quoted(item.key()) + " for op \"" + name + "\"");
    }

    switch (r.op) {
        case Op::set:
            return parseSet(object, r, problem);
        case Op::reporting:
            if (auto set = object.find("set"); set != object.end()) return parseReportingSet(*set, r, problem);
            return true;
        case Op::history:
            return parseHistory(object, r, problem);
        case Op::events:
            return parseRange(object, r, problem);
        case Op::auth: {
            auto token = object.find("token");
            if (token == object.end() || !token->is_string())
                return fail(problem, "\"auth\" needs \"token\" as a string");
            if (token->get_ref<const std::string&>().size() > maxTokenBytes)
                return fail(problem, "\"token\" too long");
            r.token = token->get<std::string>();
            return true;
        }
        default:
            return true;
    }
}

}  // namespace moorwinchd
