// The fleet run's options: read in any order by their prefix, a refused
// one named (never a password), and only /list: first starts the fleet.
#include "app/fleet_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(FleetOptionsTest, OptionsInAnyOrderByPrefix) {
  FleetOptions options;
  std::string error;
  ASSERT_TRUE(ReadFleetOptions({u"/list:r.txt", u"/report:out.csv", u"/jobs:8",
                                u"/v:N", u"/wait:300", u"/retry:r.txt"},
                               &options, &error))
      << error;
  EXPECT_EQ(options.listPath, "r.txt");
  EXPECT_EQ(options.reportPath, "out.csv");
  EXPECT_EQ(options.jobs, 8);
  EXPECT_FALSE(options.verbose);
  EXPECT_TRUE(options.hasWait);
  EXPECT_EQ(options.wait, "300");
  // The retry list may be the list itself: it is read whole first.
  EXPECT_EQ(options.retryPath, "r.txt");

  ASSERT_TRUE(ReadFleetOptions({u"/list:-"}, &options, &error));
  EXPECT_EQ(options.listPath, "-");
  EXPECT_EQ(options.jobs, kDefaultJobs);
  EXPECT_TRUE(options.verbose);
  EXPECT_TRUE(options.reportPath.empty());
  EXPECT_TRUE(options.retryPath.empty());
}

TEST(FleetOptionsTest, RefusedArgumentIsNamed) {
  struct Case {
    std::vector<std::u16string> params;
    std::string named;
  };
  const Case cases[] = {
      {{u"/list:r", u"/jobs:0"}, "/jobs:0"},
      {{u"/list:r", u"/jobs:257"}, "/jobs:257"},
      {{u"/list:r", u"/jobs:x"}, "/jobs:x"},
      {{u"/list:r", u"/v:maybe"}, "/v:maybe"},
      {{u"/list:r", u"/report:"}, "/report:"},
      {{u"/list:r", u"/retry:"}, "/retry: names no file"},
      {{u"/list:r", u"/retry:-"}, "/retry: names a file, not standard output"},
      {{u"/list:r", u"/user:admin"}, "/user:admin"},
      {{u"/list:r", u"extra"}, "extra"},
      {{u"/list:"}, "/list:"},
      {{u"/list:r", u"/wait:60", u"/down:0"}, "/down:0"},
      {{u"/list:r", u"/wait:60", u"/down:-1"}, "/down:-1"},
      {{u"/list:r", u"/wait:60", u"/down:x"}, "/down:x"},
      {{u"/list:r", u"/down:2"}, "/down: needs /wait:"},
      {{u"/list:r", u"/maxfail:"}, "/maxfail:"},
      {{u"/list:r", u"/maxfail:101%"}, "/maxfail:101%"},
      {{u"/list:r", u"/maxfail:-1"}, "/maxfail:-1"},
      {{u"/list:r", u"/maxfail:%"}, "/maxfail:%"},
      {{u"/list:r", u"/maxfail:5%%"}, "/maxfail:5%%"},
      {{u"/list:r", u"/until:24:00"}, "/until:24:00"},
      {{u"/list:r", u"/until:03:60"}, "/until:03:60"},
      {{u"/list:r", u"/until:0300"}, "/until:0300"},
      {{u"/list:r", u"/until:3:5"}, "/until:3:5"},
      {{u"/list:r", u"/until:"}, "/until:"},
      // Anything but y or n would be a reboot taken for a preflight.
      {{u"/list:r", u"/check:yes"}, "/check:yes"},
      {{u"/list:r", u"/check:"}, "/check:"},
      {{u"/list:r", u"/check"}, "/check"},
  };
  for (const Case& c : cases) {
    FleetOptions options;
    std::string error;
    EXPECT_FALSE(ReadFleetOptions(c.params, &options, &error)) << c.named;
    EXPECT_NE(error.find(c.named), std::string::npos) << error;
  }
  // A password on the command line is refused without being repeated.
  FleetOptions options;
  std::string error;
  EXPECT_FALSE(ReadFleetOptions({u"/list:r", u"/pw:s3cret"}, &options, &error));
  EXPECT_EQ(error.find("s3cret"), std::string::npos) << error;
  EXPECT_NE(error.find("/pw:"), std::string::npos) << error;
}

TEST(FleetOptionsTest, BoundsOnTheRun) {
  FleetOptions options;
  std::string error;
  ASSERT_TRUE(ReadFleetOptions({u"/list:r", u"/down:3", u"/wait:60", u"/maxfail:2",
                                u"/until:3:45"},
                               &options, &error))
      << error;
  EXPECT_EQ(options.down, 3);
  EXPECT_EQ(options.maxFailCount, 2);
  EXPECT_EQ(options.maxFailPercent, -1);
  EXPECT_EQ(options.untilMinute, 3 * 60 + 45);
  ASSERT_TRUE(ReadFleetOptions({u"/list:r", u"/maxfail:10%", u"/until:23:59"}, &options,
                               &error))
      << error;
  EXPECT_EQ(options.down, 0);
  EXPECT_EQ(options.maxFailCount, -1);
  EXPECT_EQ(options.maxFailPercent, 10);
  EXPECT_EQ(options.untilMinute, 23 * 60 + 59);
  EXPECT_FALSE(options.check);
  ASSERT_TRUE(ReadFleetOptions({u"/list:r", u"/check:Y", u"/wait:60", u"/down:1"}, &options,
                               &error))
      << error;
  EXPECT_TRUE(options.check);
}

TEST(FleetOptionsTest, FailuresExceedTheBound) {
  struct Case {
    const char16_t* maxfail;  // nullptr: none
    int failed;
    int total;
    bool exceeds;
  };
  const Case cases[] = {
      {nullptr, 1000, 1000, false}, {u"/maxfail:0", 0, 10, false},
      {u"/maxfail:0", 1, 10, true}, {u"/maxfail:2", 2, 10, false},
      {u"/maxfail:2", 3, 10, true}, {u"/maxfail:10%", 10, 100, false},
      {u"/maxfail:10%", 11, 100, true}, {u"/maxfail:10%", 1, 5, true},
      {u"/maxfail:0%", 1, 1000, true}, {u"/maxfail:100%", 5, 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    std::vector<std::u16string> params = {u"/list:r"};
    if (c.maxfail != nullptr) params.emplace_back(c.maxfail);
    FleetOptions options;
    std::string error;
    ASSERT_TRUE(ReadFleetOptions(params, &options, &error)) << error;
    EXPECT_EQ(FailuresExceedBound(options, c.failed, c.total), c.exceeds)
        << c.failed << " of " << c.total;
  }
}

TEST(FleetOptionsTest, OnlyListFirstStartsFleet) {
  EXPECT_TRUE(IsFleetInvocation(u"/list:r.txt"));
  EXPECT_FALSE(IsFleetInvocation(u"/user:admin"));
  EXPECT_FALSE(IsFleetInvocation(u"\"/list:r\""));
  EXPECT_FALSE(IsFleetInvocation(u""));
}

}  // namespace
