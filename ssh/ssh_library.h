#ifndef SSH_SSH_LIBRARY_H_
#define SSH_SSH_LIBRARY_H_

// The SSH client library as the program sees it: six calls on 8-bit texts
// ending in a zero byte. One implementation file provides them; tests link
// a scripted stand-in instead.
//
// Several sessions may be open at once, on different threads: each session
// is used by one thread at a time (the one that opened it, or one it was
// handed to). SshInitializeA and SshUninitialize are called by one thread,
// before any other thread makes a call and after all of them are done.

#include <cstddef>
#include <cstdint>

using SshClient = uint32_t;

/// No session: what SshConnectA returns on failure. A handle of an open
/// session is never all ones.
constexpr SshClient kInvalidClient = 0xFFFFFFFFu;

/// The longest a whole session may last, whatever the host does.
constexpr int32_t kSshSessionBoundSeconds = 45;

/// The connect options record, little-endian, 952 bytes.
struct SshConnectOptions {
  uint32_t size;           // 952
  uint8_t reserved[436];   // zero
  char remoteCommand[512]; // text ending in a zero byte
};
static_assert(sizeof(SshConnectOptions) == 952);
static_assert(offsetof(SshConnectOptions, size) == 0);
static_assert(offsetof(SshConnectOptions, remoteCommand) == 440);

/// Why the calling thread's last SshConnectA, SshWriteLineA or SshDisconnect
/// failed. Each kind is a reason the user is told and a scheduled job sees
/// in the exit status.
enum class SshFailure : int32_t {
  kNone = 0,
  kOther,                  // none of those below (text: the library's own)
  kNameNotResolved,        // the host name could not be resolved
  kConnectionRefused,      // nothing accepts connections on the port
  kTimedOut,               // a step, or the whole session, took too long
  kHostKeyRefused,         // known_hosts contradicts the host's key (text:
                           // which way, naming the file and line)
  kAuthenticationRefused,  // the password was refused, or the host asked for
                           // more than it (text: the latter)
  kRemoteEnded,            // the remote command ended its output, exited or
                           // closed before the line was written
  kRemoteFailed,           // after the line, the remote command reported a
                           // non-zero exit status or a signal (text: which,
                           // and its last line of output)
  kNoSharedAlgorithm,      // the key exchange found no algorithm both sides
                           // allow (text: what the host offers, and the
                           // configuration lines that would allow it)
};

/// Room enough for any text SshGetLastError gives, with its zero byte.
constexpr int32_t kReasonTextBytes = 1024;

/// The failure of the calling thread's last SshConnectA, SshWriteLineA or
/// SshDisconnect (kNone when it succeeded), and into text a short description
/// or the empty text: at most capacity - 1 bytes and a zero byte. Each thread
/// has its own, as errno is kept: calls on other threads never change it.
SshFailure SshGetLastError(char* text, int32_t capacity);

/// Starts the library; non-zero when it is ready. Both arguments unused.
/// Each call that succeeded is matched by one SshUninitialize.
int32_t SshInitializeA(const char* license, void* reserved);

/// The SSH library's own version text, e.g. "0.10.6"; needs no start.
const char* SshLibraryVersion();

/// The port a session goes to when it is given port 0.
constexpr int32_t kSshDefaultPort = 22;

/// A flag of SshConnectA: the session stops once its channel is open. The
/// remote command is never requested, so nothing runs on the host;
/// SshReadLineA reads nothing, SshWriteLineA sends nothing (kOther), and
/// SshDisconnect closes the channel at once. A host key met for the first
/// time is not recorded (SshLastRoute describes it, as one that would be).
/// Other flag bits are ignored.
constexpr uint32_t kSshCheckOnly = 0x10000u;

/// Opens a session on host:port (port 0 means kSshDefaultPort; outside 1..65535 fails),
/// authenticated as user with password, whose remote command is the one in
/// options (see kSshCheckOnly for flags). timeout is in seconds: the longest the host may stay silent in a
/// step. The whole session, from here to the end of SshDisconnect, lasts at
/// most kSshSessionBoundSeconds. Returns kInvalidClient on any failure,
/// leaving nothing open; SshGetLastError tells why. A handle is never 0,
/// and no two open sessions share one.
SshClient SshConnectA(const char* host, int32_t port, const char* user,
                      const char* password, int32_t timeout, uint32_t flags,
                      SshConnectOptions* options, void* reserved);

/// Reads one line of the remote command's output into buffer: at most
/// *count - 1 bytes and a zero byte; *count receives the line's length.
/// Non-zero when a line (perhaps empty) was read.
int32_t SshReadLineA(SshClient client, char* buffer, int32_t* count);

/// Sends text up to its zero byte, whatever *count says, and a line feed.
/// Non-zero when all of it was sent; nothing is sent (kRemoteEnded) once the
/// remote command has ended its output, exited or closed, since it can no
/// longer be asking.
int32_t SshWriteLineA(SshClient client, const char* text, int32_t* count);

/// Closes the session gracefully: end of input, a bounded wait for the
/// remote command to finish, then the disconnect. Zero when the command
/// reported a failure (kRemoteFailed) or the handle is not open; a session
/// that simply ends is no failure.
int32_t SshDisconnect(SshClient client);

/// Releases the library once every SshInitializeA is matched, closing at
/// once any session still open.
void SshUninitialize();

#endif  // SSH_SSH_LIBRARY_H_
