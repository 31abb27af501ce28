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
                                u"/v:N", u"/wait:300"},
                               &options, &error))
      << error;
  EXPECT_EQ(options.listPath, "r.txt");
  EXPECT_EQ(options.reportPath, "out.csv");
  EXPECT_EQ(options.jobs, 8);
  EXPECT_FALSE(options.verbose);
  EXPECT_TRUE(options.hasWait);
  EXPECT_EQ(options.wait, "300");

  ASSERT_TRUE(ReadFleetOptions({u"/list:-"}, &options, &error));
  EXPECT_EQ(options.listPath, "-");
  EXPECT_EQ(options.jobs, kDefaultJobs);
  EXPECT_TRUE(options.verbose);
  EXPECT_TRUE(options.reportPath.empty());
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
      {{u"/list:r", u"/user:admin"}, "/user:admin"},
      {{u"/list:r", u"extra"}, "extra"},
      {{u"/list:"}, "/list:"},
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

TEST(FleetOptionsTest, OnlyListFirstStartsFleet) {
  EXPECT_TRUE(IsFleetInvocation(u"/list:r.txt"));
  EXPECT_FALSE(IsFleetInvocation(u"/user:admin"));
  EXPECT_FALSE(IsFleetInvocation(u"\"/list:r\""));
  EXPECT_FALSE(IsFleetInvocation(u""));
}

}  // namespace
