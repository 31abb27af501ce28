#ifndef SSH_SOCKET_H_
#define SSH_SOCKET_H_

// Every TCP socket this program opens to a router, made in one place so
// that their options cannot drift apart: non-blocking, never inherited by a
// child process, Nagle's algorithm off (two small packets in a row must not
// wait for the peer's delayed ACK of the first), and where the system has
// it, ACKs sent at once.

#include <cstddef>
#include <cstdint>
#include <string>

struct sockaddr;

#if defined(_WIN32)
using TcpSocket = uintptr_t;
#else
using TcpSocket = int;
#endif
constexpr TcpSocket kNoSocket = static_cast<TcpSocket>(-1);

/// Results beside the system's error codes.
constexpr int kConnectPending = -1;  // StartConnect: completes later
constexpr int kReceiveAgain = -1;    // SocketReceive: nothing yet

/// A new TCP socket of the address family (AF_INET or AF_INET6) with every
/// option above; kNoSocket with *error set to the system's error code when
/// it could not be made or given one of them.
TcpSocket OpenTcpSocket(int family, int* error);

/// Closes a socket OpenTcpSocket made.
void CloseTcpSocket(TcpSocket fd);

/// Starts connecting: 0 when connected at once, kConnectPending when the
/// connection completes later (WaitSocket for writing, then ConnectResult),
/// else the system's error code.
int StartConnect(TcpSocket fd, const sockaddr* address, size_t addressLength);

/// After a pending connect became writable: 0 when it connected, else the
/// system's error code.
int ConnectResult(TcpSocket fd);

/// Bytes read into buffer (up to size), 0 at the end of the stream,
/// kReceiveAgain when nothing is there yet (or a signal came first), else
/// below -1.
int SocketReceive(TcpSocket fd, char* buffer, size_t size);

/// Writes all of bytes, waiting for room until deadlineMs (a MonotonicMs
/// time); false on an error or when the time is up.
bool SocketSendAll(TcpSocket fd, const std::string& bytes, int64_t deadlineMs);

/// One socket to wait on, and after PollSockets whether it is ready (for
/// reading, or writing when forWrite, or with an error or hang-up).
struct SocketPoll {
  TcpSocket fd = kNoSocket;
  bool forWrite = false;
  bool ready = false;
};

/// Waits up to ms (at least 0) until one of the sockets is ready; returns
/// how many are. A signal or a failed wait counts as none ready: the
/// callers look at their clocks and wait again. With no sockets it sleeps.
int PollSockets(SocketPoll* entries, size_t count, int ms);

/// Waits up to ms until fd is ready for reading (or writing when forWrite).
bool WaitSocket(TcpSocket fd, bool forWrite, int ms);

/// Sends an ACK that is due at once and leaves delayed-ACK mode, for a
/// wait on a peer that keeps Nagle's algorithm on: its next small packet
/// waits for our ACK of the one before. The system returns to delayed ACKs
/// by itself once we send after receiving, so this belongs before a wait
/// that follows our own packets. False where the socket has no such mode
/// (not TCP, or a system without it): calling again is then no use.
bool AckPromptly(TcpSocket fd);

/// Whether a connect's error code is a want of something on this machine
/// (descriptors, buffers, local ports, memory) rather than news of the peer.
bool LocalShortage(int error);

/// The system's words for a socket error code.
std::string SocketErrorText(int error);

#endif  // SSH_SOCKET_H_
