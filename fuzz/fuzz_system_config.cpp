// The configuration parser, then the configuration report of what it read. A
// DataException is the documented refusal and must leave the record as it was.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "FuzzCheck.h"
#include "MoorwinchImpl.h"

namespace {

using Config = KORVANE::Moorwinch::systemConfig;

bool same(const Config& a, const Config& b) {
    return a.systemActivation == b.systemActivation && a.cableRetractionTorque == b.cableRetractionTorque &&
           std::memcmp(&a.cableRetractionStartLength, &b.cableRetractionStartLength, sizeof(float)) == 0 &&
           a.cableRetractionStatus == b.cableRetractionStatus;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static KORVANE::Moorwinch::MoorwinchImpl impl;
    const std::string original(reinterpret_cast<const char*>(data), size);
    std::string reply = original;
    Config before;
    before.cableRetractionTorque = 77;
    Config config = before;
    try {
        impl.processSystemConfig(reply, config);
    } catch (const KORVANE::DataException&) {
        FUZZ_REQUIRE(same(config, before), "refused reply changed the record");
    }
    FUZZ_REQUIRE(reply == original, "processSystemConfig changed the reply");

    std::ostringstream out;
    impl.print(config, out);
    return 0;
}
