// Internal: the lines of the serial line as a reply wait sees them. Pure
// bookkeeping, no I/O: the exchange feeds it the bytes it reads and asks it for
// the lines that are ready and for how long it may sleep. Not installed.
//
// A line ends at its line feed; at 65535 bytes (a cut: the line goes on, and
// the rest is more of the same line); or when its bytes have been waiting one
// line limit (the connection timeout) without a line feed, so that a station
// that trickles bytes cannot hold a caller. A line that had begun before the
// request was written, and every line waiting by then, is stale: never the
// request's reply. A wait ends at its deadline unless a line is arriving, and
// never later than one line limit after its deadline, however the station
// floods it.
#ifndef KORVANE_MOORWINCH_LINE_READER_H
#define KORVANE_MOORWINCH_LINE_READER_H

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace KORVANE {

class LineReader {
public:
    using Clock = std::chrono::steady_clock;  // a wall-clock step must not stretch a wait
    static constexpr std::size_t maxLine = 65535;

    // A line, or a piece of one that was cut or held too long.
    struct Piece {
        std::string text;    // at most maxLine bytes, the line feed included
        bool whole = false;  // a complete line, ended by its line feed
        bool stale = false;  // its line had begun before the request was written
    };

    // Forgets every byte and line (the port was opened or closed).
    void reset();
    // The request is about to be written: every byte held here and the unread
    // ones the port holds now came before it.
    void markRequest(std::size_t unread);
    // Starts a reply wait of wait at now; lineLimit bounds a line's bytes
    // without a line feed and the wait's overrun past its deadline.
    void startWait(Clock::time_point now, Clock::duration wait, Clock::duration lineLimit);
    // Bytes read from the port at now.
    void feed(const char* bytes, std::size_t size, Clock::time_point now);
    // The next piece ready at now; false when none is.
    bool next(Piece& piece, Clock::time_point now);
    // After the ready pieces were taken: until when the wait may sleep for more
    // bytes (now: only take what is waiting already), or nothing when it is
    // over. replyBegun: a piece of the reply was taken, so the wait ends once
    // no further bytes are waiting.
    std::optional<Clock::time_point> wakeAt(Clock::time_point now, bool replyBegun) const;

private:
    enum class End { feed, cut, held };
    void emit(Piece& piece, std::size_t length, End end, Clock::time_point now);

    std::string buffer;            // bytes read and not yet handed out
    std::size_t scanned = 0;       // of them, the first ones known to hold no line feed
    std::size_t staleBytes = 0;    // of the bytes from the front of buffer on, those that came before the request
    bool lineOpen = false;         // a line has begun and not ended
    bool lineCut = false;          // the open line was cut at maxLine
    bool lineStale = false;        // the open line began before the request
    Clock::time_point bytesSince;  // when the first byte now in buffer was read
    Clock::time_point deadline;
    Clock::time_point hardEnd;     // deadline plus one line limit
    Clock::duration lineLimit{};
};

}  // namespace KORVANE

#endif
