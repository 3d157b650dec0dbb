// A broken invariant in a harness: say which and abort, so that libFuzzer keeps
// the input as a crash artifact.
#ifndef MOORWINCH_FUZZ_CHECK_H
#define MOORWINCH_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_REQUIRE(condition, what)                                                         \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "%s:%d: %s (%s)\n", __FILE__, __LINE__, what, #condition); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

#endif
