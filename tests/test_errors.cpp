// Exception texts and the shortening of the serial library's messages.
#include <gtest/gtest.h>

#include "MoorwinchImpl.h"

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
