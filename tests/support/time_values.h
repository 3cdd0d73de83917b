// Calendar values for tests.
#pragma once

#include <cstdint>

#include <gtest/gtest.h>

#include "platform/time.h"

namespace tavrel::test {

inline platform::SystemTime makeTime(uint16_t y, uint16_t mo, uint16_t d, uint16_t h = 0, uint16_t mi = 0,
                                     uint16_t s = 0, uint16_t ms = 0) {
    platform::SystemTime t{};
    t.year = y;
    t.month = mo;
    t.day = d;
    t.hour = h;
    t.minute = mi;
    t.second = s;
    t.milliseconds = ms;
    return t;
}

inline platform::FileTime fileTimeOf(uint16_t y, uint16_t mo, uint16_t d, uint16_t h = 0, uint16_t mi = 0,
                                     uint16_t s = 0, uint16_t ms = 0) {
    platform::FileTime ft = 0;
    EXPECT_TRUE(platform::systemTimeToFileTime(makeTime(y, mo, d, h, mi, s, ms), ft));
    return ft;
}

}  // namespace tavrel::test
