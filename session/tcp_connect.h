#ifndef SESSION_TCP_CONNECT_H_
#define SESSION_TCP_CONNECT_H_

#include <cstdint>
#include <string>

#include "base/address_text.h"
#include "session/ssh_library.h"

#if defined(_WIN32)
using TcpSocket = uintptr_t;
#else
using TcpSocket = int;
#endif

/// The result of resolving and connecting: on success fd holds a connected
/// socket the caller owns; else failure says why (kNameNotResolved,
/// kConnectionRefused, kTimedOut, or kOther with text).
struct TcpConnection {
  bool connected = false;
  TcpSocket fd = 0;
  SshFailure failure = SshFailure::kOther;
  std::string text;
};

/// Resolves host and connects to port on its addresses in the resolver's
/// order, the whole step ending by deadlineMs (a steady-clock time in
/// milliseconds). The kinds come from the resolver's and the system's error
/// codes, never from message text.
TcpConnection TcpConnect(const char* host, int port, int64_t deadlineMs);

/// Closes a socket TcpConnect returned that was not handed on.
void TcpClose(TcpSocket fd);

#endif  // SESSION_TCP_CONNECT_H_
