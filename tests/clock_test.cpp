// The clock's arithmetic for chosen readings of the wall clock.
#include <gtest/gtest.h>

#include "tcap_internal.h"

namespace {

TEST(TickFromTime, CountsFromOneSecondBeforeTheFirstReading) {
    uint32_t first = 0;
    EXPECT_EQ(tcap::TickFromTime(100, 250000, &first), 1250u);
    EXPECT_EQ(first, 99u);
    EXPECT_EQ(tcap::TickFromTime(102, 999999, &first), 3999u);  // 999.999 ms count as 999
    EXPECT_EQ(tcap::TickFromTime(102, 999000, &first), 3999u);  // same millisecond, same value
    EXPECT_EQ(first, 99u);                                       // the base is set once
}

TEST(TickFromTime, FirstReadingIsBetween1000And1999) {
    for (uint32_t usec : {0u, 1u, 999u, 1000u, 500000u, 999999u}) {
        uint32_t first = 0;
        const uint32_t t = tcap::TickFromTime(1765000000u, usec, &first);
        EXPECT_GE(t, 1000u);
        EXPECT_LE(t, 1999u);
        EXPECT_EQ(t, 1000u + usec / 1000u);
    }
}

TEST(TickFromTime, WrapsModulo2To32) {
    uint32_t first = 99;
    // A wall clock set back one second before the base: 2^32 - 1000 + ms.
    EXPECT_EQ(tcap::TickFromTime(98, 250000, &first), 4294966546u);
    // Forty-nine days and a bit after the base the count passes 2^32.
    EXPECT_EQ(tcap::TickFromTime(99 + 4294968, 0, &first), 704u);
    EXPECT_EQ(first, 99u);
}

}  // namespace
