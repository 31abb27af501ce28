#include "ssh/ssh_thread_state.h"

SshThreadState& ThisThreadState() {
  thread_local SshThreadState state;
  return state;
}
