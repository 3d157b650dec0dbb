// The three exception types, the kinds of port failures, and the shortening of
// the serial library's messages.
#include <cerrno>
#include <sstream>
#include <utility>

#include "MoorwinchImpl.h"

namespace KORVANE {
namespace {
std::string compose(const char* prefix, const char* text) {
    std::string message = prefix;
    if (text) message += text;
    return message;
}
}  // namespace

IOException::IOException(const char* text) : message(compose("IO Exception: ", text)) {}
IOException::IOException(const char* text, errorDetail detail)
    : message(compose("IO Exception: ", text)), info(std::move(detail)) {}
IOException::IOException(const IOException& other) : std::exception(other), message(other.message), info(other.info) {}
IOException::~IOException() = default;
const char* IOException::what() const noexcept { return message.c_str(); }

DataException::DataException(const char* text) : message(compose("Data Exception: ", text)) {}
DataException::DataException(const char* text, errorDetail detail)
    : message(compose("Data Exception: ", text)), info(std::move(detail)) {}
DataException::DataException(const DataException& other)
    : std::exception(other), message(other.message), info(other.info) {}
DataException::~DataException() = default;
const char* DataException::what() const noexcept { return message.c_str(); }

ValueException::ValueException(const char* text) : message(compose("Value Exception: ", text)) {}
ValueException::ValueException(const char* text, errorDetail detail)
    : message(compose("Value Exception: ", text)), info(std::move(detail)) {}
ValueException::ValueException(const ValueException& other)
    : std::exception(other), message(other.message), info(other.info) {}
ValueException::~ValueException() = default;
const char* ValueException::what() const noexcept { return message.c_str(); }

namespace {
// In the order of errorKind.
constexpr const char* kindNames[] = {
    "unknown",    "notConnected",   "portMissing",  "portDenied",     "portInUse",
    "portGone",   "portError",      "timeout",      "busy",           "malformedReply",
    "wrongMessage", "stationRefused", "valueOutOfRange", "flagUnavailable",
};
constexpr std::size_t kindCount = sizeof kindNames / sizeof kindNames[0];
static_assert(kindCount == static_cast<std::size_t>(errorKind::flagUnavailable) + 1, "a name for every kind");
}  // namespace

const char* errorKindName(errorKind kind) noexcept {
    const auto index = static_cast<std::size_t>(kind);
    return index < kindCount ? kindNames[index] : kindNames[0];
}

bool errorKindFromName(const std::string& name, errorKind& kind) noexcept {
    for (std::size_t i = 0; i < kindCount; ++i) {
        if (name == kindNames[i]) {
            kind = static_cast<errorKind>(i);
            return true;
        }
    }
    return false;
}

namespace {
struct ErrnoKind {
    int error;
    errorKind kind;
};

// What the errno of a failed open says about the device.
constexpr ErrnoKind openKinds[] = {
    {ENOENT, errorKind::portMissing}, {ENODEV, errorKind::portMissing}, {ENXIO, errorKind::portMissing},
    {ENOTDIR, errorKind::portMissing}, {EACCES, errorKind::portDenied}, {EPERM, errorKind::portDenied},
    {EBUSY, errorKind::portInUse},
};
// What the errno of a failed read, write or close says: the device went away.
constexpr ErrnoKind ioKinds[] = {
    {EIO, errorKind::portGone}, {ENXIO, errorKind::portGone}, {ENODEV, errorKind::portGone},
};

template <std::size_t N>
errorKind kindOf(const ErrnoKind (&table)[N], int error) {
    for (const ErrnoKind& row : table)
        if (row.error == error) return row.kind;
    return errorKind::portError;
}
}  // namespace

errorKind openErrorKind(int error) { return kindOf(openKinds, error); }
errorKind ioErrorKind(int error) { return kindOf(ioKinds, error); }

errorDetail Moorwinch::MoorwinchImpl::portDetail(errorKind kind, int systemError) const {
    errorDetail detail;
    detail.kind = kind;
    detail.port = serialPort.getPort();
    detail.systemError = systemError;
    return detail;
}

void Moorwinch::MoorwinchImpl::raiseTimeout(unsigned int waitMs) const {
    errorDetail detail = portDetail(errorKind::timeout);
    detail.waitMs = waitMs;
    raise<IOException>("receiveData", ": Data Receiver Timeout!", std::move(detail));
}

void Moorwinch::MoorwinchImpl::raiseSerialFailure(const char* operation, const std::exception& e,
                                                  errorDetail detail) {
    std::string text = e.what();
    beautifyExceptions(text);
    raise<IOException>(operation, ": " + (text.empty() ? std::string("Serial connection exception") : text),
                       std::move(detail));
}

// 'IO Exception (5): Input/output error, file unix, line 120.' becomes
// 'Input/output error': the text after the first colon, split at commas, each
// piece trimmed of blanks, pieces naming a source file or line dropped.
void Moorwinch::MoorwinchImpl::beautifyExceptions(std::string& message) {
    std::size_t colon = message.find(':');
    if (colon != std::string::npos) message.erase(0, std::min(colon + 2, message.size()));

    std::istringstream pieces(message);
    std::string piece;
    std::string result;
    bool first = true;
    while (std::getline(pieces, piece, ',')) {
        std::size_t begin = piece.find_first_not_of(' ');
        piece = begin == std::string::npos ? std::string() : piece.substr(begin, piece.find_last_not_of(' ') - begin + 1);
        if (piece.compare(0, 4, "file") == 0 || piece.compare(0, 4, "line") == 0) continue;
        if (!first) result += ", ";
        result += piece;
        first = false;
    }
    message = result;
}

}  // namespace KORVANE
