// The socket helper on Winsock.

#include "ssh/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "base/clock.h"

namespace {

// A socket made without this flag is inherited by every child process
// started with inheritance on.
#if defined(WSA_FLAG_NO_HANDLE_INHERIT)
constexpr DWORD kNotInherited = WSA_FLAG_NO_HANDLE_INHERIT;
#else
constexpr DWORD kNotInherited = 0;
#endif

bool Waits(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS; }

}  // namespace

TcpSocket OpenTcpSocket(int family, int* error) {
  SOCKET fd = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, kNotInherited);
  if (fd == INVALID_SOCKET && kNotInherited != 0 && WSAGetLastError() == WSAEINVAL) {
    // A system older than the flag.
    fd = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0);
    if (fd != INVALID_SOCKET) SetHandleInformation(reinterpret_cast<HANDLE>(fd), HANDLE_FLAG_INHERIT, 0);
  }
  if (fd == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return kNoSocket;
  }
  u_long nonBlocking = 1;
  const BOOL on = TRUE;
  if (ioctlsocket(fd, FIONBIO, &nonBlocking) != 0 ||
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) !=
          0) {
    *error = WSAGetLastError();
    closesocket(fd);
    return kNoSocket;
  }
#if defined(SIO_TCP_SET_ACK_FREQUENCY)
  // Windows' counterpart of quick ACKs: every segment acknowledged at once.
  // It stays set; where the system does not know it nothing changes.
  DWORD everySegment = 1;
  DWORD returned = 0;
  WSAIoctl(fd, SIO_TCP_SET_ACK_FREQUENCY, &everySegment, sizeof everySegment, nullptr, 0,
           &returned, nullptr, nullptr);
#endif
  return static_cast<TcpSocket>(fd);
}

void CloseTcpSocket(TcpSocket fd) {
  if (fd != kNoSocket) closesocket(static_cast<SOCKET>(fd));
}

int StartConnect(TcpSocket fd, const sockaddr* address, size_t addressLength) {
  if (connect(static_cast<SOCKET>(fd), address, static_cast<int>(addressLength)) == 0) return 0;
  const int error = WSAGetLastError();
  return Waits(error) ? kConnectPending : error;
}

int ConnectResult(TcpSocket fd) {
  int error = 0;
  int size = sizeof error;
  if (getsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                 &size) != 0) {
    return WSAGetLastError();
  }
  return error;
}

int SocketReceive(TcpSocket fd, char* buffer, size_t size) {
  const int got = recv(static_cast<SOCKET>(fd), buffer,
                       static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
  if (got >= 0) return got;
  return WSAGetLastError() == WSAEWOULDBLOCK ? kReceiveAgain : -2;
}

bool SocketSendAll(TcpSocket fd, const std::string& bytes, int64_t deadlineMs) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = send(static_cast<SOCKET>(fd), bytes.data() + sent,
                       static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 20)), 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK) return false;
    const int64_t left = deadlineMs - MonotonicMs();
    if (left <= 0) return false;
    WaitSocket(fd, true, static_cast<int>(std::min<int64_t>(left, 1000)));
  }
  return true;
}

int PollSockets(SocketPoll* entries, size_t count, int ms) {
  // WSAPoll with no sockets fails at once instead of waiting.
  if (count == 0) {
    Sleep(static_cast<DWORD>(std::max(ms, 0)));
    return 0;
  }
  // The session waits on one socket at a time: no allocation for that.
  WSAPOLLFD few[4];
  std::vector<WSAPOLLFD> many(count > 4 ? count : 0);
  WSAPOLLFD* polled = count > 4 ? many.data() : few;
  for (size_t i = 0; i < count; ++i) {
    polled[i] = {static_cast<SOCKET>(entries[i].fd),
                 static_cast<SHORT>(entries[i].forWrite ? POLLWRNORM : POLLRDNORM), 0};
  }
  const int ready = WSAPoll(polled, static_cast<ULONG>(count), std::max(ms, 0));
  // A wait that failed outright still takes its time, so a caller looping
  // to its deadline never spins.
  if (ready < 0) Sleep(static_cast<DWORD>(std::max(ms, 0)));
  for (size_t i = 0; i < count; ++i) entries[i].ready = ready > 0 && polled[i].revents != 0;
  return std::max(ready, 0);
}

bool WaitSocket(TcpSocket fd, bool forWrite, int ms) {
  SocketPoll one = {fd, forWrite, false};
  return PollSockets(&one, 1, ms) > 0;
}

// The ACK frequency set when the socket was made stays: nothing to do here.
bool AckPromptly(TcpSocket) { return false; }

bool LocalShortage(int error) {
  return error == WSAEMFILE || error == WSAENOBUFS || error == WSAEADDRNOTAVAIL;
}


std::string SocketErrorText(int error) {
  return "socket error " + std::to_string(error);
}
