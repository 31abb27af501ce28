// Resolving the router's name and opening the TCP connection, under the
// program's own bound; the connected socket is then handed to libssh.

#include "ssh/tcp_connect.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#endif

#include <algorithm>
#include <string_view>

#include "base/clock.h"

namespace {

int64_t NowMs() { return MonotonicMs(); }

#if defined(_WIN32)
SshFailure KindOfSocketError(int error) {
  switch (error) {
    case WSAECONNREFUSED: return SshFailure::kConnectionRefused;
    case WSAETIMEDOUT: return SshFailure::kTimedOut;
    default: return SshFailure::kOther;
  }
}
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
SshFailure KindOfSocketError(int error) {
  switch (error) {
    case ECONNREFUSED: return SshFailure::kConnectionRefused;
    case ETIMEDOUT: return SshFailure::kTimedOut;
    default: return SshFailure::kOther;
  }
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
  const int started = StartConnect(fd, address->ai_addr, address->ai_addrlen);
  if (started != kConnectPending) return started;
  for (;;) {
    const int64_t left = deadlineMs - NowMs();
    if (left <= 0) return kDeadlinePassed;
    if (WaitSocket(fd, true, static_cast<int>(std::min<int64_t>(left, 1000)))) break;
  }
  return ConnectResult(fd);
}

}  // namespace

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
    const TcpSocket fd = OpenTcpSocket(address->ai_family, &lastError);
    if (fd == kNoSocket) continue;
    lastError = ConnectOne(fd, address, deadlineMs);
    if (lastError == 0) {
      freeaddrinfo(addresses);
      result.connected = true;
      result.fd = fd;
      result.failure = SshFailure::kNone;
      return result;
    }
    CloseTcpSocket(fd);
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
