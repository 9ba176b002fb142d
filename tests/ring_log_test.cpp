// The bounded log behind the virtual chips' transfer and violation logs.
#include "qzsim/ring_log.hpp"

#include <gtest/gtest.h>

namespace {

using qzsim::RingLog;

std::vector<int> pushed(RingLog<int>& log, int count) {
    for (int k = 1; k <= count; ++k) log.push(k);
    return log.entries();
}

TEST(RingLog, KeepsTheMostRecentEntriesOldestFirst) {
    struct Case {
        std::size_t limit;
        int pushes;
        std::vector<int> kept;
    } const cases[] = {
        {4, 3, {1, 2, 3}}, {4, 4, {1, 2, 3, 4}}, {4, 9, {6, 7, 8, 9}}, {1, 5, {5}}, {0, 5, {}},
    };
    for (const Case& c : cases) {
        RingLog<int> log(c.limit);
        EXPECT_EQ(c.kept, pushed(log, c.pushes)) << "limit " << c.limit << ", " << c.pushes;
        EXPECT_EQ(static_cast<uint64_t>(c.pushes), log.count());
    }
}

TEST(RingLog, ShrinkingKeepsTheNewestAndGrowingKeepsOrder) {
    RingLog<int> log(5);
    pushed(log, 7);  // 3..7, wrapped
    log.setLimit(2);
    EXPECT_EQ((std::vector<int>{6, 7}), log.entries());
    log.setLimit(4);
    log.push(8), log.push(9), log.push(10);
    EXPECT_EQ((std::vector<int>{7, 8, 9, 10}), log.entries());
    EXPECT_EQ(10u, log.count());
    log.clear();
    EXPECT_TRUE(log.entries().empty());
    EXPECT_EQ(0u, log.count());
}

}  // namespace
