#include "testing/ssh_script.h"

#include <algorithm>
#include <cstring>

#include "base/numbers.h"
#include "ssh/ssh_peer.h"

namespace {

SshScript g_script;
SshRoute g_route;
bool g_routeKnown = false;
std::vector<SshCall> g_calls;
// The password buffer handed to the last connect; it lives in the caller's
// frame, which is still there during the later calls of one session.
const char* g_passwordBuffer = nullptr;
SshFailure g_lastFailure = SshFailure::kNone;

void SetLastFailure(bool failed, SshFailure kind) {
  g_lastFailure = failed ? kind : SshFailure::kNone;
}

constexpr size_t kTextBytes = 128;
constexpr size_t kCommandBytes = 512;

std::string Text(const char* bytes, size_t capacity) {
  if (bytes == nullptr) return std::string();
  return std::string(bytes, strnlen(bytes, capacity));
}

SshCall& Record(SshCallKind kind) {
  SshCall call;
  call.kind = kind;
  if (g_passwordBuffer != nullptr) call.passwordBufferNow = Text(g_passwordBuffer, kTextBytes);
  g_calls.push_back(call);
  return g_calls.back();
}

}  // namespace

void SshScriptReset(const SshScript& script) {
  g_script = script;
  g_calls.clear();
  g_passwordBuffer = nullptr;
  g_routeKnown = false;
  g_lastFailure = SshFailure::kNone;
}

const std::vector<SshCall>& SshScriptCalls() { return g_calls; }

int32_t SshInitializeA(const char*, void* reserved) {
  Record(SshCallKind::kInitialize).reservedNull = reserved == nullptr;
  return g_script.initializeResult;
}

SshClient SshConnectA(const char* host, int32_t port, const char* user, const char* password,
                      int32_t timeout, uint32_t flags, SshConnectOptions* options,
                      void* reserved) {
  SshCall& call = Record(SshCallKind::kConnect);
  call.host = Text(host, kTextBytes);
  call.port = port;
  call.user = Text(user, kTextBytes);
  call.password = Text(password, kTextBytes);
  call.timeout = timeout;
  call.flags = flags;
  call.reservedNull = reserved == nullptr;
  if (options != nullptr) {
    call.hasOptions = true;
    call.optionsSize = options->size;
    call.optionsReservedZero = true;
    for (uint8_t byte : options->reserved) call.optionsReservedZero &= byte == 0;
    call.command = Text(options->remoteCommand, kCommandBytes);
  }
  g_passwordBuffer = g_script.connectResult != kInvalidClient ? password : nullptr;
  SetLastFailure(g_script.connectResult == kInvalidClient, g_script.connectFailure);
  g_route = g_script.route;
  if (g_route.host.empty()) {
    g_route.host = call.host;
    g_route.port = port == 0 ? kSshDefaultPort : port;
    g_route.user = call.user;
  }
  g_routeKnown = true;
  return g_script.connectResult;
}

int32_t SshReadLineA(SshClient client, char* buffer, int32_t* count) {
  SshCall& call = Record(SshCallKind::kReadLine);
  call.client = client;
  call.countIn = count != nullptr ? *count : 0;
  if (buffer != nullptr && count != nullptr && *count > 0) {
    const size_t length = std::min(g_script.line.size(), static_cast<size_t>(*count - 1));
    std::memcpy(buffer, g_script.line.data(), length);
    buffer[length] = '\0';
    *count = static_cast<int32_t>(length);
  }
  return g_script.readResult;
}

int32_t SshWriteLineA(SshClient client, const char* text, int32_t* count) {
  SshCall& call = Record(SshCallKind::kWriteLine);
  call.client = client;
  call.countIn = count != nullptr ? *count : 0;
  call.text = Text(text, kCommandBytes);
  SetLastFailure(g_script.writeResult == 0, g_script.writeFailure);
  return g_script.writeResult;
}

int32_t SshDisconnect(SshClient client) {
  Record(SshCallKind::kDisconnect).client = client;
  g_passwordBuffer = nullptr;
  SetLastFailure(g_script.disconnectResult == 0, g_script.disconnectFailure);
  return g_script.disconnectResult;
}

SshFailure SshGetLastError(char* text, int32_t capacity) {
  if (text != nullptr && capacity > 0) {
    StoreFixedText(g_lastFailure == SshFailure::kNone ? "" : g_script.failureText, text,
                   static_cast<size_t>(capacity));
  }
  return g_lastFailure;
}

const char* SshLibraryVersion() { return "0.0-script"; }

void SshUninitialize() {
  g_passwordBuffer = nullptr;
  Record(SshCallKind::kUninitialize);
}

bool SshLastRoute(SshRoute* route) {
  if (!g_routeKnown) return false;
  *route = g_route;
  return true;
}

// A scripted session has no socket: there is no router to wait for.
bool SshLastPeer(SshPeer*) { return false; }

// A scripted session has no connection to ask about.
void SshSetPeerCheck(SshPeerCheck) {}

bool SshFetchHostKey(const SshPeer&, int64_t, std::string*, std::string*) { return false; }
