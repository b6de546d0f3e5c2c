// Pure rules of the rolling sinks (binary and text files): pool sizing and the rolling rule.
#include <gtest/gtest.h>

#include <vector>

#include "trace/core/pool_plan.h"
#include "trace/core/roll_rule.h"

namespace {

TEST(FilePoolPlan, SizesFromTheOption) {
  struct Case {
    const char* value;
    uint32_t size;
    uint32_t count;
  };
  const Case cases[] = {
      {nullptr, 131072, 16},  // no option
      {"100", 32768, 3},      // 102400 bytes
      {"1", 16384, 3},        // raised to 49152
      {"0", 16384, 3},
      {"48", 16384, 3},
      {"2048", 131072, 16},
      {"1024", 131072, 8},
      {"383", 65536, 5},  // 392192 bytes: 131072 gives only 2
      {"abc", 16384, 3},  // does not parse: 0, the minimum
      {"-1", 16384, 3},   // never a 4 GiB pool from a negative value
      {"-100000", 16384, 3},
      {"99999999999", 131072, 32767},  // capped below 4 GiB
      // x 1024 passes 64 bits: the cap, never the smallest pool of a wrapped product
      {"18014398509481984", 131072, 32767},
      {"99999999999999999999", 131072, 32767},  // beyond what strtol reads
  };
  for (const Case& c : cases) {
    const sPool_Plan plan = Plan_Pool(c.value, kPool_File_Cap);
    EXPECT_EQ(plan.buffer_size, c.size) << (c.value ? c.value : "(none)");
    EXPECT_EQ(plan.buffer_count, c.count) << (c.value ? c.value : "(none)");
  }
}

// The text sink's cap is 1 GiB; the rule is the same ("more than 2" buffers is "at least 3").
TEST(FilePoolPlan, TextCapHoldsForHugeValues) {
  for (const char* value : {"1048576", "1048577", "18014398509481984", "99999999999999999999"}) {
    const sPool_Plan plan = Plan_Pool(value, kPool_Text_Cap);
    EXPECT_EQ(plan.buffer_size, 131072u) << value;
    EXPECT_EQ(plan.buffer_count, 8192u) << value;
  }
  const sPool_Plan small = Plan_Pool("256", kPool_Text_Cap);
  EXPECT_EQ(small.buffer_size, 65536u);
  EXPECT_EQ(small.buffer_count, 4u);
}

std::vector<uint32_t> Times_Of(CRoll_Rule& rule) {
  std::vector<uint32_t> times;
  for (auto* cell = rule.Times().Get_First(); cell; cell = rule.Times().Get_Next(cell)) {
    times.push_back(rule.Times().Get_Data(cell));
  }
  return times;
}

TEST(FileRollRule, ParsesEveryForm) {
  struct Case {
    const char* text;
    CRoll_Rule::eParse result;
    CRoll_Rule::eKind kind;
    uint64_t value;
    const char* shown;  // for invalid values
    std::vector<uint32_t> times;
  };
  const Case cases[] = {
      {nullptr, CRoll_Rule::eParse_Ok, CRoll_Rule::eNone, 0, "", {}},
      {"24hr", CRoll_Rule::eParse_Ok, CRoll_Rule::eHours, 86400000ULL, "", {}},
      {"24HR", CRoll_Rule::eParse_Ok, CRoll_Rule::eHours, 86400000ULL, "", {}},
      {"1000hr", CRoll_Rule::eParse_Ok, CRoll_Rule::eHours, 3600000000ULL, "", {}},
      {"5000hr", CRoll_Rule::eParse_Cut, CRoll_Rule::eHours, 3600000000ULL, "", {}},
      {"-1hr", CRoll_Rule::eParse_Cut, CRoll_Rule::eHours, 3600000000ULL, "", {}},
      {"10mb", CRoll_Rule::eParse_Ok, CRoll_Rule::eMegabytes, 10485760ULL, "", {}},
      {"10Mb", CRoll_Rule::eParse_Ok, CRoll_Rule::eMegabytes, 10485760ULL, "", {}},
      {"8:00,20:30tm", CRoll_Rule::eParse_Ok, CRoll_Rule::eTimes, 0, "", {28800, 73800}},
      {"0:00TM", CRoll_Rule::eParse_Ok, CRoll_Rule::eTimes, 0, "", {0}},
      {"23:59,7:5tm", CRoll_Rule::eParse_Ok, CRoll_Rule::eTimes, 0, "", {86340, 25500}},
      // not correct: no rolling
      {"100", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "1", {}},  // unknown suffix "00"
      {"mb", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "mb", {}},  // shorter than 3
      {"0mb", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "0", {}},
      {"xhr", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "x", {}},
      {"-5mb", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "-5", {}},
      {"10kb", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "10", {}},
      {"8:00,tm", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "8:00,", {}},
      {"8:00;9:00tm", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "8:00;9:00", {}},
      {"8:00, 9:00tm", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "8:00, 9:00", {}},
      {":30tm", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, ":30", {}},
      {"8:tm", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "8:", {}},
      {"8tm", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "8", {}},
      {"25:00tm", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "25:00", {}},  // never on a
                                                                                   // clock
      {"8:60tm", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "8:60", {}},
      // sizes whose byte count does not fit 64 bits are refused, never wrapped to a tiny roll
      {"17592186044415mb",
       CRoll_Rule::eParse_Ok,
       CRoll_Rule::eMegabytes,
       17592186044415ULL * 1048576,
       "",
       {}},
      {"17592186044416mb", CRoll_Rule::eParse_Invalid, CRoll_Rule::eNone, 0, "17592186044416", {}},
      {"99999999999999999999mb",
       CRoll_Rule::eParse_Invalid,
       CRoll_Rule::eNone,
       0,
       "99999999999999999999",
       {}},
      {"99999999999999999999hr", CRoll_Rule::eParse_Cut, CRoll_Rule::eHours, 3600000000ULL, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(none)");
    CRoll_Rule rule;
    char shown[64];
    EXPECT_EQ(rule.Parse(c.text, shown, sizeof(shown)), c.result);
    EXPECT_EQ(rule.Kind(), c.kind);
    EXPECT_EQ(rule.Value(), c.value);
    if (c.result == CRoll_Rule::eParse_Invalid) {
      EXPECT_STREQ(shown, c.shown);
    }
    EXPECT_EQ(Times_Of(rule), c.times);
  }
}

TEST(FileRollRule, TimesOfDayArePassedOnce) {
  CRoll_Rule rule;
  ASSERT_EQ(rule.Parse("8:00,20:30tm", nullptr, 0), CRoll_Rule::eParse_Ok);
  struct Case {
    uint32_t previous, now;
    bool roll;
  };
  const Case cases[] = {
      {28799, 28801, true},   // passes 08:00
      {28800, 28801, true},   // previous <= time < now
      {28801, 28900, false},  // already passed
      {28000, 28800, false},  // reaches it, not yet past
      {73000, 80000, true},   // passes 20:30
      {80000, 80000, false},  // no time went by
  };
  for (const Case& c : cases)
    EXPECT_EQ(rule.Time_Passed(c.previous, c.now), c.roll) << c.previous << ".." << c.now;

  // A roll time of midnight is passed when the clock wraps; so is a time shortly after it.
  CRoll_Rule midnight;
  ASSERT_EQ(midnight.Parse("0:00,0:01tm", nullptr, 0), CRoll_Rule::eParse_Ok);
  EXPECT_TRUE(midnight.Time_Passed(86399, 1));
  EXPECT_FALSE(midnight.Time_Passed(100, 200));
  CRoll_Rule late;
  ASSERT_EQ(late.Parse("23:59tm", nullptr, 0), CRoll_Rule::eParse_Ok);
  EXPECT_TRUE(late.Time_Passed(86300, 5));  // wrapped after passing 23:59
  EXPECT_FALSE(late.Time_Passed(86399, 5));
}

// The checks both sinks make: size, age (across a wrapped millisecond clock) and the
// times-of-day check that keeps its own last look at the clock.
TEST(FileRollRule, DueChecks) {
  CRoll_Rule size;
  ASSERT_EQ(size.Parse("5mb", nullptr, 0), CRoll_Rule::eParse_Ok);
  EXPECT_FALSE(size.Size_Due(5242879));
  EXPECT_TRUE(size.Size_Due(5242880));
  EXPECT_FALSE(size.Age_Due(0, 0xFFFFFFFFu));

  CRoll_Rule age;
  ASSERT_EQ(age.Parse("1hr", nullptr, 0), CRoll_Rule::eParse_Ok);
  EXPECT_FALSE(age.Age_Due(1000, 1000 + 3600000));
  EXPECT_TRUE(age.Age_Due(1000, 1000 + 3600001));
  EXPECT_TRUE(age.Age_Due(0xFFFFFF00u, 3600000));  // the clock wrapped in between
  EXPECT_FALSE(age.Size_Due(UINT64_MAX));

  CRoll_Rule times;
  ASSERT_EQ(times.Parse("0:00tm", nullptr, 0), CRoll_Rule::eParse_Ok);
  times.Set_Last_Check(86399);          // 23:59:59
  EXPECT_TRUE(times.Check_Times(1));    // 00:00:01: midnight was passed
  EXPECT_FALSE(times.Check_Times(60));  // once only
}

}  // namespace
