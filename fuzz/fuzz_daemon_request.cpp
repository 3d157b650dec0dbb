// The service's request parser on arbitrary client lines. Nothing may escape
// it, and whatever it accepts must be whole and of the right types (the range
// of a setting or a reporting flag is the library's to judge).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "Request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace moorwinchd;
    Request request;
    std::string problem;
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const bool ok = parseRequest(line, request, problem);
    FUZZ_REQUIRE(request.id.is_null() || request.id.is_string() || request.id.is_number(), "id not a scalar");
    request.id.dump(-1, ' ', false, json::error_handler_t::replace);
    if (!ok) {
        FUZZ_REQUIRE(!problem.empty(), "refusal without a message");
        json(problem).dump(-1, ' ', false, json::error_handler_t::strict);  // messages are valid UTF-8
        return 0;
    }
    if (request.op == Op::set) {
        FUZZ_REQUIRE(request.torque || request.startLength || request.activation, "empty set accepted");
        if (request.startLength) FUZZ_REQUIRE(std::isfinite(*request.startLength), "start length not finite");
    }
    if (request.op == Op::setReporting) {
        int named = 0;
        for (const auto& flag : request.reporting) named += flag ? 1 : 0;
        FUZZ_REQUIRE(named > 0, "reporting set without flags");
    }
    if (request.op == Op::auth) FUZZ_REQUIRE(request.token.size() <= 1024, "token unbounded");
    if (request.op == Op::history || request.op == Op::events) {
        for (const json* t : {&request.since, &request.until}) {
            const bool text = t->is_string() && t->get_ref<const std::string&>().size() <= maxTimeBytes;
            FUZZ_REQUIRE(t->is_null() || t->is_number() || text, "time unbounded");
        }
        FUZZ_REQUIRE(request.fields.size() <= maxFields, "fields unbounded");
        for (const std::string& f : request.fields) FUZZ_REQUIRE(f.size() <= maxFieldBytes, "field name unbounded");
        if (request.step) FUZZ_REQUIRE(*request.step >= minStep && *request.step <= maxStep, "step out of bounds");
    }
    return 0;
}
