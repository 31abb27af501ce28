// What the fleet run shows: the progress lines, a finished router's line,
// the summary, and the exit status.
#include "app/fleet_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FleetTextTest, ProgressFinishedAndSummary) {
  EXPECT_EQ(ProgressLine(120, 37, 2, 16, -1, 7.9),
            "rebooting 120 routers: 37 done, 2 failed, 16 running, 0:07");
  EXPECT_EQ(ProgressLine(120, 37, 2, 16, 40, 7.9),
            "rebooting 120 routers: 37 done, 2 failed, 16 running, 40 down, 0:07");
  EXPECT_EQ(ProgressLine(120, 37, 2, 16, 3, 7.9, 64),
            "rebooting 120 routers: 37 done, 2 failed, 16 running, 3 down, 64 waiting, 0:07");
  EXPECT_EQ(SummaryLine(118, 2, 41), "118 rebooted, 2 failed in 0:41");
  EXPECT_EQ(SummaryLine(115, 3, 41, 0, 0, 882, "more than 2 failed"),
            "115 rebooted, 3 failed, 882 not started in 0:41; halted: more than 2 failed");
  EXPECT_EQ(ElapsedText(3725), "1:02:05");
  EXPECT_EQ(ShortProgressLine(120, 37, 2, 7.9), "37/120 done, 2 failed, 0:07");
  RouterResult result = {.address = "10.0.0.9", .port = "22", .seconds = 2.34};
  EXPECT_EQ(FinishedLine(result), "10.0.0.9 rebooted 2.3 s");
  result.status = 6;
  result.reason = "authentication refused";
  EXPECT_EQ(FinishedLine(result),
            "10.0.0.9 failed 2.3 s: authentication refused");
  // An alias is named beside where it went.
  RouterResult alias = {.address = "127.0.0.1", .port = "2201", .givenName = "myrouter",
                        .seconds = 45};
  EXPECT_EQ(FinishedLine(alias), "127.0.0.1:2201 (myrouter) rebooted 45.0 s");
  // Routers on one address are told apart by their port.
  const struct {
    const char* address;
    const char* port;
    const char* name;
  } kNames[] = {{"10.0.0.9", "22", "10.0.0.9"},
                {"10.0.0.9", "2222", "10.0.0.9:2222"},
                {"fe80::1", "2222", "[fe80::1]:2222"},
                {"router.example", "8022", "router.example:8022"}};
  for (const auto& n : kNames) {
    EXPECT_EQ(RouterName(n.address, n.port), n.name) << n.address << " " << n.port;
  }
  EXPECT_EQ(SummaryLine(118, 2, 41, 24, 120),
            "118 rebooted, 2 failed in 0:41; the report lacks 24 of 120 rows");
  EXPECT_EQ(FleetStatus(0), 0);
  EXPECT_EQ(FleetStatus(3), 10);
  // A report that is not whole outweighs the routers' own results.
  EXPECT_EQ(FleetStatus(0, false), 13);
  EXPECT_EQ(FleetStatus(3, false), 13);
  // A halted run says so, whatever the routers that ran did.
  EXPECT_EQ(FleetStatus(0, true, true), 14);
  EXPECT_EQ(FleetStatus(3, true, true), 14);
  EXPECT_EQ(FleetStatus(3, false, true), 13);
  RouterResult rest = {.address = "10.0.0.9", .port = "22", .status = kExitNotStarted,
                       .reason = "halted: more than 2 failed"};
  EXPECT_EQ(FinishedLine(rest), "10.0.0.9 not started 0.0 s: halted: more than 2 failed");
}

}  // namespace
