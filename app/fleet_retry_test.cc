// The retry list's text: which lines go in (failed and not started, never a
// router that took the answer, nor a line that met another's router), as
// written, in list order, with the groups kept and a reason above each.
#include "app/fleet_retry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Five routers in three groups, read as the run reads them.
std::vector<FleetRouter> FiveRouters() {
  const std::string text =
      "# east site\n"
      "/user:a /pw:\"p one\" /ip:10.0.0.1\r\n"
      "---\n"
      "  /ip:10.0.0.2 /pw:p2   \n"
      "/user:a /pw:p3 /ip:10.0.0.3\n"
      "  ---  \n"
      "/user:a /pw:p4 /ip:10.0.0.4 /port:2222\n"
      "/user:a /pw:p5\r /ip:10.0.0.5\r\r\n";
  std::vector<FleetRouter> routers;
  std::string error;
  EXPECT_TRUE(ReadFleetList("east.txt", text, &routers, &error)) << error;
  return routers;
}

RouterResult Row(int line, int status, std::string reason, int sameAs = 0) {
  RouterResult result;
  result.line = line;
  result.status = status;
  result.reason = std::move(reason);
  result.sameAsLine = sameAs;
  return result;
}

constexpr char kHead[] =
    "# Retry list of east.txt, written 2026-12-11 03:00:00: the routers that failed or were "
    "not started, their lines as written there.\n";

TEST(FleetRetryTest, LinesAsWrittenWithGroupsAndReasons) {
  const std::vector<FleetRouter> routers = FiveRouters();
  struct Case {
    const char* name;
    std::vector<RouterResult> results;  // routers not named here rebooted
    std::string body;
  };
  const Case cases[] = {
      {"all rebooted: comments alone",
       {},
       "# Nothing is left to retry: every router rebooted or took the answer.\n"
       "# As a list this file holds no router, and a run of it is refused.\n"},
      // Not confirmed took the answer: it is not rebooted twice.
      {"not confirmed stays out",
       {Row(5, 15, "not confirmed: the wait for its return was stopped")},
       "# Nothing is left to retry: every router rebooted or took the answer.\n"
       "# As a list this file holds no router, and a run of it is refused.\n"},
      // The line as written: its spaces and quotes, without the CR.
      {"first and last groups, no empty group between",
       {Row(2, 6, "the user name or password was refused"),
        Row(8, 14, "halted: more than 0 failed (/maxfail:)")},
       "# line 2: status 6, the user name or password was refused\n"
       "/user:a /pw:\"p one\" /ip:10.0.0.1\n"
       "---\n"
       "# line 8: status 14, halted: more than 0 failed (/maxfail:)\n"
       // The reader takes one CR before the LF as the line's end: a line
       // that kept a CR of its own gets one more.
       "/user:a /pw:p5\r /ip:10.0.0.5\r\r\n"},
      // Results arrive as routers finish; the list's order is kept.
      {"one group, list order, no dashes around it",
       {Row(5, 14, "halted: stopped by SIGINT"), Row(4, 3, "the router refused the connection")},
       "# line 4: status 3, the router refused the connection\n"
       "  /ip:10.0.0.2 /pw:p2   \n"
       "# line 5: status 14, halted: stopped by SIGINT\n"
       "/user:a /pw:p3 /ip:10.0.0.3\n"},
      // A line that met another line's router is left out: that line
      // speaks for the router, and a rerun would reboot it twice.
      {"the same router as another line",
       {Row(7, 1, "the same router as line 2: not rebooted twice", 2)},
       "# line 7 is left out: it reached the same router as line 2\n"
       "# Nothing is left to retry: every router rebooted or took the answer.\n"
       "# As a list this file holds no router, and a run of it is refused.\n"},
      // A reason cannot break out of its comment line.
      {"control characters in a reason",
       {Row(7, 8, "the router said\r\nrm -rf\x1b[2J")},
       "# line 7: status 8, the router said??rm -rf?[2J\n"
       "/user:a /pw:p4 /ip:10.0.0.4 /port:2222\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RetryListText("east.txt", "2026-12-11 03:00:00", routers, c.results),
              kHead + c.body);
  }
}

TEST(FleetRetryTest, RerunReadsBackTheFailedRoutersInTheirGroups) {
  const std::vector<FleetRouter> routers = FiveRouters();
  const std::string text =
      RetryListText("a\nb", "now", routers,
                    {Row(2, 6, "refused"), Row(4, 12, "not back"), Row(7, 14, "halted"),
                     Row(8, 3, "refused")});
  // The list's name cannot start a line of its own either.
  EXPECT_EQ(text.rfind("# Retry list of a?b, written now:", 0), 0u) << text;
  std::vector<FleetRouter> again;
  std::string error;
  ASSERT_TRUE(ReadFleetList("retry.txt", text, &again, &error)) << error;
  ASSERT_EQ(again.size(), 4u);
  const struct {
    std::string password;
    std::string address;
    int group;
  } expected[] = {{"p one", "10.0.0.1", 0},
                  {"p2", "10.0.0.2", 1},
                  {"p4", "10.0.0.4", 2},
                  {"p5\r", "10.0.0.5\r", 2}};
  for (size_t i = 0; i < again.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(again[i].password, expected[i].password);
    EXPECT_EQ(again[i].address, expected[i].address);
    EXPECT_EQ(again[i].group, expected[i].group);
    EXPECT_EQ(again[i].text, routers[i == 3 ? 4 : i == 2 ? 3 : i].text);
  }
}

}  // namespace
