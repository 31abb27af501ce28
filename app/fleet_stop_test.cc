// The fleet's interrupt: signals counted with the first one's number while
// armed, held back on a thread that blocks them, and the previous handling
// put back when disarmed.
#include "app/fleet_stop.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

TEST(FleetStopTest, CountsSignalsKeepsTheFirstAndRestores) {
  struct sigaction before = {};
  ASSERT_EQ(sigaction(SIGHUP, nullptr, &before), 0);
  ArmFleetStops();
  EXPECT_EQ(ReadFleetStops().count, 0);
  raise(SIGHUP);
  raise(SIGINT);
  FleetStops stops = ReadFleetStops();
  EXPECT_EQ(stops.count, 2);
  EXPECT_EQ(stops.signal, SIGHUP);
  EXPECT_EQ(StoppedStatus(stops.signal), 129);
  // Held back while blocked, counted once let through.
  BlockStopsOnThisThread(true);
  raise(SIGTERM);
  EXPECT_EQ(ReadFleetStops().count, 2);
  BlockStopsOnThisThread(false);
  EXPECT_EQ(ReadFleetStops().count, 3);
  DisarmFleetStops();
  struct sigaction after = {};
  ASSERT_EQ(sigaction(SIGHUP, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
  EXPECT_EQ(StoppedStatus(SIGINT), 130);
  EXPECT_EQ(StoppedStatus(SIGTERM), 143);
}

}  // namespace
