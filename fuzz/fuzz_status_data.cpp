// The status parser, then the report and the health verdict of what it read.
// A DataException is the documented refusal and must leave the record as it was.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "FuzzCheck.h"
#include "MoorwinchImpl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Impl = KORVANE::Moorwinch::MoorwinchImpl;
    static Impl impl;
    const std::string original(reinterpret_cast<const char*>(data), size);
    std::string reply = original;
    const KORVANE::Moorwinch::systemStatus before;
    KORVANE::Moorwinch::systemStatus status = before;
    try {
        impl.processStatusData(reply, status);
    } catch (const KORVANE::DataException&) {
        FUZZ_REQUIRE(std::memcmp(&status, &before, sizeof status) == 0, "refused reply changed the record");
    }
    FUZZ_REQUIRE(reply == original, "processStatusData changed the reply");

    std::ostringstream out;
    impl.print(status, out);
    KORVANE::Moorwinch::systemDetails details;
    KORVANE::MoorwinchDefinitions::systemError error;
    impl.checkSystemStatus(status, details, error, false);
    return 0;
}
