#include "core/shared_bandwidth.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

// The limit a task's limiter is set to from its own limit, its share and the limit it has now.
TEST(TaskLimit, TheLowerOfOwnAndShareWithAShareThatGrewALittleKept) {
    struct Case {
        int64_t own, share, current, expected;
    };
    for (const Case& c : {
             Case{0, 0, 0, 0},          // no limit at all
             Case{0, 1000, 0, 1000},    // the share alone
             Case{700, 0, 0, 700},      // the task's own alone
             Case{700, 1000, 0, 700},   // the lower of the two
             Case{2000, 1000, 0, 1000}, //
             Case{0, 1100, 1000, 1000}, // grew by less than an eighth: kept
             Case{0, 1200, 1000, 1200}, // grew by more: taken
             Case{0, 990, 1000, 990},   // a smaller share applies at once
         }) {
        EXPECT_EQ(task_limit(c.own, c.share, c.current), c.expected)
            << c.own << " own, " << c.share << " share, " << c.current << " now";
    }
}

} // namespace
} // namespace twk
