// The lines of the serial line as a reply wait sees them.
#include "MoorwinchLineReader.h"

#include <algorithm>

namespace KORVANE {

void LineReader::reset() { *this = LineReader(); }

void LineReader::markRequest(std::size_t unread) {
    staleBytes = buffer.size() + unread;
    if (lineOpen) lineStale = true;  // also a cut line whose rest has not come yet
}

void LineReader::startWait(Clock::time_point now, Clock::duration wait, Clock::duration limit) {
    deadline = now + wait;
    hardEnd = deadline + limit;
    lineLimit = limit;
}

void LineReader::feed(const char* bytes, std::size_t size, Clock::time_point now) {
    if (size == 0) return;
    if (buffer.empty()) bytesSince = now;
    if (!lineOpen) {
        lineOpen = true;
        lineCut = false;
        lineStale = staleBytes > 0;
    }
    buffer.append(bytes, size);
}

bool LineReader::next(Piece& piece, Clock::time_point now) {
    if (buffer.empty()) return false;
    const std::size_t feedAt = buffer.find('\n', scanned);
    if (feedAt != std::string::npos && feedAt < maxLine) {
        emit(piece, feedAt + 1, End::feed, now);
    } else if (buffer.size() >= maxLine) {
        emit(piece, maxLine, End::cut, now);
    } else if (now - bytesSince >= lineLimit) {
        emit(piece, buffer.size(), End::held, now);
    } else {
        scanned = buffer.size();
        return false;
    }
    return true;
}

void LineReader::emit(Piece& piece, std::size_t length, End end, Clock::time_point now) {
    piece.text.assign(buffer, 0, length);
    piece.whole = end == End::feed && !lineCut;
    piece.stale = lineStale;
    buffer.erase(0, length);
    scanned = 0;
    staleBytes -= std::min(staleBytes, length);
    lineCut = end == End::cut;
    lineOpen = lineCut;
    if (buffer.empty()) return;
    bytesSince = now;  // the rest was read by now at the latest
    if (!lineOpen) {
        lineOpen = true;
        lineStale = staleBytes > 0;
    }
}

std::optional<LineReader::Clock::time_point> LineReader::wakeAt(Clock::time_point now, bool replyBegun) const {
    if (now >= hardEnd) return std::nullopt;
    if (!buffer.empty()) return std::min(bytesSince + lineLimit, hardEnd);
    if (replyBegun) return now;
    if (now >= deadline) return std::nullopt;
    return deadline;
}

}  // namespace KORVANE
