#include "model/date.h"

#include <gtest/gtest.h>

namespace kvt {
namespace {

struct ZoneGuard {
  int32_t saved = TZ_LOCAL.load();
  ~ZoneGuard() { TZ_LOCAL.store(saved); }
};

TEST(LocalZone, StartsEightHoursEast) {
  // Holds only before any test changes the zone; guards restore it afterwards.
  EXPECT_EQ(TZ_LOCAL.load(), 28800);
  auto z = get_local_offset();
  EXPECT_EQ(z.hours, 8);
  EXPECT_EQ(z.minutes, 0);
  EXPECT_EQ(z.seconds, 0);
  EXPECT_EQ(z.length_micros(), 28800000000LL);
}

struct Split {
  int32_t seconds;
  int hours, minutes, secs;
};

class LocalZoneSplit : public ::testing::TestWithParam<Split> {};

TEST_P(LocalZoneSplit, TruncatesEachComponentTowardZero) {
  ZoneGuard guard;
  const auto& p = GetParam();
  TZ_LOCAL.store(p.seconds);
  auto z = get_local_offset();
  EXPECT_EQ(z.hours, p.hours);
  EXPECT_EQ(z.minutes, p.minutes);
  EXPECT_EQ(z.seconds, p.secs);
  EXPECT_EQ(z.length_seconds(), p.seconds);
}

INSTANTIATE_TEST_SUITE_P(Offsets, LocalZoneSplit,
                         ::testing::Values(Split{-19800, -5, -30, 0}, Split{0, 0, 0, 0},
                                           Split{90000, 25, 0, 0}, Split{-90000, -25, 0, 0},
                                           Split{93599, 25, 59, 59}, Split{-93599, -25, -59, -59},
                                           Split{-1, 0, 0, -1}, Split{3661, 1, 1, 1}));

TEST(LocalZone, SetDefaultTimezoneStoresLength) {
  ZoneGuard guard;
  set_default_timezone(ZoneOffset{-5, 0, 0});
  EXPECT_EQ(TZ_LOCAL.load(), -18000);
  EXPECT_EQ(get_local_offset().length_micros(), -18000000000LL);
  set_default_timezone(ZoneOffset{25, 0, 0});
  EXPECT_EQ(get_local_offset().hours, 25);
}

}  // namespace
}  // namespace kvt
