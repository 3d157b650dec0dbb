// One exchange with the ground station: frame and send a request line, await
// the reply line, check its envelope.
#include <algorithm>
#include <chrono>
#include <climits>
#include <random>
#include <utility>

#include "MoorwinchImpl.h"
#include "MoorwinchReplyFields.h"

namespace KORVANE {
namespace {

using Clock = std::chrono::steady_clock;  // a wall-clock step must not stretch a wait

// The integer at key reduced to 16 bits, or fallback when absent or not an integer.
unsigned short envelopeNumber(const nlohmann::json& com, const char* key, unsigned short fallback) {
    std::uint32_t word = 0;
    return replyFields::word(com, key, word) ? static_cast<unsigned short>(word & 0xFFFFu) : fallback;
}

const char* statusText(unsigned short status) {
    switch (status) {
        case 1: return ": buffer overflow on remote communication controller";
        case 2: return ": timeout during request transmission";
        case 3: return ": sent request malformed";
        case 4: return ": wrong command sent";
        case 5: return ": data does not fit to sent command";
        case 6: return ": error during command execution";
        default: return ": unkown status reply";
    }
}

constexpr std::size_t maxStationMessage = 255;  // bytes of "COM_STATUS_MSG" kept for an error

// The station's own word on a refusal, bounded, cut at a character boundary,
// control characters blanked so that it prints safely wherever it is shown.
std::string stationMessage(const nlohmann::json& com) {
    std::string text;
    if (!replyFields::takeText(com, mw_communication.com_status_msg.key, text)) return text;
    if (text.size() > maxStationMessage) {
        std::size_t end = maxStationMessage;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;  // UTF-8 continuation
        text.resize(end);
    }
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return text;
}

// The message id of a reply document, reduced to 16 bits, or -1 when it has none.
long replyId(const nlohmann::json& document) {
    if (!document.is_object()) return -1;
    auto com = document.find(mw_objects[4]);
    if (com == document.end() || !com->is_object()) return -1;
    std::uint32_t word = 0;
    if (!replyFields::word(*com, mw_communication.msg_id.key, word)) return -1;
    return static_cast<long>(word & 0xFFFFu);
}

// Text from the first "{" on; empty when there is none.
std::string fromFirstBrace(const std::string& text) {
    std::size_t brace = text.find('{');
    return brace == std::string::npos ? std::string() : text.substr(brace);
}

}  // namespace

void Moorwinch::MoorwinchImpl::sendData(std::string payload, unsigned short& msgId) {
    // Each id comes straight from the random device, so ids of consecutive
    // requests are independent. The device is made once per object: making one
    // costs more than the rest of an exchange where the processor's
    // identification traps to a hypervisor. An id still awaited as a late reply
    // is drawn again, so that no reply can be taken for the wrong request.
    if (!idSource) idSource = std::make_unique<std::random_device>("default");
    std::uniform_int_distribution<unsigned short> range(1000, 65535);
    do {
        msgId = range(*idSource);
    } while (isAbandoned(msgId));

    payload = std::string("{\"") + mw_communication.key + "\":{\"" + mw_communication.msg_id.key +
              "\":" + std::to_string(msgId) + "}," + payload + "}\n";

    connectionStatus = serialPort.isOpen() ? 1 : 0;
    if (connectionStatus == 0)
        raise<IOException>("sendData", ": no connection established", portDetail(errorKind::notConnected));

    try {
        lines.markRequest(unreadBytes());
        serialPort.write(payload);
        if (tracing.load(std::memory_order_acquire)) traceLine(traceDirection::sent, payload);
    } catch (serial::PortNotOpenedException&) {
        raise<IOException>("sendData", ": No serial connection established!", portDetail(errorKind::notConnected));
    } catch (serial::IOException& e) {
        raiseSerialFailure("sendData", e, portDetail(ioErrorKind(e.getErrorNumber()), e.getErrorNumber()));
    } catch (serial::SerialException& e) {
        // The serial library's way of saying that the device stopped taking data.
        raiseSerialFailure("sendData", e, portDetail(errorKind::portGone));
    }
}

// The list keeps the newest ids, oldest first.
void Moorwinch::MoorwinchImpl::abandon(unsigned short msgId) {
    if (isAbandoned(msgId)) return;
    if (abandonedCount == abandonedCapacity) {
        for (std::size_t i = 1; i < abandonedCount; ++i) abandoned[i - 1] = abandoned[i];
        --abandonedCount;
    }
    abandoned[abandonedCount++] = msgId;
}

bool Moorwinch::MoorwinchImpl::isAbandoned(unsigned short msgId) const {
    for (std::size_t i = 0; i < abandonedCount; ++i)
        if (abandoned[i] == msgId) return true;
    return false;
}

bool Moorwinch::MoorwinchImpl::dropsAsLate(const std::string& line, nlohmann::json& document, bool& parsed) {
    parsed = replyFields::parse(fromFirstBrace(line), document);
    if (!parsed || abandonedCount == 0) return false;
    const long id = replyId(document);
    for (std::size_t i = 0; i < abandonedCount; ++i) {
        if (abandoned[i] != id) continue;
        // A reply comes once: its id is forgotten.
        for (std::size_t k = i + 1; k < abandonedCount; ++k) abandoned[k - 1] = abandoned[k];
        --abandonedCount;
        return true;
    }
    return false;
}

std::size_t Moorwinch::MoorwinchImpl::unreadBytes() {
    // A port that fails here fails the send, which reports it.
    try {
        return serialPort.available();
    } catch (const serial::IOException&) {
        return 0;
    } catch (const serial::SerialException&) {
        return 0;
    }
}

std::size_t Moorwinch::MoorwinchImpl::readAvailable(long ms) {
    // The port's read timeout bounds the wait for the descriptor to become
    // readable; it is put back at once so that writes and reads keep theirs.
    serial::Timeout slice = serial::Timeout::simpleTimeout(connectionTimeout);
    slice.read_timeout_constant = static_cast<std::uint32_t>(ms);
    serialPort.setTimeout(slice);
    bool readable = false;
    try {
        readable = serialPort.waitReadable();
    } catch (...) {
        serial::Timeout usual = serial::Timeout::simpleTimeout(connectionTimeout);
        serialPort.setTimeout(usual);
        throw;
    }
    serial::Timeout usual = serial::Timeout::simpleTimeout(connectionTimeout);
    serialPort.setTimeout(usual);
    if (!readable) return 0;
    // Readable with nothing to read is a device that has gone away: a one-byte
    // read reports it the serial library's way. One read takes at most a line.
    const std::size_t ready = std::min(std::max<std::size_t>(serialPort.available(), 1), LineReader::maxLine);
    std::string chunk(ready, '\0');
    const std::size_t got = serialPort.read(reinterpret_cast<std::uint8_t*>(&chunk[0]), ready);
    lines.feed(chunk.data(), got, Clock::now());
    return got;
}

// The reply wait; the line reader keeps the rules of lines, of what came before
// the request and of the deadline. Every piece is traced as it comes. Stale
// pieces and the late reply of an abandoned request are dropped; the others
// make up the reply from its first "{" on, at most one line long. The wait
// sleeps until bytes come or its time is up, and ends once a piece of the reply
// was taken and no further byte is waiting. If only dropped pieces came, it
// ends at its time with the timeout.
void Moorwinch::MoorwinchImpl::receive(Reply& reply, int timeout) {
    if (timeout <= 0) raiseTimeout(0);
    lines.startWait(Clock::now(), std::chrono::milliseconds(timeout), std::chrono::milliseconds(connectionTimeout));

    bool received = false;    // a piece for this reply came, "{" or not
    std::size_t pieces = 0;   // pieces that added to the reply's text
    nlohmann::json document;  // the parse of the first, when it was a whole line
    bool parsed = false;
    auto take = [&](const LineReader::Piece& piece) {
        if (tracing.load(std::memory_order_acquire)) traceLine(traceDirection::received, piece.text);
        if (piece.stale) return;
        nlohmann::json line;
        bool lineParsed = false;
        if (piece.whole && dropsAsLate(piece.text, line, lineParsed)) return;
        received = true;
        const std::size_t from = reply.text.empty() ? piece.text.find('{') : 0;
        const std::size_t room = LineReader::maxLine - reply.text.size();
        if (from == std::string::npos || room == 0) return;
        reply.text.append(piece.text, from, room);
        if (++pieces == 1 && lineParsed) {
            document = std::move(line);
            parsed = true;
        }
    };

    LineReader::Piece piece;
    for (;;) {
        while (lines.next(piece, Clock::now())) take(piece);
        const auto now = Clock::now();
        const auto until = lines.wakeAt(now, !reply.text.empty());
        if (!until) break;
        // Rounded up, so that a wait never ends a fraction of a millisecond early and spins.
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(*until - now).count();
        if (readAvailable(left <= 0 ? 0L : static_cast<long>((left + 999) / 1000)) == 0 && left <= 0) break;
    }
    if (!received) raiseTimeout(static_cast<unsigned int>(timeout));
    reply.parsed = parsed && pieces == 1;
    if (reply.parsed) reply.document = std::move(document);
}

void Moorwinch::MoorwinchImpl::receiveData(std::string& reply, int timeout) {
    Reply received;
    received.text = std::move(reply);
    try {
        receive(received, timeout);
    } catch (...) {
        reply = std::move(received.text);
        throw;
    }
    reply = std::move(received.text);
}

void Moorwinch::MoorwinchImpl::checkReply(std::string& reply, unsigned short msgId) {
    nlohmann::json document;
    if (!replyFields::parse(reply, document))
        raise<DataException>("checkReply", ": malformed buffer data", errorKind::malformedReply);
    checkEnvelope(document, msgId);
}

void Moorwinch::MoorwinchImpl::checkEnvelope(const nlohmann::json& document, unsigned short msgId) {
    if (!document.is_object()) raise<DataException>("checkReply", ": reply data malformed", errorKind::malformedReply);
    auto com = document.find(mw_objects[4]);
    if (com == document.end() || !com->is_object())
        raise<DataException>("checkReply", ": reply data malformed", errorKind::malformedReply);

    unsigned short replyId = envelopeNumber(*com, mw_communication.msg_id.key, 0);
    unsigned short status = envelopeNumber(*com, mw_communication.com_status.key, 255);
    if (replyId != msgId) raise<DataException>("checkReply", ": wrong message handler", errorKind::wrongMessage);
    if (status == 0) return;
    // A reply without an integer status did not refuse anything: it is malformed.
    std::uint32_t word = 0;
    if (!replyFields::word(*com, mw_communication.com_status.key, word))
        raise<DataException>("checkReply", statusText(status), errorKind::malformedReply);
    errorDetail detail;
    detail.kind = errorKind::stationRefused;
    detail.stationStatus = status;
    detail.stationMessage = stationMessage(*com);
    raise<DataException>("checkReply", statusText(status), std::move(detail));
}

Moorwinch::MoorwinchImpl::Reply Moorwinch::MoorwinchImpl::transfer(const std::string& payload,
                                                                   unsigned int waitFactor, unsigned short& msgId) {
    // A wait too long for the receiver's int is clamped rather than wrapped negative.
    const long long wait = static_cast<long long>(connectionTimeout) * waitFactor;
    const int replyWait = wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
    Reply reply;
    bool sent = false;
    try {
        sendData(payload, msgId);
        sent = true;
        receive(reply, replyWait);
    } catch (...) {
        if (sent) abandon(msgId);
        throw;
    }
    // Without its own reply the request may still be answered later; that
    // answer must not be taken for the next request's.
    if (!reply.parsed || replyId(reply.document) != msgId) abandon(msgId);
    return reply;
}

Moorwinch::MoorwinchImpl::Reply Moorwinch::MoorwinchImpl::checked(Reply reply, unsigned short msgId) {
    try {
        // A reply not parsed on the way in (more than one line, or a line cut
        // short) is parsed here, once, for the check and the parser alike.
        if (!reply.parsed) {
            reply.parsed = replyFields::parse(reply.text, reply.document);
            if (!reply.parsed) raise<DataException>("checkReply", ": malformed buffer data", errorKind::malformedReply);
        }
        checkEnvelope(reply.document, msgId);
    } catch (DataException& e) {
        throw DataException(e);
    }
    return reply;
}

Moorwinch::MoorwinchImpl::Reply Moorwinch::MoorwinchImpl::exchange(const char* operation, const std::string& payload,
                                                                   unsigned int waitFactor) {
    std::unique_lock<std::timed_mutex> lock(exchangeLock, std::defer_lock);
    const unsigned int lockWait = connectionTimeout;
    if (!lock.try_lock_for(std::chrono::milliseconds(lockWait))) {
        errorDetail detail = portDetail(errorKind::busy);
        detail.waitMs = lockWait;
        raise<IOException>(operation, ": Communication timeout", std::move(detail));
    }
    unsigned short msgId = 0;
    Reply reply = transfer(payload, waitFactor, msgId);
    lock.unlock();  // validation and parsing run without the lock
    return checked(std::move(reply), msgId);
}

std::string Moorwinch::MoorwinchImpl::queryPayload(const mw_entry_u8& command) {
    std::ostringstream payload;
    payload << "\"" << mw_command.key << "\":{\"" << command.key << "\":" << static_cast<int>(command.value) << "}";
    return payload.str();
}

}  // namespace KORVANE
