// One exchange with the ground station: frame and send a request line, await
// the reply line, check its envelope.
#include <time.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <random>
#include <utility>

#include "MoorwinchImpl.h"
#include "MoorwinchReplyFields.h"

namespace KORVANE {
namespace {

using Clock = std::chrono::steady_clock;  // a wall-clock step must not stretch a wait

long long elapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Sleeps the whole interval, resuming after a signal.
void pauseMs(long ms) {
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

unsigned short freshMessageId() {
    std::random_device device("default");
    std::mt19937 engine(device());
    std::uniform_int_distribution<unsigned short> range(1000, 65535);
    return range(engine);
}

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

constexpr std::size_t maxLineLength = 65535;

// Bytes in the port before a request is written: the rest of a reply that came
// after its wait. A port that fails here fails the send, which reports it.
std::size_t waitingBytes(serial::Serial& port) {
    try {
        return port.available();
    } catch (const serial::IOException&) {
        return 0;
    } catch (const serial::SerialException&) {
        return 0;
    }
}

}  // namespace

void Moorwinch::MoorwinchImpl::sendData(std::string payload, unsigned short& msgId) {
    msgId = freshMessageId();

    std::ostringstream line;
    line << "{\"" << mw_communication.key << "\":{\"" << mw_communication.msg_id.key << "\":" << msgId << "},"
         << payload << "}\n";
    payload = line.str();

    connectionStatus = serialPort.isOpen() ? 1 : 0;
    if (connectionStatus == 0) raise<IOException>("sendData", ": no connection established");

    try {
        serialPort.write(payload);
        if (tracing.load(std::memory_order_acquire)) traceLine(traceDirection::sent, payload);
    } catch (serial::PortNotOpenedException&) {
        raise<IOException>("sendData", ": No serial connection established!");
    } catch (serial::IOException& e) {
        raiseSerialFailure("sendData", e);
    } catch (serial::SerialException& e) {
        raiseSerialFailure("sendData", e);
    }
}

void Moorwinch::MoorwinchImpl::raiseSerialFailure(const char* operation, const std::exception& e) {
    std::string text = e.what();
    beautifyExceptions(text);
    raise<IOException>(operation, ": " + (text.empty() ? std::string("Serial connection exception") : text));
}

// The serial library's own readline restarts its timeout for every byte, so a
// station that trickles bytes could hold the caller indefinitely. This read
// counts the read timeout for the whole line on our own clock and only takes
// bytes the port already holds.
void Moorwinch::MoorwinchImpl::readLine(std::string& reply) {
    const std::size_t from = reply.size();
    readLineBytes(reply);
    if (reply.size() > from && tracing.load(std::memory_order_acquire))
        traceLine(traceDirection::received, reply.substr(from));
}

void Moorwinch::MoorwinchImpl::readLineBytes(std::string& reply) {
    const auto start = Clock::now();
    const long long limit = connectionTimeout;
    std::size_t taken = 0;
    while (taken < maxLineLength) {
        std::size_t ready = serialPort.available();
        if (ready == 0) {
            if (elapsedMs(start) >= limit) return;
            pauseMs(1);
            continue;
        }
        // Byte by byte, so that nothing after the line feed is taken from the port.
        for (; ready > 0 && taken < maxLineLength; --ready) {
            std::uint8_t byte = 0;
            if (serialPort.read(&byte, 1) != 1) {
                if (elapsedMs(start) >= limit) return;
                break;
            }
            reply.push_back(static_cast<char>(byte));
            ++taken;
            if (byte == '\n') return;
        }
    }
}

void Moorwinch::MoorwinchImpl::receiveData(std::string& reply, int timeout, std::size_t waiting) {
    const auto start = Clock::now();
    const long interval = timeout <= 100 ? 5 : timeout / 100;
    bool received = false;
    std::size_t taken = 0;
    for (;;) {
        if (elapsedMs(start) >= timeout) break;
        // Only bytes beyond what was waiting before the request count as its reply.
        if (received && taken > waiting) return;
        pauseMs(interval);
        // A steady stream of lines must not keep the drain going past the wait.
        while (serialPort.available() > 0) {
            const std::size_t before = reply.size();
            readLine(reply);
            taken += reply.size() - before;
            pauseMs(interval);
            received = true;
            if (elapsedMs(start) >= timeout) break;
        }
        std::size_t brace = reply.find('{');
        if (brace == std::string::npos)
            reply.clear();
        else if (brace > 0)
            reply.erase(0, brace);
    }
    if (!received) raise<IOException>("receiveData", ": Data Receiver Timeout!");
}

void Moorwinch::MoorwinchImpl::checkReply(std::string& reply, unsigned short msgId) {
    nlohmann::json document;
    if (!replyFields::parse(reply, document)) raise<DataException>("checkReply", ": malformed buffer data");
    if (!document.is_object()) raise<DataException>("checkReply", ": reply data malformed");
    auto com = document.find(mw_objects[4]);
    if (com == document.end() || !com->is_object()) raise<DataException>("checkReply", ": reply data malformed");

    unsigned short replyId = envelopeNumber(*com, mw_communication.msg_id.key, 0);
    unsigned short status = envelopeNumber(*com, mw_communication.com_status.key, 255);
    if (replyId != msgId) raise<DataException>("checkReply", ": wrong message handler");
    if (status != 0) raise<DataException>("checkReply", statusText(status));
}

std::string Moorwinch::MoorwinchImpl::transfer(const std::string& payload, unsigned int waitFactor,
                                                unsigned short& msgId) {
    // A wait too long for the receiver's int is clamped rather than wrapped negative.
    const long long wait = static_cast<long long>(connectionTimeout) * waitFactor;
    const int replyWait = wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
    std::string reply;
    try {
        // A late reply still in the port is read ahead of this one, and this
        // one is awaited all the same: otherwise every later exchange would read
        // the reply of the one before it.
        const std::size_t waiting = waitingBytes(serialPort);
        sendData(payload, msgId);
        receiveData(reply, replyWait, waiting);
    } catch (IOException& e) {
        throw IOException(e);
    }
    return reply;
}

std::string Moorwinch::MoorwinchImpl::checked(std::string reply, unsigned short msgId) {
    try {
        checkReply(reply, msgId);
    } catch (DataException& e) {
        throw DataException(e);
    }
    return reply;
}

std::string Moorwinch::MoorwinchImpl::exchange(const char* operation, const std::string& payload,
                                                unsigned int waitFactor) {
    std::unique_lock<std::timed_mutex> lock(exchangeLock, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(connectionTimeout)))
        raise<IOException>(operation, ": Communication timeout");
    unsigned short msgId = 0;
    std::string reply = transfer(payload, waitFactor, msgId);
    lock.unlock();  // validation and parsing run without the lock
    return checked(std::move(reply), msgId);
}

std::string Moorwinch::MoorwinchImpl::queryPayload(const mw_entry_u8& command) {
    std::ostringstream payload;
    payload << "\"" << mw_command.key << "\":{\"" << command.key << "\":" << static_cast<int>(command.value) << "}";
    return payload.str();
}

}  // namespace KORVANE
