// The details parser, then the details report of what it read. A
// DataException is the documented refusal and must leave the record as it was.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <tuple>

#include "FuzzCheck.h"
#include "MoorwinchImpl.h"

namespace {

using Details = KORVANE::Moorwinch::systemDetails;

auto fields(const Details& d) {
    return std::tie(d.productType, d.model, d.serialNumber, d.dayOfProduction, d.hwVersion, d.swVersionMainCtrl,
                    d.swVersionReelCtrl, d.swVersionLpwrCtrl, d.swVersionHpwrCtrl, d.swVersionEnvCtrl,
                    d.swVersionNetCtrl, d.swVersionBbatCtrl, d.protocolVersion, d.uavCellVoltages, d.maxPower,
                    d.cableType, d.maxCableLength, d.networkType, d.flightTimeSum, d.flightCount,
                    d.operationTimeSum, d.operationCount, d.systemTimeSum, d.systemUseCount, d.lastMaintenance,
                    d.timeToMaintenance, d.maintenanceRequired);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static KORVANE::Moorwinch::MoorwinchImpl impl;
    const std::string original(reinterpret_cast<const char*>(data), size);
    std::string reply = original;
    Details before;
    before.productType = "before";
    Details details = before;
    try {
        impl.processSystemDetails(reply, details);
    } catch (const KORVANE::DataException&) {
        FUZZ_REQUIRE(fields(details) == fields(before), "refused reply changed the record");
    }
    FUZZ_REQUIRE(reply == original, "processSystemDetails changed the reply");

    std::ostringstream out;
    impl.print(details, out);
    return 0;
}
