#include "base/address_text.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

std::string CanonicalAddress(const std::string& host) {
#if defined(_WIN32)
  // The resolver's calls need Winsock started; the count is the process's,
  // so this start and its cleanup leave any other user's as they were.
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return host;
#endif
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* address = nullptr;
  std::string text = host;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &address) == 0 && address != nullptr) {
    char printed[NI_MAXHOST] = {};
    if (getnameinfo(address->ai_addr, static_cast<socklen_t>(address->ai_addrlen), printed,
                    sizeof printed, nullptr, 0, NI_NUMERICHOST) == 0) {
      text = printed;
    }
    freeaddrinfo(address);
  }
#if defined(_WIN32)
  WSACleanup();
#endif
  return text;
}
