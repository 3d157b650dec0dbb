// MoorwinchService: what a client of the moorwinchd service shares with the
// service itself, so that the moorwinch tool, the service and programs of
// your own read addresses, tokens and the age of data by one rule.
// Header-only; needs nothing but the standard library.
#ifndef KORVANE_MOORWINCH_SERVICE_H
#define KORVANE_MOORWINCH_SERVICE_H

#include <cstdlib>
#include <string>

namespace KORVANE {
namespace MoorwinchService {

// A TCP address: host (a name or a numeric address, IPv6 without its brackets)
// and a decimal port.
struct endpoint {
    std::string host;
    std::string port;
    // host:port, or [v6]:port, as shown to users.
    std::string text() const { return host.find(':') != std::string::npos ? "[" + host + "]:" + port : host + ":" + port; }
};

constexpr const char* loopbackHost = "127.0.0.1";

// Reads "PORT", "HOST:PORT" or "[V6]:PORT" (an IPv6 address only in brackets);
// the host is loopback when none is named. False with a reason for the user
// when the text is none of these or the port is not 0 to 65535.
inline bool parseEndpoint(const std::string& text, endpoint& result, std::string& problem) {
    endpoint e;
    std::string portText = text;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find("]:");
        if (close == std::string::npos || close < 2) {
            problem = "'" + text + "' is not [ADDRESS]:PORT";
            return false;
        }
        e.host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        e.host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (e.host.find(':') != std::string::npos) {
            problem = "write an IPv6 address in brackets, e.g. [::1]:" + portText;
            return false;
        }
    }
    if (e.host.empty()) e.host = loopbackHost;
    if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos ||
        std::strtoul(portText.c_str(), nullptr, 10) > 65535) {
        problem = "'" + portText + "' is not a port number (0 to 65535)";
        return false;
    }
    e.port = std::to_string(std::strtoul(portText.c_str(), nullptr, 10));
    result = e;
    return true;
}

// The token in a token file's text: its first line without the blanks, tabs
// and carriage return around it.
inline std::string tokenFromFileText(const std::string& text) {
    const std::string line = text.substr(0, text.find('\n'));
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

// The largest token file read; a larger file is refused.
constexpr std::size_t maxTokenFileBytes = 4096;

// Station data older than this many seconds are stale: two poll intervals plus
// the bound of one status poll (the exchange lock wait, the reply wait and the
// time of one line, each one connection timeout).
inline double staleAfterSeconds(double pollIntervalSeconds, unsigned int timeoutMs) {
    return 2 * pollIntervalSeconds + 3 * static_cast<double>(timeoutMs) / 1000.0;
}

}  // namespace MoorwinchService
}  // namespace KORVANE

#endif
