// Exception texts, the shortening of the serial library's messages, and the
// kind and subject each failure a user meets carries.
#include <cerrno>
#include <functional>
#include <mutex>

#include "StationFixture.h"
#include "StationModel.h"

using namespace KORVANE;

TEST(Exceptions, PrefixTextAndCopy) {
    EXPECT_STREQ(IOException("x").what(), "IO Exception: x");
    EXPECT_STREQ(DataException("x").what(), "Data Exception: x");
    EXPECT_STREQ(ValueException("x").what(), "Value Exception: x");
    EXPECT_STREQ(IOException(nullptr).what(), "IO Exception: ");
    EXPECT_STREQ(DataException(nullptr).what(), "Data Exception: ");
    EXPECT_STREQ(ValueException(nullptr).what(), "Value Exception: ");

    try {
        try {
            throw DataException("checkReply: wrong message handler");
        } catch (DataException& e) {
            throw DataException(e);
        }
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Data Exception: checkReply: wrong message handler");
    }
}

TEST(BeautifyExceptions, ShortensSerialLibraryMessages) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"no colon here", "no colon here"},
        {"abc:", ""},
        {"abc: ", ""},
        {"IO Exception (5): Input/output error, file unix, line 120.", "Input/output error"},
        {"IO Exception (2): No such file or directory, file /build/src/impl/unix.cc, line 151.",
         "No such file or directory"},
        {"x:  a , b", "a, b"},
        {"x: a,,b", "a, , b"},
        {"x: a, b,", "a, b"},
        {"x: line one, two", "two"},
        {"x: filesystem full", ""},
        {"x: in line 3", "in line 3"},
        {"x: \ttab ,  ", "\ttab, "},
        {"SerialException Serial::flush failed.", "flush failed."},
    };
    Moorwinch::MoorwinchImpl impl;
    for (const auto& c : cases) {
        std::string message = c.first;
        impl.beautifyExceptions(message);
        EXPECT_EQ(message, c.second) << "input: '" << c.first << "'";
    }
}

// ---------------------------------------------------------------- kinds

namespace {

using moorwinch_sim::StationFaults;
using moorwinch_sim::StationModel;
using moorwinch_test::PtyStation;

// The detail of whatever library exception call throws; kind unknown and
// text "none" when it throws none.
struct Caught {
    std::string text = "none";
    errorDetail detail;
};

template <class Call>
Caught caught(Call&& call) {
    Caught out;
    try {
        call();
    } catch (const IOException& e) {
        out = {e.what(), e.detail()};
    } catch (const DataException& e) {
        out = {e.what(), e.detail()};
    } catch (const ValueException& e) {
        out = {e.what(), e.detail()};
    }
    return out;
}

// One failure as a user meets it, against the station model on a pseudo-terminal.
struct KindCase {
    const char* name;
    StationFaults faults;
    std::function<void(Moorwinch::MoorwinchImpl& impl, PtyStation& station)> call;
    errorDetail expected;  // port "*" stands for the station's device
};

TEST(Kinds, FailuresAUserMeetsCarryTheirKindAndSubject) {
    constexpr unsigned int T = 60;
    auto status = [](Moorwinch::MoorwinchImpl& impl, PtyStation&) {
        Moorwinch::systemStatus s;
        impl.getSystemStatus(s);
    };
    auto detail = [](errorKind kind, const char* port, int error = 0, unsigned int waitMs = 0, int status = -1,
                     const char* message = "", const char* field = "") {
        return errorDetail{kind, port, error, waitMs, status, message, field};
    };
    StationFaults silent, wrongId;
    silent.silent = true;
    wrongId.wrongId = true;
    const KindCase cases[] = {
        {"missing port", {},
         [](Moorwinch::MoorwinchImpl& impl, PtyStation&) { impl.openConnection("/dev/moorwinch-none"); },
         detail(errorKind::portMissing, "/dev/moorwinch-none", ENOENT)},
        {"port in use", {},
         [](Moorwinch::MoorwinchImpl&, PtyStation& station) {
             Moorwinch::MoorwinchImpl second;
             second.openConnection(station.devicePath());
         },
         detail(errorKind::portInUse, "*", EWOULDBLOCK)},
        {"no reply", silent, status, detail(errorKind::timeout, "*", 0, T)},
        {"exchange lock held", {},
         [&](Moorwinch::MoorwinchImpl& impl, PtyStation& station) {
             std::lock_guard<std::timed_mutex> held(impl.exchangeLock);
             status(impl, station);
         },
         detail(errorKind::busy, "*", 0, T)},
        {"reply cut short", {},
         [&](Moorwinch::MoorwinchImpl& impl, PtyStation& station) {
             station.setHandler([](const std::string&, PtyStation& s) { s.send("{\"COM\":{\"MSG_ID\":1\n"); });
             status(impl, station);
         },
         detail(errorKind::malformedReply, "")},
        {"wrong id", wrongId, status, detail(errorKind::wrongMessage, "")},
        {"refused value", {},
         [](Moorwinch::MoorwinchImpl& impl, PtyStation&) { impl.setCableRetractionStartLength(1000.0f); },
         detail(errorKind::stationRefused, "", 0, 0, 6, "value refused")},
        {"value out of range", {},
         [](Moorwinch::MoorwinchImpl& impl, PtyStation&) { impl.setCableRetractionTorque(101); },
         detail(errorKind::valueOutOfRange, "", 0, 0, -1, "", "cableRetractionTorque")},
    };
    for (const KindCase& c : cases) {
        PtyStation station;
        StationModel model;
        model.attach(station);
        Moorwinch::MoorwinchImpl impl;
        impl.setConnectionTimeout(T);
        impl.openConnection(station.devicePath());
        model.setFaults(c.faults);
        const Caught got = caught([&] { c.call(impl, station); });
        const errorDetail& want = c.expected;
        SCOPED_TRACE(std::string(c.name) + ": " + got.text);
        EXPECT_STREQ(errorKindName(got.detail.kind), errorKindName(want.kind));
        EXPECT_EQ(got.detail.port, want.port == std::string("*") ? station.devicePath() : want.port);
        EXPECT_EQ(got.detail.systemError, want.systemError);
        EXPECT_EQ(got.detail.waitMs, want.waitMs);
        EXPECT_EQ(got.detail.stationStatus, want.stationStatus);
        EXPECT_EQ(got.detail.stationMessage, want.stationMessage);
        EXPECT_EQ(got.detail.field, want.field);
    }
}

}  // namespace
