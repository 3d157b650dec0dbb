// Internal: the value formats, code tables and line tables shared by the reports.
// Header-only; not installed.
#ifndef KORVANE_MOORWINCH_FORMAT_H
#define KORVANE_MOORWINCH_FORMAT_H

#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ios>
#include <limits>
#include <ostream>
#include <string>

namespace KORVANE {
namespace report {

// The unit formats fit a 15-byte buffer: at most 14 characters, the rest is
// cut (a huge length loses its unit rather than overflowing the line).
[[gnu::format(printf, 1, 2)]] inline std::string cut14(const char* format, ...) {
    char buffer[15];
    std::va_list args;
    va_start(args, format);
    int written = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return written < 0 ? std::string() : std::string(buffer);
}

inline std::string metres(float v) { return cut14("%.2f m", static_cast<double>(v)); }
inline std::string speed(float v) { return cut14("%.2f m/s", static_cast<double>(v)); }
inline std::string volts(float v) { return cut14("%.2f V", static_cast<double>(v)); }
inline std::string amperes(float v) { return cut14("%.2f A", static_cast<double>(v)); }
inline std::string hertz(float v) { return cut14("%.2f Hz", static_cast<double>(v)); }
inline std::string watts(float v) { return cut14("%.2f W", static_cast<double>(v)); }
// Written signed, as the station's tools do: 4294967295 shows as "-1 %".
inline std::string percent(std::uint32_t v) { return cut14("%i %%", static_cast<int>(v)); }

inline std::string number(std::int32_t v) { return std::to_string(v); }
inline std::string count(std::uint32_t v) { return std::to_string(v); }

// An integral float as "%d" when it fits an int; anything else (huge, infinite,
// NaN) as the float itself, since converting it to int would be undefined.
inline std::string wholeNumber(double integral) {
    if (integral >= static_cast<double>(std::numeric_limits<int>::min()) &&
        integral <= static_cast<double>(std::numeric_limits<int>::max()))
        return std::to_string(static_cast<int>(integral));
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.0f", integral);
    return buffer;
}
// Nearest integer, halves away from zero.
inline std::string rounded(float v) { return wholeNumber(std::round(static_cast<double>(v))); }
inline std::string truncated(float v) { return wholeNumber(std::trunc(static_cast<double>(v))); }

// Hours without limit, then minutes and seconds: 3725 gives "1:02:05".
inline std::string duration(std::uint32_t seconds) {
    char buffer[32];
    unsigned rest = seconds % 3600;
    std::snprintf(buffer, sizeof buffer, "%u:%02u:%02u", static_cast<unsigned>(seconds / 3600), rest / 60,
                  rest % 60);
    return buffer;
}

// A code and its text; codes without a row print as their decimal number.
struct CodeText {
    std::int32_t code;
    const char* text;
};

template <std::size_t N>
std::string lookup(const CodeText (&table)[N], std::int32_t code) {
    for (const CodeText& row : table)
        if (row.code == code) return row.text;
    return std::to_string(code);
}

// The table as a formatter, for the line tables below.
template <const auto& Table>
std::string coded(std::int32_t code) {
    return lookup(Table, code);
}

// The retraction codes as the system states section and the configuration
// report word them (no texts for the cable block's 32 and 33).
inline constexpr CodeText retractionCapitalised[] = {
    {0, "Disabled"},
    {1, "Manual controlled"},
    {2, "Automatic controlled via physical torque switch"},
    {16, "Remote controlled via UART"},
    {255, "Automatic cable retraction is not available on this Korvane Skyhold.Platform system."},
};

// One report line: a label and the formatted value of one field of Record.
template <class Record>
struct Line {
    const char* label;
    std::string (*value)(const Record&);
};

template <class M>
struct MemberOf;
template <class R, class T>
struct MemberOf<T R::*> {
    using Record = R;
};

// field<&Record::member, formatter> reads the member and formats it.
template <auto Member, auto Format>
std::string field(const typename MemberOf<decltype(Member)>::Record& record) {
    return Format(record.*Member);
}

template <class Record, std::size_t N>
void appendLines(std::string& text, const Line<Record> (&lines)[N], const Record& record) {
    for (const Line<Record>& line : lines) {
        text += line.label;
        text += line.value(record);
        text += '\n';
    }
}

// Hands the stream back with the formatting state it came with, also when
// the insertion throws.
class FormatGuard {
public:
    explicit FormatGuard(std::ostream& out)
        : out(out), flags(out.flags()), width(out.width()), precision(out.precision()), fill(out.fill()) {}
    ~FormatGuard() {
        out.flags(flags);
        out.width(width);
        out.precision(precision);
        out.fill(fill);
    }
    FormatGuard(const FormatGuard&) = delete;
    FormatGuard& operator=(const FormatGuard&) = delete;

private:
    std::ostream& out;
    std::ios_base::fmtflags flags;
    std::streamsize width;
    std::streamsize precision;
    char fill;
};

// Writes the report in one insertion, unpadded whatever width the caller set.
inline void writeReport(std::ostream& out, const std::string& text) {
    FormatGuard guard(out);
    out.width(0);
    out << text;
}

}  // namespace report
}  // namespace KORVANE

#endif
