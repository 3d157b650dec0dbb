// The line reader of the reply wait, on its own with a clock of the test's:
// where lines end, which are stale, and how long a wait may sleep.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MoorwinchLineReader.h"

using KORVANE::LineReader;
using std::chrono::milliseconds;

namespace {

const LineReader::Clock::time_point t0 = LineReader::Clock::time_point() + std::chrono::hours(1);
const milliseconds T(100);
const std::size_t limit = LineReader::maxLine;

// The pieces ready at now, each as "<whole|piece>[ stale] <text>".
std::vector<std::string> ready(LineReader& reader, LineReader::Clock::time_point now) {
    std::vector<std::string> out;
    LineReader::Piece piece;
    while (reader.next(piece, now))
        out.push_back(std::string(piece.whole ? "whole" : "piece") + (piece.stale ? " stale " : " ") + piece.text);
    return out;
}

void feed(LineReader& reader, const std::string& bytes, LineReader::Clock::time_point now) {
    reader.feed(bytes.data(), bytes.size(), now);
}

using Pieces = std::vector<std::string>;

TEST(LineReader, ALineEndsAtItsFeedAtTheLimitOrAfterOneLineLimit) {
    LineReader reader;
    reader.startWait(t0, 4 * T, T);
    feed(reader, "a\nb", t0);
    EXPECT_EQ(ready(reader, t0), Pieces{"whole a\n"});
    feed(reader, "c\n", t0 + T / 2);
    EXPECT_EQ(ready(reader, t0 + T / 2), Pieces{"whole bc\n"});

    // Held for one line limit without a feed: a piece; what follows is a new line.
    feed(reader, "x", t0 + T);
    EXPECT_EQ(ready(reader, t0 + 2 * T - milliseconds(1)), Pieces{});
    EXPECT_EQ(ready(reader, t0 + 2 * T), Pieces{"piece x"});
    feed(reader, "y\n", t0 + 2 * T);
    EXPECT_EQ(ready(reader, t0 + 2 * T), Pieces{"whole y\n"});

    // Cut at the limit: the rest belongs to the same line and is no whole line either.
    feed(reader, std::string(limit + 2, 'z') + "\nw\n", t0 + 3 * T);
    const Pieces cut = ready(reader, t0 + 3 * T);
    ASSERT_EQ(cut.size(), 3u);
    EXPECT_EQ(cut[0], "piece " + std::string(limit, 'z'));
    EXPECT_EQ(cut[1], "piece zz\n");
    EXPECT_EQ(cut[2], "whole w\n");
}

TEST(LineReader, LinesBegunBeforeTheRequestAreStaleToTheirEnd) {
    LineReader reader;
    feed(reader, "hal", t0);                  // read during an earlier wait
    reader.markRequest(std::string("f\nold\n").size());  // unread in the port when the request went
    reader.startWait(t0, 4 * T, T);
    feed(reader, "f\nold\nreply\n", t0);
    EXPECT_EQ(ready(reader, t0), (Pieces{"whole stale half\n", "whole stale old\n", "whole reply\n"}));

    // The rest of a line cut before the request is stale too.
    feed(reader, std::string(limit, 'z'), t0);
    EXPECT_EQ(ready(reader, t0).size(), 1u);
    reader.markRequest(0);
    feed(reader, "tail\nreply\n", t0);
    EXPECT_EQ(ready(reader, t0), (Pieces{"piece stale tail\n", "whole reply\n"}));
}

TEST(LineReader, AWaitSleepsUntilItsDeadlineOrALinesEndAndNeverPastOneLineLimitMore) {
    LineReader reader;
    const auto deadline = t0 + 3 * T;
    reader.startWait(t0, 3 * T, T);
    EXPECT_EQ(reader.wakeAt(t0, false), deadline);
    EXPECT_EQ(reader.wakeAt(t0, true), t0);  // the reply began: only what is waiting now
    EXPECT_EQ(reader.wakeAt(deadline, false), std::nullopt);

    // A line arriving at the deadline is awaited to its end.
    feed(reader, "{", deadline - milliseconds(10));
    EXPECT_EQ(reader.wakeAt(deadline, false), deadline + T - milliseconds(10));
    EXPECT_EQ(ready(reader, deadline + T - milliseconds(10)), Pieces{"piece {"});

    // A flood: however late its lines come, the wait is over one line limit after the deadline.
    feed(reader, "{", deadline + T - milliseconds(5));
    EXPECT_EQ(reader.wakeAt(deadline + T - milliseconds(5), true), deadline + T);
    EXPECT_EQ(reader.wakeAt(deadline + T, true), std::nullopt);
}

}  // namespace
