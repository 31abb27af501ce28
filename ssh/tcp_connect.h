#ifndef SSH_TCP_CONNECT_H_
#define SSH_TCP_CONNECT_H_

#include <cstdint>
#include <string>

#include "ssh/socket.h"
#include "ssh/ssh_library.h"

/// The result of resolving and connecting: on success fd holds a connected
/// socket the caller owns (made by OpenTcpSocket, closed by CloseTcpSocket);
/// else failure says why (kNameNotResolved, kConnectionRefused, kTimedOut, or
/// kOther with text).
struct TcpConnection {
  bool connected = false;
  TcpSocket fd = kNoSocket;
  SshFailure failure = SshFailure::kOther;
  std::string text;
};

/// Resolves host and connects to port on its addresses in the resolver's
/// order, the whole step ending by deadlineMs (a steady-clock time in
/// milliseconds). The kinds come from the resolver's and the system's error
/// codes, never from message text.
TcpConnection TcpConnect(const char* host, int port, int64_t deadlineMs);

#endif  // SSH_TCP_CONNECT_H_
