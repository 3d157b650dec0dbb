// The version text of the handshake. std::stoi's std::invalid_argument and
// std::out_of_range are the documented outcome of a piece that is not a number;
// anything else escaping is a finding.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "FuzzCheck.h"
#include "MoorwinchImpl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static KORVANE::Moorwinch::MoorwinchImpl impl;
    const std::string original(reinterpret_cast<const char*>(data), size);
    std::string version = original;
    int major = -1, minor = -1, patch = -1;
    try {
        impl.processVersionString(version, major, minor, patch);
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (const std::out_of_range&) {
        return 0;
    }
    // Consumed up to the last dot; a text without pieces gives 0.0.0.
    const std::size_t lastDot = original.rfind('.');
    FUZZ_REQUIRE(version == (lastDot == std::string::npos ? original : original.substr(lastDot + 1)),
                 "version text not consumed up to its last dot");
    if (original.find_first_not_of('.') == std::string::npos)
        FUZZ_REQUIRE(major == 0 && minor == 0 && patch == 0, "empty pieces gave a number");
    return 0;
}
