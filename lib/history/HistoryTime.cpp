// Times: Unix seconds, ISO 8601 and "before now" forms, one parser for the
// tool, the service and the Python module.
#include <chrono>
#include <cmath>
#include <cstdio>

#include "MoorwinchHistory.h"

namespace KORVANE {
namespace MoorwinchHistory {

namespace {

constexpr Time second = microsecondsPerSecond;
constexpr Time day = 86400 * second;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back
// (the usual era-based algorithms).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, int& year, unsigned& month, unsigned& dayOfMonth) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    dayOfMonth = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

unsigned daysInMonth(std::int64_t year, unsigned month) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

const char* const forms =
    "give Unix seconds (1714564800), ISO 8601 with a zone (2024-05-01T12:00:00Z, 2024-05-01T14:00:00+02:00) "
    "or a time before now (30s, 10m, 2h, 1d)";

QueryError badTime(const std::string& text, const std::string& why = "") {
    return QueryError("bad time '" + text + "'" + (why.empty() ? "" : ": " + why) + "; " + forms);
}

// Reads the text from left to right.
struct Scanner {
    const std::string& text;
    std::size_t at = 0;

    bool done() const { return at == text.size(); }
    bool isDigit() const { return !done() && text[at] >= '0' && text[at] <= '9'; }
    bool take(char c) {
        if (done() || text[at] != c) return false;
        ++at;
        return true;
    }
    // Exactly n digits.
    bool number(int n, std::int64_t& value) {
        value = 0;
        for (int i = 0; i < n; ++i, ++at) {
            if (!isDigit()) return false;
            value = value * 10 + (text[at] - '0');
        }
        return true;
    }
    // One to max digits.
    bool digits(std::size_t max, std::int64_t& value) {
        std::size_t start = at;
        value = 0;
        while (isDigit() && at - start < max) value = value * 10 + (text[at++] - '0');
        return at > start && !isDigit();
    }
    // ".ddd": the fraction in microseconds (digits past the sixth are dropped).
    bool fraction(Time& micros) {
        micros = 0;
        if (!take('.')) return true;
        if (!isDigit()) return false;
        Time scale = second / 10;
        for (; isDigit(); ++at, scale /= 10) micros += (text[at] - '0') * scale;
        return true;
    }
};

Time checked(const std::string& text, Time time) {
    if (time < minTime || time > maxTime) throw badTime(text, "outside 1970 to 9999");
    return time;
}

Time parseIso(const std::string& text) {
    Scanner s{text};
    std::int64_t year, month, dayOfMonth, hour, minute, sec = 0, zoneHours = 0, zoneMinutes = 0;
    Time fraction = 0;
    if (!s.number(4, year) || !s.take('-') || !s.number(2, month) || !s.take('-') || !s.number(2, dayOfMonth) ||
        !(s.take('T') || s.take('t') || s.take(' ')) || !s.number(2, hour) || !s.take(':') || !s.number(2, minute))
        throw badTime(text);
    if (s.take(':') && (!s.number(2, sec) || !s.fraction(fraction))) throw badTime(text);
    if (s.done()) throw badTime(text, "no zone: add Z for UTC or an offset such as +02:00");
    int sign = 0;
    if (s.take('Z') || s.take('z')) {
    } else if (s.take('+')) {
        sign = 1;
    } else if (s.take('-')) {
        sign = -1;
    } else {
        throw badTime(text);
    }
    if (sign != 0) {
        if (!s.number(2, zoneHours)) throw badTime(text);
        if (!s.done()) {
            s.take(':');
            if (!s.number(2, zoneMinutes)) throw badTime(text);
        }
    }
    if (!s.done()) throw badTime(text);
    if (month < 1 || month > 12 || dayOfMonth < 1 ||
        dayOfMonth > daysInMonth(year, static_cast<unsigned>(month)) || hour > 23 || minute > 59 || sec > 59 ||
        zoneHours > 23 || zoneMinutes > 59)
        throw badTime(text, "no such date or time");
    Time time = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(dayOfMonth)) * day +
                ((hour * 60 + minute) * 60 + sec) * second + fraction -
                sign * (zoneHours * 60 + zoneMinutes) * 60 * second;
    return checked(text, time);
}

}  // namespace

Time now() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Time fromSeconds(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > static_cast<double>(maxTime / second))
        throw QueryError("time " + std::to_string(seconds) + " is outside 1970 to 9999");
    return std::llround(seconds * static_cast<double>(second));
}

double toSeconds(Time time) { return static_cast<double>(time) / static_cast<double>(second); }

std::string formatTime(Time time) {
    Time days = time >= 0 ? time / day : (time - day + 1) / day;
    Time inDay = time - days * day;
    int year;
    unsigned month, dayOfMonth;
    civilFromDays(days, year, month, dayOfMonth);
    Time secs = inDay / second;
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", year, month, dayOfMonth,
                  static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60),
                  static_cast<int>(inDay % second / 1000));
    return text;
}

Time parseTime(const std::string& text, Time current) {
    if (text == "now") return current;
    Scanner s{text};
    std::int64_t count;
    // Unix seconds or a count of units, up to 12 digits (no overflow below).
    if (s.digits(12, count)) {
        const std::size_t afterCount = s.at;
        Time fraction;
        if (s.fraction(fraction) && s.done()) return checked(text, count * second + fraction);
        s.at = afterCount;
        static const struct {
            char unit;
            Time length;
        } units[] = {{'s', second}, {'m', 60 * second}, {'h', 3600 * second}, {'d', day}};
        for (const auto& u : units) {
            if (s.at + 1 == text.size() && text[s.at] == u.unit) {
                if (count > maxTime / u.length) throw badTime(text, "outside 1970 to 9999");
                return checked(text, current - count * u.length);
            }
        }
        if (s.at == 4 && !s.done() && text[4] == '-') return parseIso(text);
    }
    throw badTime(text);
}

Time timeFromJson(const json& value, Time current) {
    if (value.is_string()) return parseTime(value.get<std::string>(), current);
    if (value.is_number_unsigned()) {
        auto seconds = value.get<std::uint64_t>();
        if (seconds > static_cast<std::uint64_t>(maxTime / second))
            throw QueryError("time " + std::to_string(seconds) + " is outside 1970 to 9999");
        return static_cast<Time>(seconds) * second;
    }
    if (value.is_number()) return fromSeconds(value.get<double>());
    throw QueryError(std::string("a time is a number or a text: ") + forms);
}

}  // namespace MoorwinchHistory
}  // namespace KORVANE
