// The reply wait's line reader. The input is a run of records: a control byte
// (bits 0-5: milliseconds the clock moves on; bit 6: the request is written,
// with that many bytes still unread; bit 7: the reply has begun), a length,
// and that many bytes read from the port. Every byte comes out exactly once,
// in order, in pieces no longer than a line; a whole line is one line; the
// wait never sleeps past its hard end.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "MoorwinchLineReader.h"

using KORVANE::LineReader;

namespace {

void check(const LineReader::Piece& piece, std::string& out) {
    FUZZ_REQUIRE(!piece.text.empty() && piece.text.size() <= LineReader::maxLine, "piece length");
    const std::size_t feed = piece.text.find('\n');
    FUZZ_REQUIRE(feed == std::string::npos || feed + 1 == piece.text.size(), "a line feed inside a piece");
    FUZZ_REQUIRE(!piece.whole || feed != std::string::npos, "a whole line without its line feed");
    out += piece.text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using std::chrono::milliseconds;
    const LineReader::Clock::time_point start{};
    const milliseconds wait(300), limit(100);
    LineReader reader;
    reader.startWait(start, wait, limit);
    auto now = start;
    std::string in, out;
    LineReader::Piece piece;
    for (std::size_t at = 0; at + 2 <= size;) {
        const std::uint8_t control = data[at];
        const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
        now += milliseconds(control & 0x3F);
        if (control & 0x40) reader.markRequest(control & 0x3F);
        reader.feed(reinterpret_cast<const char*>(data) + at + 2, length, now);
        in.append(reinterpret_cast<const char*>(data) + at + 2, length);
        at += 2 + length;
        while (reader.next(piece, now)) check(piece, out);
        const auto until = reader.wakeAt(now, (control & 0x80) != 0);
        FUZZ_REQUIRE(!until || (*until >= now && *until <= start + wait + limit), "sleep past the hard end");
    }
    while (reader.next(piece, now + 2 * limit)) check(piece, out);
    FUZZ_REQUIRE(out == in, "bytes lost, doubled or reordered");
    return 0;
}
