// Resolving the router's name and opening the TCP connection, under the
// program's own bound; the connected socket is then handed to libssh.

#include "session/tcp_connect.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include <algorithm>
#include <chrono>
#include <string_view>

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

#if defined(_WIN32)
constexpr TcpSocket kNoSocket = INVALID_SOCKET;
constexpr int kCloseOnExec = 0;  // nothing is inherited unless asked for
int LastSocketError() { return WSAGetLastError(); }
bool InProgress(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS; }
bool SetNonBlocking(TcpSocket fd) {
  u_long on = 1;
  return ioctlsocket(fd, FIONBIO, &on) == 0;
}
int PollOne(TcpSocket fd, int ms) {
  WSAPOLLFD entry = {fd, POLLWRNORM, 0};
  return WSAPoll(&entry, 1, ms);
}
SshFailure KindOfSocketError(int error) {
  switch (error) {
    case WSAECONNREFUSED: return SshFailure::kConnectionRefused;
    case WSAETIMEDOUT: return SshFailure::kTimedOut;
    default: return SshFailure::kOther;
  }
}
std::string SocketErrorText(int error) { return "socket error " + std::to_string(error); }
// The system's words for a resolver error (the EAI_ codes are Winsock's
// error codes), into a buffer of this call's own: mingw's gai_strerror
// writes every thread's text into one static buffer.
std::string ResolverErrorText(int error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, static_cast<DWORD>(error), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
      sizeof text, nullptr);
  std::string words(text, length);
  while (!words.empty() && std::string_view(" .\r\n").find(words.back()) != std::string_view::npos) {
    words.pop_back();
  }
  return words.empty() ? "error " + std::to_string(error) : words;
}
#else
constexpr TcpSocket kNoSocket = -1;
// Made closed-on-exec from the start: a proxy command another session's
// thread starts meanwhile must not inherit it and hold the connection open.
constexpr int kCloseOnExec = SOCK_CLOEXEC;
int LastSocketError() { return errno; }
bool InProgress(int error) { return error == EINPROGRESS || error == EINTR; }
bool SetNonBlocking(TcpSocket fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}
int PollOne(TcpSocket fd, int ms) {
  pollfd entry = {fd, POLLOUT, 0};
  return poll(&entry, 1, ms);
}
SshFailure KindOfSocketError(int error) {
  switch (error) {
    case ECONNREFUSED: return SshFailure::kConnectionRefused;
    case ETIMEDOUT: return SshFailure::kTimedOut;
    default: return SshFailure::kOther;
  }
}
// strerror_r comes in two forms: XSI's fills the buffer and returns a
// status, GNU's returns the text (perhaps a constant of its own).
// strerror itself may share one buffer among all threads.
[[maybe_unused]] const char* ErrorTextOf(int, const char* buffer) { return buffer; }
[[maybe_unused]] const char* ErrorTextOf(const char* text, const char*) { return text; }
std::string SocketErrorText(int error) {
  char buffer[256] = {};
  return ErrorTextOf(strerror_r(error, buffer, sizeof buffer), buffer);
}
// glibc's and musl's texts are constants.
std::string ResolverErrorText(int error) { return gai_strerror(error); }
#endif

// A resolver result that means the name has no address (or the resolver
// could not be asked) is a name not resolved; anything else, such as a
// memory failure, is some other failure.
SshFailure KindOfResolveError(int error) {
  switch (error) {
    case EAI_NONAME:
    case EAI_AGAIN:
    case EAI_FAIL:
#if defined(EAI_NODATA) && EAI_NODATA != EAI_NONAME
    case EAI_NODATA:
#endif
#if defined(EAI_ADDRFAMILY)
    case EAI_ADDRFAMILY:
#endif
      return SshFailure::kNameNotResolved;
    default:
      return SshFailure::kOther;
  }
}

// One address: a non-blocking connect waited for until deadlineMs. Returns
// 0 when connected, else the system's error code (-1 for the deadline).
constexpr int kDeadlinePassed = -1;
int ConnectOne(TcpSocket fd, const addrinfo* address, int64_t deadlineMs) {
  if (!SetNonBlocking(fd)) return LastSocketError();
  if (connect(fd, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0) return 0;
  const int started = LastSocketError();
  if (!InProgress(started)) return started;
  for (;;) {
    const int64_t left = deadlineMs - NowMs();
    if (left <= 0) return kDeadlinePassed;
    const int ready = PollOne(fd, static_cast<int>(std::min<int64_t>(left, 1000)));
    if (ready < 0 && !InProgress(LastSocketError())) return LastSocketError();
    if (ready > 0) break;
  }
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
    return LastSocketError();
  }
  return error;
}

}  // namespace

void TcpClose(TcpSocket fd) {
#if defined(_WIN32)
  closesocket(fd);
#else
  close(fd);
#endif
}

TcpConnection TcpConnect(const char* host, int port, int64_t deadlineMs) {
  TcpConnection result;
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* addresses = nullptr;
  const std::string service = std::to_string(port);
  const int resolved = getaddrinfo(host, service.c_str(), &hints, &addresses);
  if (resolved != 0) {
    result.failure = KindOfResolveError(resolved);
    if (result.failure == SshFailure::kOther) {
      result.text = "the resolver failed: " + ResolverErrorText(resolved) + ".";
    }
    return result;
  }
  // The last address's failure is the one reported: it is what remains
  // once every address has been tried.
  int lastError = 0;
  for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
    if (NowMs() >= deadlineMs) {
      lastError = kDeadlinePassed;
      break;
    }
    const TcpSocket fd = static_cast<TcpSocket>(
        socket(address->ai_family, address->ai_socktype | kCloseOnExec, address->ai_protocol));
    if (fd == kNoSocket) {
      lastError = LastSocketError();
      continue;
    }
    lastError = ConnectOne(fd, address, deadlineMs);
    if (lastError == 0) {
      freeaddrinfo(addresses);
      result.connected = true;
      result.fd = fd;
      result.failure = SshFailure::kNone;
      return result;
    }
    TcpClose(fd);
  }
  freeaddrinfo(addresses);
  if (lastError == kDeadlinePassed) {
    result.failure = SshFailure::kTimedOut;
  } else {
    result.failure = KindOfSocketError(lastError);
    if (result.failure == SshFailure::kOther) {
      result.text = "the connection failed: " + SocketErrorText(lastError) + ".";
    }
  }
  return result;
}
