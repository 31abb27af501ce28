#include "app/fleet_stop.h"

#include <atomic>
#include <csignal>
#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace {

// The count above the low 6 bits, the first signal's number in them.
constexpr uint32_t kSignalBits = 6;
constexpr uint32_t kSignalMask = (1u << kSignalBits) - 1;
std::atomic<uint32_t> g_stops{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free);

void CountStop(int number) {
  uint32_t seen = g_stops.load();
  uint32_t next = 0;
  do {
    const uint32_t first = (seen & kSignalMask) != 0 ? (seen & kSignalMask)
                                                     : (static_cast<uint32_t>(number) & kSignalMask);
    next = (((seen >> kSignalBits) + 1) << kSignalBits) | first;
  } while (!g_stops.compare_exchange_weak(seen, next));
}

#if defined(_WIN32)
BOOL WINAPI OnConsoleStop(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    CountStop(type == CTRL_C_EVENT ? SIGINT : SIGTERM);
    return TRUE;
  }
  return FALSE;
}
#else
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3];
bool g_replaced[3] = {};

void OnStopSignal(int number) { CountStop(number); }

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int number : kStopSignals) sigaddset(&set, number);
  return set;
}
#endif

}  // namespace

void ArmFleetStops() {
  g_stops.store(0);
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsoleStop, TRUE);
#else
  struct sigaction count = {};
  count.sa_handler = OnStopSignal;
  count.sa_flags = SA_RESTART;
  sigemptyset(&count.sa_mask);
  for (int i = 0; i < 3; ++i) {
    g_replaced[i] = sigaction(kStopSignals[i], &count, &g_previous[i]) == 0;
  }
#endif
}

void DisarmFleetStops() {
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsoleStop, FALSE);
#else
  for (int i = 0; i < 3; ++i) {
    if (g_replaced[i]) sigaction(kStopSignals[i], &g_previous[i], nullptr);
    g_replaced[i] = false;
  }
#endif
}

void BlockStopsOnThisThread(bool block) {
#if !defined(_WIN32)
  const sigset_t set = StopSet();
  pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
#else
  (void)block;
#endif
}

FleetStops ReadFleetStops() {
  const uint32_t seen = g_stops.load();
  return FleetStops{static_cast<int>(seen >> kSignalBits), static_cast<int>(seen & kSignalMask)};
}

int StoppedStatus(int signal) { return 128 + signal; }

const char* StopName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
#if !defined(_WIN32)
    case SIGHUP:
      return "SIGHUP";
#endif
    default:
      return "a signal";
  }
}
