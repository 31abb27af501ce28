// The socket helper on POSIX systems.

#include "ssh/socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/clock.h"

namespace {

// Closed-on-exec from the start, not by a later call: a proxy command
// another session's thread starts meanwhile must not inherit the socket and
// hold the connection open.
#if defined(SOCK_CLOEXEC) && defined(SOCK_NONBLOCK)
constexpr int kCreationFlags = SOCK_CLOEXEC | SOCK_NONBLOCK;
#else
constexpr int kCreationFlags = 0;
#endif

bool MakeNonBlockingAndPrivate(int fd) {
  if (kCreationFlags != 0) return true;
  const int status = fcntl(fd, F_GETFL);
  const int descriptor = fcntl(fd, F_GETFD);
  return status >= 0 && descriptor >= 0 && fcntl(fd, F_SETFL, status | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, descriptor | FD_CLOEXEC) == 0;
}

// strerror_r comes in two forms: XSI's fills the buffer and returns a
// status, GNU's returns the text (perhaps a constant of its own).
// strerror itself may share one buffer among all threads.
[[maybe_unused]] const char* ErrorTextOf(int, const char* buffer) { return buffer; }
[[maybe_unused]] const char* ErrorTextOf(const char* text, const char*) { return text; }

}  // namespace

TcpSocket OpenTcpSocket(int family, int* error) {
  const int fd = socket(family, SOCK_STREAM | kCreationFlags, IPPROTO_TCP);
  if (fd < 0) {
    *error = errno;
    return kNoSocket;
  }
  const int on = 1;
  if (!MakeNonBlockingAndPrivate(fd) ||
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    *error = errno;
    close(fd);
    return kNoSocket;
  }
  return fd;
}

void CloseTcpSocket(TcpSocket fd) {
  if (fd != kNoSocket) close(fd);
}

int StartConnect(TcpSocket fd, const sockaddr* address, size_t addressLength) {
  if (connect(fd, address, static_cast<socklen_t>(addressLength)) == 0) return 0;
  // A signal during connect leaves the connection going on, as EINPROGRESS
  // does; it is waited for the same way.
  return errno == EINPROGRESS || errno == EINTR ? kConnectPending : errno;
}

int ConnectResult(TcpSocket fd) {
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

int SocketReceive(TcpSocket fd, char* buffer, size_t size) {
  const ssize_t got = recv(fd, buffer, size, 0);
  if (got >= 0) return static_cast<int>(got);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kReceiveAgain;
  return -2;
}

bool SocketSendAll(TcpSocket fd, const std::string& bytes, int64_t deadlineMs) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    const int64_t left = deadlineMs - MonotonicMs();
    if (left <= 0) return false;
    WaitSocket(fd, true, static_cast<int>(std::min<int64_t>(left, 1000)));
  }
  return true;
}

int PollSockets(SocketPoll* entries, size_t count, int ms) {
  // The session waits on one socket at a time: no allocation for that.
  pollfd few[4];
  std::vector<pollfd> many(count > 4 ? count : 0);
  pollfd* polled = count > 4 ? many.data() : few;
  for (size_t i = 0; i < count; ++i) {
    polled[i] = {entries[i].fd, static_cast<short>(entries[i].forWrite ? POLLOUT : POLLIN), 0};
  }
  const int ready = poll(polled, static_cast<nfds_t>(count), std::max(ms, 0));
  // A wait that failed outright still takes its time, so a caller looping
  // to its deadline never spins.
  if (ready < 0 && errno != EINTR) usleep(static_cast<useconds_t>(std::max(ms, 0)) * 1000);
  for (size_t i = 0; i < count; ++i) entries[i].ready = ready > 0 && polled[i].revents != 0;
  return std::max(ready, 0);
}

bool WaitSocket(TcpSocket fd, bool forWrite, int ms) {
  SocketPoll one = {fd, forWrite, false};
  return PollSockets(&one, 1, ms) > 0;
}

bool AckPromptly(TcpSocket fd) {
#if defined(TCP_QUICKACK)
  const int on = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on) == 0;
#else
  (void)fd;
  return false;
#endif
}

bool LocalShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM ||
         error == EADDRNOTAVAIL || error == EAGAIN;
}


std::string SocketErrorText(int error) {
  char buffer[256] = {};
  return ErrorTextOf(strerror_r(error, buffer, sizeof buffer), buffer);
}
