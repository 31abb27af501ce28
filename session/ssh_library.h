#ifndef SESSION_SSH_LIBRARY_H_
#define SESSION_SSH_LIBRARY_H_

// The SSH client library as the program sees it: six calls on 8-bit texts
// ending in a zero byte. One implementation file provides them; tests link
// a scripted stand-in instead.

#include <cstddef>
#include <cstdint>

using SshClient = uint32_t;

/// No session: what SshConnectA returns on failure. A handle of an open
/// session is never all ones.
constexpr SshClient kInvalidClient = 0xFFFFFFFFu;

/// The connect options record, little-endian, 952 bytes.
struct SshConnectOptions {
  uint32_t size;           // 952
  uint8_t reserved[436];   // zero
  char remoteCommand[512]; // text ending in a zero byte
};
static_assert(sizeof(SshConnectOptions) == 952);
static_assert(offsetof(SshConnectOptions, size) == 0);
static_assert(offsetof(SshConnectOptions, remoteCommand) == 440);

/// Starts the library; non-zero when it is ready. Both arguments unused.
int32_t SshInitializeA(const char* license, void* reserved);

/// Opens a session on host:port (port 0 means 22; outside 1..65535 fails),
/// authenticated as user with password, whose remote command is the one in
/// options. timeout is in seconds, for the connection and for each later
/// blocking step. Returns kInvalidClient on any failure, leaving nothing
/// open.
SshClient SshConnectA(const char* host, int32_t port, const char* user,
                      const char* password, int32_t timeout, uint32_t flags,
                      SshConnectOptions* options, void* reserved);

/// Reads one line of the remote command's output into buffer: at most
/// *count - 1 bytes and a zero byte; *count receives the line's length.
/// Non-zero when a line (perhaps empty) was read.
int32_t SshReadLineA(SshClient client, char* buffer, int32_t* count);

/// Sends text up to its zero byte, whatever *count says, and a line feed.
/// Non-zero when all of it was sent.
int32_t SshWriteLineA(SshClient client, const char* text, int32_t* count);

/// Closes the session gracefully. Non-zero on success.
int32_t SshDisconnect(SshClient client);

/// Releases the library.
void SshUninitialize();

#endif  // SESSION_SSH_LIBRARY_H_
