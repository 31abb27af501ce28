#include "ssh/ssh_thread_state.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>

namespace {

void WINAPI FreeState(void* state) { delete static_cast<SshThreadState*>(state); }

}  // namespace

SshThreadState& ThisThreadState() {
  // Fiber-local storage's callback runs as each thread ends, before the
  // runtime's own per-thread teardown.
  static const DWORD index = FlsAlloc(FreeState);
  if (index == FLS_OUT_OF_INDEXES) std::abort();
  auto* state = static_cast<SshThreadState*>(FlsGetValue(index));
  if (state == nullptr) {
    state = new SshThreadState();
    FlsSetValue(index, state);
  }
  return *state;
}
